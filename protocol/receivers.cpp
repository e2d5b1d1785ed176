// The host's packet receivers and the memory they hand out: closing and copying take turns
// under one lock. The lock is held only for a copy or for the close call itself, which on a
// host wakes a waiting "Netlib/GetMorePackets" and returns; no reader holds it across a host
// call, so a close never waits for long.
#include "protocol/receivers.h"

#include <cstring>
#include <mutex>

#include "core/host_services.h"
#include "core/protocol_state.h"

namespace {

std::mutex receiver_mutex;
std::atomic<uint32_t> generation_count{0};

// The lock is held by the caller.
int copy_locked(NetlibPacketRecver* record, BYTE* out, uint32_t capacity) {
  // The record's figures come from the host: out of range they are taken as "nothing here".
  int64_t available = record->bytes_available;
  if (available < 0 || record->buffer == nullptr || record->buffer_size <= 0) available = 0;
  if (available > record->buffer_size) available = record->buffer_size;
  int64_t used = record->bytes_used;
  if (used < 0 || used > available) used = available;
  record->bytes_used = static_cast<int>(used);
  int64_t length = available - used;
  if (length > capacity) length = capacity;
  if (length > 0) memcpy(out, record->buffer + used, static_cast<size_t>(length));
  return static_cast<int>(length);
}

}  // namespace

uint32_t receiver_generation() { return generation_count.load(); }

HANDLE session_receiver_current(uint32_t* generation) {
  std::lock_guard lock(receiver_mutex);
  *generation = generation_count.load();
  return protocol_state.packet_receiver.load();
}

void session_receiver_store(HANDLE receiver) {
  std::lock_guard lock(receiver_mutex);
  protocol_state.packet_receiver = receiver;
  ++generation_count;
}

HANDLE session_receiver_take() {
  std::lock_guard lock(receiver_mutex);
  HANDLE receiver = protocol_state.packet_receiver.exchange(nullptr);
  if (receiver != nullptr) ++generation_count;
  return receiver;
}

HANDLE receiver_take(std::atomic<HANDLE>& field) {
  std::lock_guard lock(receiver_mutex);
  return field.exchange(nullptr);
}

void receiver_close(HANDLE receiver) {
  if (receiver == nullptr) return;
  std::lock_guard lock(receiver_mutex);
  close_handle(receiver);
}

int receiver_copy_delivery(const std::atomic<HANDLE>& field, HANDLE receiver, NetlibPacketRecver* record,
                           BYTE* out, uint32_t capacity) {
  std::lock_guard lock(receiver_mutex);
  if (field.load() != receiver) return -1;
  return copy_locked(record, out, capacity);
}

int session_copy_delivery(HANDLE receiver, uint32_t generation, NetlibPacketRecver* record, BYTE* out,
                          uint32_t capacity) {
  std::lock_guard lock(receiver_mutex);
  if (protocol_state.packet_receiver.load() != receiver || generation_count.load() != generation) return -1;
  return copy_locked(record, out, capacity);
}
