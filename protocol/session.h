// The lock that keeps going online (online.cpp) and going offline (status.cpp) from mixing their
// changes to the account's session. It is defined with the disconnect sequence in status.cpp.
#pragma once

#include <mutex>

// How going online and going offline are kept apart.
//
// Two locks, taken in this order when both are needed:
//  - connect_mutex (online.cpp): one connect sequence at a time. The connect thread holds it for
//    its whole run, address query and reply waits included, so that two quick status requests
//    never share the address-query handles, login_in_progress or the static packet buffers. Only
//    connect threads take it.
//  - session_mutex (here): the account's session fields (status, connection, packet_receiver,
//    unread_mail) change only under it: the disconnect sequence runs whole under it, and the
//    connect thread takes it for its short steps (storing the new connection, creating the
//    receiver, announcing the status and setting status). It is never held across a wait for a
//    server reply or across a dial.
//
// Why not one lock held from the connection to the announcement: the disconnect sequence also
// runs on ListenThread (lost connection, and MRIM_CS_LOGOUT inside the dispatcher). A listener
// blocked on a lock held by a connect thread that waits for MRIM_CS_HELLO_ACK or
// MRIM_CS_LOGIN_ACK - replies only that listener can deliver - would stall both until the reply
// time-out. With session_mutex held only for short steps that never wait on the listener, a
// disconnect waits at most for one of those steps. A disconnect that slips in between the
// connect thread's steps is seen by the announcement step (the connection is gone), which then
// announces nothing, so the account never reports a status without a connection.
//
// session_mutex is recursive: the host may answer a status acknowledgement or a setting write
// made under it by calling "/SetStatus" again on the same thread.
extern std::recursive_mutex session_mutex;
