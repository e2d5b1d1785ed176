// The listener thread: the only reader of the server connection. It asks the host for more
// bytes, cuts them into whole MRIM packets in place in the host's buffer, and hands each one
// to the installed packet handler (the dispatcher) in order of arrival. When the connection is
// lost it takes the account offline.
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
#include "protocol/receive.h"

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

// A fresh request record: nothing consumed, no time limit. Every queued packet goes with the
// old state of the connection.
void reset(NetlibPacketRecver* record) {
  memset(record, 0, sizeof *record);
  record->size = sizeof *record;
  record->timeout = INFINITE;
  pending_queue_clear();
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
  // A packet longer than the receiver's buffer can never be complete there: the host would
  // fill the buffer and wait for the rest for ever. Such a length means the stream is out of
  // step or the server sends what no client can hold, so the packet is treated like bytes
  // without the magic: everything buffered is discarded, and the boundaries are found again
  // when a later delivery begins with a packet. The connection stays up, so a reply that
  // follows in a later delivery still reaches its requester.
  const uint64_t longest = buffer_size < MRIM_PACKET_SIZE ? buffer_size : MRIM_PACKET_SIZE;
  for (;;) {
    int available = record->bytes_available;
    if (available < 0 || buffer_size == 0 || record->buffer == nullptr) available = 0;
    if (static_cast<uint32_t>(available) > buffer_size) available = static_cast<int>(buffer_size);
    int used = record->bytes_used;
    uint32_t unconsumed = used >= 0 && used <= available ? static_cast<uint32_t>(available - used) : 0;
    if (unconsumed < MRIM_HEADER_SIZE) {
      mrim_log("ListenThread: no available data\n");
      return;
    }
    const BYTE* start = record->buffer + used;
    uint32_t magic = 0;
    memcpy(&magic, start + offsetof(MrimPacket, magic), sizeof magic);
    if (magic != MRIM_MAGIC) {
      mrim_log("ListenThread: packet error! no magic\n");
      record->bytes_used = available;
      continue;
    }
    mrim_log("ListenThread: packet magic OK\n");
    uint32_t dlen = 0;
    memcpy(&dlen, start + offsetof(MrimPacket, dlen), sizeof dlen);
    const uint64_t total = MRIM_HEADER_SIZE + static_cast<uint64_t>(dlen);
    if (total > longest) {
      mrim_log("ListenThread: packet error! dlen(%lu) too long for the receiver, data discarded\n",
               static_cast<unsigned long>(dlen));
      record->bytes_used = available;
      continue;
    }
    if (unconsumed < total) {
      mrim_log("ListenThread: packet is not complete. waiting for more blocks.\n");
      return;
    }
    record->bytes_used = used + static_cast<int>(total);
    listener_hand_over(reinterpret_cast<const MrimPacket*>(start), work_area);
  }
}

DWORD WINAPI ListenThread(LPVOID parameter) {
  auto* work_area = static_cast<ListenerWorkArea*>(parameter);
  mrim_log("ListenThread: started\n");
  NetlibPacketRecver record;
  reset(&record);
  while (!stop_requested()) {
    HANDLE receiver = protocol_state.packet_receiver;
    if (receiver == nullptr) {
      reset(&record);
      wait_for_wake(kIdleWaitMs);
      continue;
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
      if (protocol_state.login_in_progress == 0) go_offline();
      reset(&record);
      wait_for_wake(kIdleWaitMs);
      continue;
    }
    mrim_log("ListenThread: processing received data\n");
    listener_cut_packets(&record, work_area);
  }
  mrim_log("ListenThread: stopped\n");
  return 0;
}
