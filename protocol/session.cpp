// The session owner (see session.h): the goal, the log-in attempts, the reconnect plan, and every
// way a session ends. Each change of state is decided under session_mutex; what it means for the
// host (acknowledgements, closing handles, contacts going offline) follows after the lock.
#include "protocol/session.h"

#include <atomic>
#include <vector>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/reconnect.h"
#include "protocol/send.h"
#include "protocol/tls_link.h"

std::recursive_mutex session_mutex;

namespace {

// Everything below is read and written under session_mutex only.
struct SessionOwner {
  int goal = ID_STATUS_OFFLINE;
  uint32_t attempt = 0;       // the newest attempt's number
  bool attempt_open = false;  // that attempt has had no result yet
  bool reconnect_planned = false;
  uint32_t ticket = 0;  // the newest reconnect plan's number
  unsigned backoff_step = 0;
  DWORD online_since = 0;
  uint32_t random = 0x9E3779B9u;
};
SessionOwner owner;

SessionHooks hooks{};

std::atomic<DWORD (*)(void)> clock_source{nullptr};
std::atomic<DWORD> last_heard{0};

// Serialises status changes on the open connection, so the server and the host hear them in
// the same order. Never taken under session_mutex.
std::mutex announce_mutex;

// Status acknowledgements waiting to be sent, oldest first, and whether a thread is sending.
struct StatusChange {
  int old_status;
  int new_status;
};
std::mutex acks_mutex;
std::vector<StatusChange> acks_waiting;
bool acks_sending = false;

// What a change of state leaves to be done after the lock.
struct Aftermath {
  HANDLE receiver = nullptr;
  HANDLE connection = nullptr;
  bool contacts_offline = false;
  bool plan = false;
  uint32_t ticket = 0;
  DWORD delay_ms = 0;
  int report_reason = 0;  // a log-in failure for the host, 0 for none
};

// Under the lock: the session's handles leave it, and the listener drops whatever it still
// reads from them.
void take_handles(Aftermath& after) {
  after.receiver = session_receiver_take();
  after.connection = protocol_state.connection.exchange(nullptr);
  protocol_state.unread_mail = 0;
}

// Under the lock: the account is offline now, if it was not.
void go_offline_locked(Aftermath& after) {
  int old_status = protocol_state.status.exchange(ID_STATUS_OFFLINE);
  if (old_status != ID_STATUS_OFFLINE) {
    status_ack_queue(old_status, ID_STATUS_OFFLINE);
    after.contacts_offline = true;
  }
}

uint32_t next_random() {
  owner.random ^= owner.random << 13;
  owner.random ^= owner.random >> 17;
  owner.random ^= owner.random << 5;
  return owner.random;
}

// Under the lock: the next reconnect is planned.
void plan_reconnect_locked(Aftermath& after) {
  owner.reconnect_planned = true;
  after.plan = true;
  after.ticket = ++owner.ticket;
  after.delay_ms = reconnect_delay_ms(owner.backoff_step++, next_random());
}

void reconnect_due(uint32_t ticket) { session_reconnect_due(ticket); }

bool reconnect_enabled() {
  return get_setting_byte(nullptr, protocol_state.module_name, "Reconnect", 1) != 0;
}

void clear_reconnect_notice() { write_setting_dword(nullptr, protocol_state.module_name, "ReconnectIn", 0); }

// After the lock, in the order the host must see it: a log-in failure before the status, the
// status before the handles close (nothing the host does in answer finds a half-closed
// connection reported online), then the contacts.
void carry_out(const Aftermath& after) {
  if (after.report_reason != 0) report_login_failure(after.report_reason);
  status_acks_send();
  receiver_close(after.receiver);
  tls_link_close(after.connection);
  tls_link_session_ended();
  // Requests waiting for replies on the ended session give up now, not at their time-out, and
  // so do the packets still waiting for their turn to be written on it.
  pending_queue_wake_all();
  mrim_send_wake_all();
  if (after.contacts_offline) set_all_contacts_offline();
  if (after.plan) {
    DWORD seconds = (after.delay_ms + 500) / 1000;
    mrim_log("session: connection lost, reconnecting in %lu s\n", static_cast<unsigned long>(seconds));
    write_setting_dword(nullptr, protocol_state.module_name, "ReconnectIn", seconds > 0 ? seconds : 1);
    bool still_planned = reconnect_start(after.delay_ms, reconnect_due, after.ticket) == 0;
    {
      std::lock_guard lock(session_mutex);
      if (!still_planned && owner.ticket == after.ticket) owner.reconnect_planned = false;
      // The user may have called the plan off between the lock and the notice above: the host
      // must not be left announcing a try that is not coming.
      still_planned = owner.reconnect_planned && owner.ticket == after.ticket;
    }
    if (!still_planned) clear_reconnect_notice();
  }
}

// Starts log-in attempt `attempt` toward `status`; when it cannot even start, it is over.
void start_attempt(int status, uint32_t attempt) {
  if (hooks.connect != nullptr && hooks.connect(status, attempt) == 0) return;
  std::lock_guard lock(session_mutex);
  if (owner.attempt == attempt) owner.attempt_open = false;
}

// Announces `status` on the open connection of session `generation`.
void announce_in_place(int status, uint32_t generation) {
  std::lock_guard announce_lock(announce_mutex);
  if (hooks.announce == nullptr || hooks.announce(status) != 0) {
    session_connection_lost(generation, "the status could not be sent");
    return;
  }
  {
    std::lock_guard lock(session_mutex);
    if (receiver_generation() != generation || protocol_state.status == ID_STATUS_OFFLINE) return;
    int old_status = protocol_state.status.exchange(status);
    if (old_status != status) status_ack_queue(old_status, status);
  }
  status_acks_send();
}

INT_PTR go_offline_by_user() {
  Aftermath after;
  bool was_planned = false;
  {
    std::lock_guard lock(session_mutex);
    owner.goal = ID_STATUS_OFFLINE;
    was_planned = owner.reconnect_planned;
    owner.reconnect_planned = false;
    ++owner.ticket;
    // Going offline is the result of an attempt under way: it is cut off without a word.
    bool was_open = owner.attempt_open;
    owner.attempt_open = false;
    if (!was_planned && !was_open && protocol_state.status == ID_STATUS_OFFLINE) return 1;
    go_offline_locked(after);
    take_handles(after);
  }
  reconnect_cancel_all();
  carry_out(after);
  if (was_planned) clear_reconnect_notice();
  return 0;
}

}  // namespace

void session_install(const SessionHooks& installed) { hooks = installed; }

SessionPhase session_phase() {
  std::lock_guard lock(session_mutex);
  if (owner.attempt_open) return SESSION_CONNECTING;
  if (protocol_state.status != ID_STATUS_OFFLINE) return SESSION_ONLINE;
  return owner.reconnect_planned ? SESSION_WAITING : SESSION_OFFLINE;
}

int session_goal() {
  std::lock_guard lock(session_mutex);
  return owner.goal;
}

void session_reset() {
  std::lock_guard lock(session_mutex);
  uint32_t ticket = owner.ticket;
  owner = SessionOwner{};
  owner.ticket = ticket + 1;  // a plan of an earlier load is never due
  owner.random ^= session_now();
  if (owner.random == 0) owner.random = 1;
}

INT_PTR session_request_status(int status) {
  if (status == ID_STATUS_OFFLINE) return go_offline_by_user();
  uint32_t attempt = 0;
  uint32_t generation = 0;
  bool was_planned = false;
  {
    std::lock_guard lock(session_mutex);
    // An attempt under way announces whatever the goal is when it gets there.
    if (owner.attempt_open) {
      owner.goal = status;
      return 0;
    }
    if (protocol_state.status != ID_STATUS_OFFLINE) {
      owner.goal = status;
      if (protocol_state.status == status) return 1;
      generation = receiver_generation();
    } else {
      owner.goal = status;
      was_planned = owner.reconnect_planned;
      owner.reconnect_planned = false;
      ++owner.ticket;
      attempt = ++owner.attempt;
      owner.attempt_open = true;
      // The user's own request starts the back-off afresh.
      owner.backoff_step = 0;
    }
  }
  if (attempt == 0) {
    announce_in_place(status, generation);
    return 0;
  }
  if (was_planned) {
    reconnect_cancel_all();
    clear_reconnect_notice();
  }
  start_attempt(status, attempt);
  return 0;
}

// The texts go out with the status in force; an attempt under way carries them anyway, and
// while offline they wait for the next log-in.
void session_status_texts_changed() {
  int status = ID_STATUS_OFFLINE;
  uint32_t generation = 0;
  {
    std::lock_guard lock(session_mutex);
    if (owner.attempt_open || protocol_state.status == ID_STATUS_OFFLINE) return;
    status = protocol_state.status;
    generation = receiver_generation();
  }
  announce_in_place(status, generation);
}

void session_announce_again() { session_status_texts_changed(); }

bool session_attempt_wanted(uint32_t attempt) {
  std::lock_guard lock(session_mutex);
  return owner.attempt == attempt && owner.attempt_open && !stop_requested();
}

int session_attempt_goal(uint32_t) {
  std::lock_guard lock(session_mutex);
  return owner.goal;
}

bool session_attempt_store(uint32_t attempt, HANDLE connection, HANDLE receiver) {
  Aftermath stale;
  {
    std::lock_guard lock(session_mutex);
    if (owner.attempt != attempt || !owner.attempt_open || stop_requested()) return false;
    // Whatever an earlier session left behind goes; it is no part of this one.
    take_handles(stale);
    protocol_state.connection = connection;
    session_receiver_store(receiver);
    // Closed before anyone can write on the new session: nothing but the log-in's own packets
    // and keep-alives reach the server until it has answered the log-in.
    mrim_send_gate_close(receiver_generation());
    last_heard = session_now();
  }
  receiver_close(stale.receiver);
  tls_link_close(stale.connection);
  return true;
}

bool session_attempt_online(uint32_t attempt, int announced) {
  uint32_t generation = 0;
  int goal = announced;
  {
    std::lock_guard lock(session_mutex);
    if (owner.attempt != attempt || !owner.attempt_open || protocol_state.packet_receiver == nullptr)
      return false;
    owner.attempt_open = false;
    int old_status = protocol_state.status.exchange(announced);
    status_ack_queue(old_status, announced);
    owner.online_since = session_now();
    generation = receiver_generation();
    goal = owner.goal;
  }
  status_acks_send();
  // The user chose another status while the log-in was under way.
  if (goal != announced && goal != ID_STATUS_OFFLINE) announce_in_place(goal, generation);
  return true;
}

void session_attempt_failed(uint32_t attempt, int reason) {
  bool may_retry = reconnect_enabled();
  Aftermath after;
  {
    std::lock_guard lock(session_mutex);
    // Its result was given already (the user went offline, the server logged us out), or a
    // newer attempt owns the session now.
    if (owner.attempt != attempt || !owner.attempt_open) return;
    owner.attempt_open = false;
    take_handles(after);
    // Unload wants no word to the host; the handles are closed all the same.
    if (!stop_requested()) {
      after.report_reason = reason;
      // The goal stands: a server that could not be reached or did not answer is tried again
      // later. A refused password is the user's to mend, and is never tried again by itself.
      bool no_server = reason == LOGINERR_NOSERVER || reason == LOGINERR_TIMEOUT;
      if (no_server && may_retry && owner.goal != ID_STATUS_OFFLINE) plan_reconnect_locked(after);
    }
  }
  carry_out(after);
}

void session_connection_lost(uint32_t generation, const char* why) {
  bool may_reconnect = reconnect_enabled();
  Aftermath after;
  {
    std::lock_guard lock(session_mutex);
    if (receiver_generation() != generation || protocol_state.packet_receiver == nullptr) return;
    mrim_log("session: connection lost: %s\n", why);
    bool was_online = protocol_state.status != ID_STATUS_OFFLINE;
    go_offline_locked(after);
    take_handles(after);
    // An attempt under way sees its waits end and gives its own result.
    if (was_online && may_reconnect && owner.goal != ID_STATUS_OFFLINE && !stop_requested()) {
      if (session_now() - owner.online_since >= MRIM_RECONNECT_RESET_MS) owner.backoff_step = 0;
      plan_reconnect_locked(after);
    }
  }
  carry_out(after);
}

void session_logged_out(uint32_t reason) {
  Aftermath after;
  bool was_planned = false;
  {
    std::lock_guard lock(session_mutex);
    mrim_log("session: logged out by the server, reason %lu\n", static_cast<unsigned long>(reason));
    // Another log-in of the account, or the server's word: never fought back automatically.
    owner.goal = ID_STATUS_OFFLINE;
    was_planned = owner.reconnect_planned;
    owner.reconnect_planned = false;
    ++owner.ticket;
    owner.attempt_open = false;  // this is the result of an attempt under way
    after.report_reason = LOGINERR_OTHERLOCATION;
    go_offline_locked(after);
    take_handles(after);
  }
  if (was_planned) reconnect_cancel_all();
  carry_out(after);
}

bool session_reconnect_due(uint32_t ticket) {
  uint32_t attempt = 0;
  int status = ID_STATUS_OFFLINE;
  {
    std::lock_guard lock(session_mutex);
    if (!owner.reconnect_planned || owner.ticket != ticket || owner.goal == ID_STATUS_OFFLINE ||
        stop_requested())
      return false;
    owner.reconnect_planned = false;
    attempt = ++owner.attempt;
    owner.attempt_open = true;
    status = owner.goal;
  }
  mrim_log("session: reconnecting\n");
  clear_reconnect_notice();
  start_attempt(status, attempt);
  return true;
}

void report_login_failure(int reason) {
  mrim_log("session: log-in failed, reason %d\n", reason);
  broadcast_ack(protocol_state.module_name, nullptr, ACKTYPE_LOGIN, ACKRESULT_FAILED, nullptr, reason);
}

void status_ack_queue(int old_status, int new_status) {
  std::lock_guard lock(acks_mutex);
  acks_waiting.push_back(StatusChange{old_status, new_status});
}

void status_acks_send() {
  {
    std::lock_guard lock(acks_mutex);
    if (acks_sending) return;
    acks_sending = true;
  }
  for (;;) {
    StatusChange change;
    {
      std::lock_guard lock(acks_mutex);
      if (acks_waiting.empty()) {
        acks_sending = false;
        return;
      }
      change = acks_waiting.front();
      acks_waiting.erase(acks_waiting.begin());
    }
    broadcast_ack(protocol_state.module_name, nullptr, ACKTYPE_STATUS, ACKRESULT_SUCCESS,
                  reinterpret_cast<HANDLE>(static_cast<intptr_t>(change.old_status)), change.new_status);
  }
}

void session_heard() { last_heard = session_now(); }

DWORD session_last_heard() { return last_heard.load(); }

void session_set_clock(DWORD (*tick)(void)) { clock_source = tick; }

DWORD session_now() {
  DWORD (*tick)(void) = clock_source.load();
  return tick != nullptr ? tick() : GetTickCount();
}
