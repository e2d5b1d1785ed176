// libFuzzer target over the listener's cutting: the input is a byte stream and the places where
// it is split into deliveries, and the packet after which the session ends (as a LOGOUT or an
// Unload ends it). Each delivery lands in a "host" buffer exactly as large as the receiver's, is
// copied out the way the listener copies it, and is cut; once the session has ended the host's
// buffer is freed and the rest of the stream must not be read from it. Every packet handed over
// is read whole, so a packet reaching past what was delivered is a read past an allocation.
//
// Input: byte 0 the number of split points (low 3 bits), then two bytes for each split point
// (an offset into the stream), then one byte: the number of packets after which the session
// ends (0: it never does). The rest is the stream.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/codec.h"
#include "protocol/packet_cutter.h"
#include "protocol/receivers.h"

namespace {

constexpr uint32_t kReceiverSize = 4096;  // small, so that over-long packets are common

struct Session {
  uint32_t packets = 0;
  uint32_t end_after = 0;
  volatile uint32_t sum = 0;
};

bool take_packet(const MrimPacket* packet, void* context) {
  auto* session = static_cast<Session*>(context);
  const auto* bytes = reinterpret_cast<const BYTE*>(packet);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < MRIM_HEADER_SIZE + packet->dlen; ++i) sum += bytes[i];
  session->sum = session->sum + sum;
  if (packet->magic != MRIM_MAGIC) abort();
  ++session->packets;
  return session->end_after == 0 || session->packets < session->end_after;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t splits = data[0] & 7;
  if (size < 2 + 2 * splits) return 0;
  std::vector<size_t> cuts;
  for (size_t i = 0; i < splits; ++i) cuts.push_back(data[1 + 2 * i] | (size_t{data[2 + 2 * i]} << 8));
  Session session;
  session.end_after = data[1 + 2 * splits];
  const uint8_t* stream = data + 2 + 2 * splits;
  const size_t length = size - 2 - 2 * splits;

  // The host's side: its buffer, how much it holds, and the receiver the listener asks.
  auto* host_buffer = static_cast<BYTE*>(malloc(kReceiverSize));
  size_t filled = 0;
  std::atomic<HANDLE> receiver_field{reinterpret_cast<HANDLE>(uintptr_t{0x4242})};
  const HANDLE receiver = receiver_field.load();
  static BYTE copy[kReceiverSize];

  size_t position = 0;
  while (position < length) {
    // The next delivery: up to the next split point after this position, as far as it fits.
    size_t end = length;
    for (size_t cut : cuts)
      if (cut > position && cut < end) end = cut;
    if (host_buffer != nullptr) {
      size_t room = kReceiverSize - filled;
      if (end - position > room) end = position + room;
      if (end == position) break;  // full, nothing consumed: the host refuses to go on
      memcpy(host_buffer + filled, stream + position, end - position);
      filled += end - position;
    }
    position = end;

    NetlibPacketRecver record{};
    record.size = sizeof record;
    record.buffer = host_buffer;
    record.buffer_size = host_buffer != nullptr ? static_cast<int>(kReceiverSize) : 0;
    record.bytes_available = static_cast<int>(filled);
    int copied = receiver_copy_delivery(receiver_field, receiver, &record, copy, sizeof copy);
    if (copied < 0) continue;  // the session is over: nothing is read from the freed buffer
    if (static_cast<size_t>(copied) > filled) abort();
    bool stopped = false;
    uint32_t consumed =
        cut_packets(copy, static_cast<uint32_t>(copied), kReceiverSize, take_packet, &session, &stopped);
    if (consumed > static_cast<uint32_t>(copied)) abort();
    if (stopped) {
      // The session ends as the dispatcher ends it: the receiver goes and its buffer with it.
      receiver_field = nullptr;
      free(host_buffer);
      host_buffer = nullptr;
      filled = 0;
      continue;
    }
    memmove(host_buffer, host_buffer + consumed, filled - consumed);
    filled -= consumed;
  }
  free(host_buffer);
  return 0;
}
