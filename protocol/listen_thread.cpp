// The listener thread: the only reader of the server connection. It asks the host for more
// bytes, copies each delivery out of the host's buffer, cuts the copy into whole MRIM packets
// and hands each one to the installed packet handler (the dispatcher) in order of arrival, as
// long as the session it read them from lasts. When the connection is lost it tells the session
// owner.
//
// Instead of looking for a receiver every 500 ms, it waits on a condition variable that
// listener_wake() signals as soon as the connect sequence has stored one (and at Unload); the
// 500 ms stay as the upper bound of each wait. It ends when Unload asks the threads to stop.
//
// Every delivery is taken out of the host's receiver whole, so the receiver never fills, and
// appended to the listener's own stream buffer, where a packet of up to MRIM_LARGEST_PACKET
// bytes waits until it is complete. That buffer grows only while such a packet is in flight and
// shrinks back to kIdleStreamSize once it is handled; a longer packet is skipped by its
// declared length, however many deliveries its bytes span. An encrypted session's deliveries are
// decrypted (tls_link.h) before they join the stream.
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/late_address.h"
#include "protocol/listener.h"
#include "protocol/online.h"
#include "protocol/packet_cutter.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/session.h"
#include "protocol/tls_link.h"

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

// The bytes received but not yet cut into packets, and the bytes of an over-long packet still to
// come and be dropped.
struct Stream {
  BYTE* bytes = nullptr;
  uint32_t capacity = 0;
  uint32_t length = 0;
  uint64_t skip_left = 0;
};

// What an idle connection keeps: room for one receiver's worth of bytes.
constexpr uint32_t kIdleStreamSize = MRIM_RECEIVER_SIZE;

// Everything buffered goes with the state of the connection it came from; memory beyond the
// idle size is given back.
void stream_shrink(Stream* stream) {
  if (stream->capacity <= kIdleStreamSize || stream->length > kIdleStreamSize) return;
  void* smaller = realloc(stream->bytes, kIdleStreamSize);
  if (smaller == nullptr) return;  // the larger block still serves
  stream->bytes = static_cast<BYTE*>(smaller);
  stream->capacity = kIdleStreamSize;
}

void stream_clear(Stream* stream) {
  stream->length = 0;
  stream->skip_left = 0;
  stream_shrink(stream);
}

// Drops what is left of an over-long packet from the front of the delivery, then appends the
// rest. False when there is no memory for it: the stream is then out of step and starts over.
bool stream_append(Stream* stream, const BYTE* bytes, uint32_t count) {
  uint32_t skipped = stream->skip_left < count ? static_cast<uint32_t>(stream->skip_left) : count;
  stream->skip_left -= skipped;
  if (skipped > 0 && stream->skip_left == 0)
    mrim_log("ListenThread: the over-long packet has been skipped\n");
  bytes += skipped;
  count -= skipped;
  // A whole packet is at most MRIM_LARGEST_PACKET and a delivery at most a receiver's size, so
  // the buffer never needs more than their sum.
  uint64_t needed = static_cast<uint64_t>(stream->length) + count;
  if (needed > stream->capacity) {
    uint64_t grown = stream->capacity < kIdleStreamSize ? kIdleStreamSize : stream->capacity * 2ull;
    if (grown < needed) grown = needed;
    void* larger = needed <= UINT32_MAX ? realloc(stream->bytes, static_cast<size_t>(grown)) : nullptr;
    if (larger == nullptr) {
      mrim_log("ListenThread: no memory for %llu bytes, the buffered data is discarded\n",
               static_cast<unsigned long long>(needed));
      stream_clear(stream);
      return false;
    }
    stream->bytes = static_cast<BYTE*>(larger);
    stream->capacity = static_cast<uint32_t>(grown);
  }
  if (count > 0) memcpy(stream->bytes + stream->length, bytes, count);
  stream->length += count;
  return true;
}

// Forgets the consumed front; an incomplete packet stays for the next delivery.
void stream_consume(Stream* stream, uint32_t consumed) {
  if (consumed > stream->length) consumed = stream->length;
  if (consumed < stream->length) memmove(stream->bytes, stream->bytes + consumed, stream->length - consumed);
  stream->length -= consumed;
  stream_shrink(stream);
}

// The TLS link's sink. Without memory the stream starts over, as for plaintext; the framer finds
// the next packet by its magic.
void append_plain(const BYTE* bytes, uint32_t count, void* context) {
  stream_append(static_cast<Stream*>(context), bytes, count);
}

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
  Stream stream;
  HANDLE current_receiver = nullptr;
  uint32_t current_generation = 0;
  while (!stop_requested()) {
    // Read together under the receivers' lock: a switch of sessions falls wholly before or
    // after, so a new session's first delivery is never taken for the old one's.
    uint32_t generation = 0;
    HANDLE receiver = session_receiver_current(&generation);
    if (receiver == nullptr) {
      reset(&record);
      stream_clear(&stream);
      wait_for_wake(kIdleWaitMs);
      continue;
    }
    if (receiver != current_receiver || generation != current_generation) {
      reset_record(&record);  // nothing of an earlier receiver's figures or bytes carries over
      stream_clear(&stream);
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
      // which this failure says nothing about: the owner acts only on the session we read.
      session_connection_lost(generation, result == 0 ? "closed by the server" : "receive error");
      reset(&record);
      stream_clear(&stream);
      wait_for_wake(kIdleWaitMs);
      continue;
    }
    mrim_log("ListenThread: processing received data\n");
    session_heard();
    // Copied out before anything is dispatched: a packet may end the session (MRIM_CS_LOGOUT
    // goes offline, which closes the receiver and frees its buffer), and so may another thread
    // at any time.
    int copied = session_copy_delivery(receiver, generation, &record, delivery, sizeof delivery);
    if (copied < 0) {
      mrim_log("ListenThread: the session has ended, the delivery is dropped\n");
      reset_record(&record);
      stream_clear(&stream);
      continue;
    }
    // All of it is the listener's now: the host's receiver is empty again for the next bytes.
    record.bytes_used += copied;
    late_address_offer(receiver, delivery, static_cast<uint32_t>(copied));
    // An encrypted session's bytes become plaintext first; the framer sees only that.
    TlsLinkReceive tls =
        tls_link_receive(generation, delivery, static_cast<uint32_t>(copied), append_plain, &stream);
    if (tls == TLS_LINK_FAILED) {
      session_connection_lost(generation, "TLS failure");
      reset(&record);
      stream_clear(&stream);
      continue;
    }
    if (tls == TLS_LINK_CLEAR && !stream_append(&stream, delivery, static_cast<uint32_t>(copied))) continue;
    CurrentSession session{work_area, receiver, generation};
    bool stopped = false;
    uint32_t consumed = cut_packets(stream.bytes, stream.length, MRIM_LARGEST_PACKET, dispatch_while_current,
                                    &session, &stopped, &stream.skip_left);
    // After a session's end nothing of it is applied any more, and its record is not used again.
    if (stopped) {
      mrim_log("ListenThread: the session has ended, the rest of the delivery is dropped\n");
      reset_record(&record);
      stream_clear(&stream);
      continue;
    }
    stream_consume(&stream, consumed);
  }
  free(stream.bytes);
  mrim_log("ListenThread: stopped\n");
  return 0;
}
