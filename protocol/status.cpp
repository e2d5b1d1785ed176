// Keep-alive and status changes: WatchDogThread pings the server at the period it asked for, and
// the "/SetStatus" service decides between connecting, announcing a new status on the open
// connection, and the disconnect sequence (also run by ListenThread on a lost connection and by
// the dispatcher on MRIM_CS_LOGOUT). status.h explains how this is kept apart from going online.
#include "protocol/status.h"

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/online.h"
#include "protocol/receivers.h"
#include "protocol/send.h"

std::recursive_mutex session_mutex;

namespace {

// The ping packet, owned by WatchDogThread alone (an empty body: 44 bytes on the wire).
MrimPacket ping_packet;

std::atomic<bool (*)(DWORD)> watchdog_sleep_fn{nullptr};

// Sleeps in pieces a DWORD can hold (and never the value INFINITE), so that even the largest
// period a server can send is slept as asked; true when the thread is to end.
bool watchdog_sleep(uint64_t milliseconds) {
  bool (*sleep)(DWORD) = watchdog_sleep_fn.load();
  if (sleep == nullptr) sleep = stop_sleep;
  constexpr uint64_t kLongestPiece = 0x7FFFFFFF;
  do {
    uint64_t piece = milliseconds < kLongestPiece ? milliseconds : kLongestPiece;
    if (sleep(static_cast<DWORD>(piece))) return true;
    milliseconds -= piece;
  } while (milliseconds > 0);
  return false;
}

// The period in force, with the floor applied: 0 from the server means "as often as allowed".
uint32_t effective_ping_period() {
  uint32_t period = ping_period.load();
  return period < MRIM_MIN_PING_PERIOD ? MRIM_MIN_PING_PERIOD : period;
}

// Status acknowledgements waiting to be sent, oldest first, and whether a thread is sending.
struct StatusChange {
  int old_status;
  int new_status;
};
std::mutex acks_mutex;
std::vector<StatusChange> acks_waiting;
bool acks_sending = false;

// The disconnect sequence. The handles leave the session under session_mutex, so a connect
// thread never sees it half done; the host hears of the change before they are closed, so
// nothing it does in answer finds a half-closed connection reported as online. 1 when the
// account is already offline (nothing done).
INT_PTR disconnect() {
  HANDLE receiver = nullptr;
  HANDLE connection = nullptr;
  {
    std::lock_guard lock(session_mutex);
    int old_status = protocol_state.status;
    if (old_status == ID_STATUS_OFFLINE) return 1;
    protocol_state.status = ID_STATUS_OFFLINE;
    status_ack_queue(old_status, ID_STATUS_OFFLINE);
    // From here the listener drops whatever it still reads from this receiver.
    receiver = session_receiver_take();
    connection = protocol_state.connection.exchange(nullptr);
    protocol_state.unread_mail = 0;
  }
  status_acks_send();
  // Closing the receiver wakes ListenThread out of "Netlib/GetMorePackets"; it then finds the
  // receiver gone and only resets.
  receiver_close(receiver);
  if (connection != nullptr) close_handle(connection);
  set_all_contacts_offline();
  return 0;
}

}  // namespace

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

void watchdog_set_sleep(bool (*sleep)(DWORD milliseconds)) { watchdog_sleep_fn = sleep; }

DWORD WINAPI WatchDogThread(LPVOID) {
  mrim_log("WatchDogThread: started\n");
  // Half a period first, so that the pings of the plug-in's life fall between the connects.
  if (watchdog_sleep(uint64_t{effective_ping_period()} * 500)) return 0;
  for (;;) {
    mrim_packet_init(&ping_packet, MRIM_CS_PING, mrim_next_seq());
    mrim_log("WatchDogThread: MRIM_CS_PING sending\n");
    // Without a connection nothing goes out (the number is used up all the same); a failed
    // send shows up as the connection's loss on the listener.
    MRIM_sendpacket(&ping_packet);
    // Read afresh: a period the server set during the last sleep takes effect now. The log
    // shows the period actually slept, floor included.
    uint32_t seconds = effective_ping_period();
    mrim_log("WatchDogThread: Sleeping %lu sec\n", static_cast<unsigned long>(seconds));
    if (watchdog_sleep(uint64_t{seconds} * 1000)) return 0;
  }
}

INT_PTR SetStatus(WPARAM new_status, LPARAM) {
  int old_status = protocol_state.status;
  switch (new_status) {
    case ID_STATUS_ONLINE:
    case ID_STATUS_AWAY:
    case ID_STATUS_INVISIBLE:
      if (static_cast<int>(new_status) == old_status) return 1;
      // Whether the connect thread started or not, the request was taken: the host hears the
      // outcome only through the status acknowledgement.
      mrim_go_online(static_cast<int>(new_status));
      return 0;
    case ID_STATUS_NA:
      // Not available is served as away.
      if (old_status == ID_STATUS_AWAY) return 1;
      mrim_go_online(ID_STATUS_AWAY);
      return 0;
    case ID_STATUS_OFFLINE:
      return disconnect();
    default:
      return 1;
  }
}
