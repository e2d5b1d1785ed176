// The listener thread: the only reader of the server connection. It asks the host for more
// bytes, copies each delivery out of the host's buffer, cuts the copy into whole MRIM packets
// and hands each one to the installed packet handler (the dispatcher) in order of arrival, as
// long as the session it read them from lasts. When the connection is lost it takes the account
// offline.
//
// Instead of looking for a receiver every 500 ms, it waits on a condition variable that
// listener_wake() signals as soon as the connect sequence has stored one (and at Unload); the
// 500 ms stay as the upper bound of each wait. It ends when Unload asks the threads to stop.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/listener.h"
#include "protocol/online.h"
#include "protocol/packet_cutter.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"

namespace {

constexpr DWORD kIdleWaitMs = 500;

std::mutex wake_mutex;
std::condition_variable wake_signal;
bool wake_pending = false;  // a wake that came while the listener was not waiting still counts

// Waits at most the given time for listener_wake() or the stop request.
void wait_for_wake(DWORD milliseconds) {
  std::unique_lock lock(wake_mutex);
  wake_signal.wait_for(lock, std::chrono::milliseconds(milliseconds),
                       [] { return wake_pending || stop_requested(); });
  wake_pending = false;
}

// The listener's own copy of each delivery: the host's buffer may be freed under it.
BYTE delivery[MRIM_RECEIVER_SIZE];

// A fresh request record: nothing consumed, no time limit.
void reset_record(NetlibPacketRecver* record) {
  memset(record, 0, sizeof *record);
  record->size = sizeof *record;
  record->timeout = INFINITE;
}

// The same, and every queued packet goes with the old state of the connection.
void reset(NetlibPacketRecver* record) {
  reset_record(record);
  pending_queue_clear();
}

// The longest packet that can ever be whole in a receiver buffer of this size (and in the
// listener's copy).
uint32_t longest_packet(int buffer_size) {
  uint32_t longest = buffer_size > 0 ? static_cast<uint32_t>(buffer_size) : 0;
  if (longest > MRIM_PACKET_SIZE) longest = MRIM_PACKET_SIZE;
  if (longest > sizeof delivery) longest = sizeof delivery;
  return longest;
}

bool still_current(HANDLE receiver, uint32_t generation) {
  return protocol_state.packet_receiver == receiver && receiver_generation() == generation;
}

struct CurrentSession {
  ListenerWorkArea* work_area;
  HANDLE receiver;
  uint32_t generation;
};

bool dispatch_all(const MrimPacket* packet, void* work_area) {
  listener_hand_over(packet, static_cast<ListenerWorkArea*>(work_area));
  return true;
}

// After each packet: if it ended the session (or Unload began), what follows in the delivery
// belongs to a session that is over.
bool dispatch_while_current(const MrimPacket* packet, void* context) {
  auto* session = static_cast<CurrentSession*>(context);
  listener_hand_over(packet, session->work_area);
  return still_current(session->receiver, session->generation) && !stop_requested();
}

// Through the account's own "/SetStatus" service, as the host would call it; if the service
// does not exist the host just answers that it was not found.
void go_offline() {
  char service[MODULE_NAME_MAX + 16];
  snprintf(service, sizeof service, "%s/SetStatus", protocol_state.module_name);
  call_service(service, ID_STATUS_OFFLINE, 0);
}

}  // namespace

void listener_wake() {
  std::lock_guard lock(wake_mutex);
  wake_pending = true;
  wake_signal.notify_all();
}

void listener_cut_packets(NetlibPacketRecver* record, ListenerWorkArea* work_area) {
  // The record comes from the host: figures out of range are taken as "nothing more here"
  // rather than trusted, so nothing is read outside the buffer.
  const uint32_t buffer_size = record->buffer_size > 0 ? static_cast<uint32_t>(record->buffer_size) : 0;
  int available = record->bytes_available;
  if (available < 0 || buffer_size == 0 || record->buffer == nullptr) available = 0;
  if (static_cast<uint32_t>(available) > buffer_size) available = static_cast<int>(buffer_size);
  int used = record->bytes_used;
  bool in_range = used >= 0 && used <= available;
  uint32_t unconsumed = in_range ? static_cast<uint32_t>(available - used) : 0;
  bool stopped = false;
  uint32_t consumed = cut_packets(in_range ? record->buffer + used : nullptr, unconsumed,
                                  longest_packet(buffer_size), dispatch_all, work_area, &stopped);
  if (consumed > 0) record->bytes_used = used + static_cast<int>(consumed);
}

DWORD WINAPI ListenThread(LPVOID parameter) {
  auto* work_area = static_cast<ListenerWorkArea*>(parameter);
  mrim_log("ListenThread: started\n");
  NetlibPacketRecver record;
  reset(&record);
  HANDLE current_receiver = nullptr;
  uint32_t current_generation = 0;
  while (!stop_requested()) {
    // The count first: a receiver stored in between then fails the checks below once, instead
    // of passing them under the wrong count.
    uint32_t generation = receiver_generation();
    HANDLE receiver = protocol_state.packet_receiver;
    if (receiver == nullptr) {
      reset(&record);
      wait_for_wake(kIdleWaitMs);
      continue;
    }
    if (receiver != current_receiver || generation != current_generation) {
      reset_record(&record);  // nothing of an earlier receiver's figures carries over
      current_receiver = receiver;
      current_generation = generation;
    }
    INT_PTR result = call_service(MS_NETLIB_GETMOREPACKETS, reinterpret_cast<WPARAM>(receiver),
                                  reinterpret_cast<LPARAM>(&record));
    mrim_log("ListenThread: CallService(MS_NETLIB_GETMOREPACKETS,,,) returned control\n");
    // Unload closes the receiver to get us here: that failure is no lost connection, and the
    // account's services may already be on their way out.
    if (stop_requested()) break;
    // Any negative result is taken as the receive error the host reports with -1: nothing
    // was delivered into the record, so it must not be cut.
    if (result <= 0) {
      if (result == 0)
        mrim_log("ListenThread: CallService(MS_NETLIB_GETMOREPACKETS,,,) == 0\n");
      else
        mrim_log("ListenThread: recvResult == SOCKET_ERROR\n");
      // A receiver closed by going offline fails too; and a new session may be up by now,
      // which this failure says nothing about.
      if (protocol_state.login_in_progress == 0 && still_current(receiver, generation)) go_offline();
      reset(&record);
      wait_for_wake(kIdleWaitMs);
      continue;
    }
    mrim_log("ListenThread: processing received data\n");
    // Copied out before anything is dispatched: a packet may end the session (MRIM_CS_LOGOUT
    // goes offline, which closes the receiver and frees its buffer), and so may another thread
    // at any time.
    int copied = session_copy_delivery(receiver, generation, &record, delivery, sizeof delivery);
    if (copied < 0) {
      mrim_log("ListenThread: the session has ended, the delivery is dropped\n");
      reset_record(&record);
      continue;
    }
    CurrentSession session{work_area, receiver, generation};
    bool stopped = false;
    uint32_t consumed =
        cut_packets(delivery, static_cast<uint32_t>(copied), longest_packet(record.buffer_size),
                    dispatch_while_current, &session, &stopped);
    // After a session's end nothing of it is applied any more, and its record is not used again.
    if (stopped) {
      mrim_log("ListenThread: the session has ended, the rest of the delivery is dropped\n");
      reset_record(&record);
      continue;
    }
    record.bytes_used += static_cast<int>(consumed);
  }
  mrim_log("ListenThread: stopped\n");
  return 0;
}
