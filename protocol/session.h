// The one owner of the session's state: offline, connecting, online, or waiting to reconnect.
// The user's last request is the goal; the connect thread works toward it, and every path that
// ends a session (the user, a lost connection, a forced log-out, a failed log-in, Unload) goes
// through here, so that the host's status, the contacts' presence and the acknowledgements
// always agree, and each log-in attempt gets exactly one result.
#pragma once

#include <cstdint>
#include <mutex>

#include "host/host_api.h"

// How going online and going offline are kept apart.
//
// Two locks, taken in this order when both are needed:
//  - connect_mutex (online.cpp): one connect sequence at a time, held by the connect thread for
//    its whole run (address query and reply waits included), so the address-query handles and
//    the static packet buffers are never shared.
//  - session_mutex: the phase, the goal, the attempt's bookkeeping and the account's session
//    fields (status, connection, packet_receiver, unread_mail) change only under it. It is
//    never held across a wait for a server reply, across a dial, or across any call to the
//    host: a host may answer an acknowledgement by calling the plug-in back on another thread
//    and waiting for it, and the listener, which delivers the replies a connect thread waits
//    for, takes it too. So handles are taken out under it and closed after it, and status
//    acknowledgements are queued under it (keeping the order of the changes) and sent after it
//    by status_acks_send.
extern std::recursive_mutex session_mutex;

enum SessionPhase {
  SESSION_OFFLINE,     // nothing open, nothing planned
  SESSION_CONNECTING,  // a log-in attempt is under way
  SESSION_ONLINE,      // logged in; protocol_state.status is what was announced
  SESSION_WAITING,     // offline after a lost connection, a reconnect is planned
};

// How the owner starts what it decides on; installed at Load (the functions live in files that
// depend on this one). Each returns 0 on success.
struct SessionHooks {
  // Starts the connect thread for log-in attempt `attempt` toward host status `status`.
  int (*connect)(int status, uint32_t attempt);
  // Sends the status change on the open connection.
  int (*announce)(int status);
};
void session_install(const SessionHooks& hooks);

SessionPhase session_phase();
// The status the user last asked for (ID_STATUS_OFFLINE when none, or after a forced log-out).
int session_goal();
// Back to a freshly loaded plug-in's state (Load).
void session_reset();

// "/SetStatus" for the statuses the account serves (online, away, invisible, offline): the goal
// becomes this status. Offline ends whatever is under way, a connect included; an online status
// starts a log-in when offline (or waiting), becomes the goal of a log-in under way, and is
// announced on the open connection at once when online. 0 when a change was started or made, 1
// when there was nothing to do.
INT_PTR session_request_status(int host_status);

// The connect thread's side. An attempt is numbered when it starts; the thread asks whether it
// is still wanted before each step, and ends with exactly one of the two calls below.
bool session_attempt_wanted(uint32_t attempt);
// The account's own status title or description changed: announced at once while online.
void session_status_texts_changed();
// Our status once more on the open connection, as it stands: a server may show the account as
// offline to everyone after it removed a contact.
void session_announce_again();
// The status to announce at the end of the attempt.
int session_attempt_goal(uint32_t attempt);
// Stores the connection and its receiver for the attempt; false (nothing stored) when the
// attempt is no longer wanted, and the caller closes them.
bool session_attempt_store(uint32_t attempt, HANDLE connection, HANDLE receiver);
// The log-in went through and `announced` was sent to the server: the account is online with
// it. False when the attempt was given up meanwhile (nothing is reported then).
bool session_attempt_online(uint32_t attempt, int announced);
// The attempt failed for `reason` (LOGINERR_*): closes what it opened and, unless its result was
// already given (a forced log-out, the user going offline) or Unload is under way, tells the
// host once. A reconnect that found no server tries again later.
void session_attempt_failed(uint32_t attempt, int reason);

// The connection of the session under receiver count `generation` is gone or unusable (a
// receive error, a keep-alive or status that cannot be sent, a reply owed and nothing heard):
// the account goes offline truthfully and, unless the user chose offline or "Reconnect" is 0,
// comes back by itself. Nothing happens when that session has ended already.
void session_connection_lost(uint32_t generation, const char* why);
// The server ended the session with MRIM_CS_LOGOUT: reported as a log-in from elsewhere, and
// never followed by a reconnect.
void session_logged_out(uint32_t reason);

// The reconnect thread's side: starts the log-in of the planned reconnect `ticket`; false when
// that plan was cancelled or replaced meanwhile.
bool session_reconnect_due(uint32_t ticket);

// The host hears of a failed log-in as of every protocol's: ACKTYPE_LOGIN, ACKRESULT_FAILED, the
// reason (LOGINERR_*) as its parameter. Sent before any status acknowledgement of the failure.
void report_login_failure(int reason);

// The listener heard from the server (any bytes), and when it last did: a reply owed and
// nothing heard since it was asked for means the connection is dead.
void session_heard();
DWORD session_last_heard();

// A status change old -> new for the host, queued with session_mutex held.
void status_ack_queue(int old_status, int new_status);
// Sends the queued status acknowledgements in order; call it without session_mutex. When another
// thread (or an outer call on this one) is already sending, that one sends ours too, so a host
// that calls back from its acknowledgement hook never waits on us.
void status_acks_send();

// Test hook: the tick source for the session's clock (null restores GetTickCount).
void session_set_clock(DWORD (*tick)(void));
DWORD session_now();
