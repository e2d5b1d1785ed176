// Keep-alive and status changes: WatchDogThread pings the server at the period it asked for, and
// the "/SetStatus" service hands the user's choice to the session owner (session.h), which
// decides between connecting, announcing on the open connection and going offline.
#include "protocol/status.h"

#include <atomic>
#include <cstdint>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/online.h"
#include "protocol/receivers.h"
#include "protocol/send.h"
#include "protocol/session.h"

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

}  // namespace

void watchdog_set_sleep(bool (*sleep)(DWORD milliseconds)) { watchdog_sleep_fn = sleep; }

DWORD WINAPI WatchDogThread(LPVOID) {
  mrim_log("WatchDogThread: started\n");
  // Half a period first, so that the pings of the plug-in's life fall between the connects.
  if (watchdog_sleep(uint64_t{effective_ping_period()} * 500)) return 0;
  for (;;) {
    mrim_packet_init(&ping_packet, MRIM_CS_PING, mrim_next_seq());
    mrim_log("WatchDogThread: MRIM_CS_PING sending\n");
    // Without a connection nothing goes out (the number is used up all the same). A keep-alive
    // that cannot be sent means a dead connection: the session ends now rather than at the
    // next request the user makes. It waits for no answer, only the gap between writes, so
    // requests queued behind slow answers never make it late.
    uint32_t generation = receiver_generation();
    bool live = protocol_state.packet_receiver != nullptr;
    if (mrim_send(&ping_packet, MRIM_SEND_NOTICE) == MRIM_SEND_FAILED && live)
      session_connection_lost(generation, "the keep-alive could not be sent");
    // Read afresh: a period the server set during the last sleep takes effect now. The log
    // shows the period actually slept, floor included.
    uint32_t seconds = effective_ping_period();
    mrim_log("WatchDogThread: Sleeping %lu sec\n", static_cast<unsigned long>(seconds));
    if (watchdog_sleep(uint64_t{seconds} * 1000)) return 0;
  }
}

INT_PTR SetStatus(WPARAM new_status, LPARAM) {
  switch (new_status) {
    case ID_STATUS_ONLINE:
    case ID_STATUS_AWAY:
    case ID_STATUS_INVISIBLE:
    case ID_STATUS_OFFLINE:
      return session_request_status(static_cast<int>(new_status));
    case ID_STATUS_NA:
      // Not available is served as away.
      return session_request_status(ID_STATUS_AWAY);
    default:
      return 1;
  }
}

int mrim_announce_status(int host_status) { return mrim_do_changestatus(mrim_status_from_host(host_status)); }
