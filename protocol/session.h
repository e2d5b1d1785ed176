// The session lock that keeps going online (online.cpp) and going offline (status.cpp) from
// mixing their changes, and the status acknowledgements queued under it (sent by status.cpp).
#pragma once

#include <mutex>

// How going online and going offline are kept apart.
//
// Two locks, taken in this order when both are needed:
//  - connect_mutex (online.cpp): one connect sequence at a time. The connect thread holds it for
//    its whole run, address query and reply waits included, so that two quick status requests
//    never share the address-query handles, login_in_progress or the static packet buffers. Only
//    connect threads take it.
//  - session_mutex (status.cpp): the account's session fields (status, connection, packet_receiver,
//    unread_mail) change only under it: the disconnect sequence takes the handles out and sets
//    the status under it, and the connect thread takes it for its short steps (storing the new
//    connection and receiver, setting status). It is never held across a wait for a server
//    reply or across a dial.
//
// The rule for session_mutex: it is held only to read and change those fields, never across a
// call to the host (acknowledgements, "Netlib/Send", contact settings, closing handles). A host
// may answer an acknowledgement by calling the plug-in back on another thread and waiting for
// it (GetStatus, even SetStatus); had we held the lock across the broadcast, that thread would
// wait for us and we for it. So the handles are closed, the packet sent and the contacts walked
// after the lock is released, and status acknowledgements are queued under the lock (so they
// keep the order of the changes) and sent after it by status_acks_send.
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
// session_mutex stays recursive for safety, though nothing calls out while holding it.
extern std::recursive_mutex session_mutex;

// A status change old -> new for the host, queued with session_mutex held.
void status_ack_queue(int old_status, int new_status);
// Sends the queued status acknowledgements in order; call it without session_mutex. When another
// thread (or an outer call on this one) is already sending, that one sends ours too, so a host
// that calls back from its acknowledgement hook never waits on us.
void status_acks_send();
