// MRIM packets: building headers, appending and reading UL and LPS body items, and sequence
// numbers. Pure: nothing here touches a connection or the host.
//
// Every access to header or body goes through memcpy or the packed MrimPacket, since a packet
// being read may sit at any byte offset of the receiver's buffer.
#include "protocol/codec.h"

#include <cstring>

#include "core/protocol_state.h"

namespace {

// Room left in the body area after dlen. A dlen beyond the capacity (a damaged buffer) leaves
// no room at all rather than wrapping round.
uint32_t body_room(const MrimPacket* packet) {
  uint32_t dlen = packet->dlen;
  return dlen >= MRIM_BODY_CAPACITY ? 0 : MRIM_BODY_CAPACITY - dlen;
}

// The readable end of the body: dlen, since every packet read is whole (the listener hands
// over 44 + dlen bytes, a reply queue copy cuts dlen to what it copied), but never past the
// largest packet the listener takes.
uint32_t body_end(const MrimPacket* packet) {
  uint32_t dlen = packet->dlen;
  return dlen > MRIM_LARGEST_BODY ? MRIM_LARGEST_BODY : dlen;
}

// Body bytes from the packet's start rather than through the body array: a received packet may
// be longer than the array declares.
const BYTE* body_at(const MrimPacket* packet, uint32_t position) {
  return reinterpret_cast<const BYTE*>(packet) + MRIM_HEADER_SIZE + position;
}

}  // namespace

// One atomic step, so no two threads ever get the same number; unsigned arithmetic wraps
// 0xFFFFFFFF to 0 with no special case.
uint32_t mrim_next_seq() { return protocol_state.last_seq.fetch_add(1) + 1; }

void mrim_packet_init(MrimPacket* packet, uint32_t msg, uint32_t seq) {
  packet->magic = MRIM_MAGIC;
  packet->proto = protocol_state.wire_revision;
  packet->seq = seq;
  packet->msg = msg;
  packet->dlen = 0;
  packet->from = 0;
  packet->fromport = 0;
  memset(packet->reserved, 0, sizeof packet->reserved);
}

// An item that does not fit is refused whole: a half-written item would put the body out of
// step with what the server expects, and every packet the plug-in builds fits by far.
int mrim_append_ul(MrimPacket* packet, uint32_t value) {
  if (body_room(packet) < 4) return 1;
  uint32_t dlen = packet->dlen;
  memcpy(packet->body + dlen, &value, 4);
  packet->dlen = dlen + 4;
  return 0;
}

int mrim_append_lps(MrimPacket* packet, const char* text) {
  return mrim_append_lps_bytes(packet, text, strlen(text));
}

int mrim_append_lps_bytes(MrimPacket* packet, const void* text, size_t length) {
  uint32_t room = body_room(packet);
  if (room < 4 || length > room - 4) return 1;
  uint32_t count = static_cast<uint32_t>(length);
  uint32_t dlen = packet->dlen;
  memcpy(packet->body + dlen, &count, 4);
  memcpy(packet->body + dlen + 4, text, length);
  packet->dlen = dlen + 4 + count;
  return 0;
}

// An item that starts inside the body but would run past its end is reported as missing, with
// nothing consumed: reading on would only mistake bytes outside the packet for data.
int mrim_read_ul(uint32_t* position, const MrimPacket* packet, uint32_t* out) {
  uint32_t end = body_end(packet);
  uint32_t start = *position;
  if (start >= end || end - start < 4) return 1;
  memcpy(out, body_at(packet, start), 4);
  *position = start + 4;
  return 0;
}

// A text longer than the caller's buffer keeps its first out_size - 1 bytes; the whole item is
// consumed so that the next read finds the next item. out_size 0 skips the item and writes
// nothing.
int mrim_read_lps(uint32_t* position, const MrimPacket* packet, char* out_text, uint32_t out_size) {
  const BYTE* data = nullptr;
  uint32_t count = 0;
  if (mrim_read_lps_view(position, packet, &data, &count) != 0) return 1;
  if (out_size > 0) {
    uint32_t kept = count < out_size - 1 ? count : out_size - 1;
    memcpy(out_text, data, kept);
    out_text[kept] = '\0';
  }
  return 0;
}

int mrim_read_lps_view(uint32_t* position, const MrimPacket* packet, const BYTE** data, uint32_t* length) {
  uint32_t end = body_end(packet);
  uint32_t start = *position;
  if (start >= end || end - start < 4) return 1;
  uint32_t count = 0;
  memcpy(&count, body_at(packet, start), 4);
  if (count > end - start - 4) return 1;
  *data = body_at(packet, start + 4);
  *length = count;
  *position = start + 4 + count;
  return 0;
}
