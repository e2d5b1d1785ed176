// MRIM packets without any connection: the packet buffer in which packets are built and replies
// received, the body items UL and LPS, and sequence numbers. Sending is protocol/send.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host_api.h"
#include "protocol/wire.h"

// A packet exactly as it goes on the wire: the header fields, then the body area. dlen is at
// once the wire field and the append position. Packed (which changes no offset) so that a
// packet may be read in place wherever it starts in the receiver's buffer.
#pragma pack(push, 1)
struct MrimPacket {
  uint32_t magic;
  uint32_t proto;
  uint32_t seq;
  uint32_t msg;
  uint32_t dlen;
  uint32_t from;
  uint32_t fromport;
  BYTE reserved[16];
  BYTE body[MRIM_BODY_CAPACITY];
};
#pragma pack(pop)
static_assert(sizeof(MrimPacket) == MRIM_PACKET_SIZE);

// Adds one to last_seq and returns it; no two callers get the same number. Wraps to 0.
uint32_t mrim_next_seq();

// Writes a fresh header (magic, the session's revision, the given seq and code, dlen 0, zero addresses and
// reserved bytes).
void mrim_packet_init(MrimPacket* packet, uint32_t msg, uint32_t seq);

// Appends return 0, or 1 when the item would not fit the buffer; the packet is then unchanged.
int mrim_append_ul(MrimPacket* packet, uint32_t value);
int mrim_append_lps(MrimPacket* packet, const char* text);
// An LPS of length bytes as they are (a UTF-16LE text, which holds NUL bytes).
int mrim_append_lps_bytes(MrimPacket* packet, const void* text, size_t length);

// Reads return 1 when the position has reached dlen, or when the item runs past dlen; the
// position and output are then unchanged. An LPS longer than out_size - 1 is cut to fit (its
// whole length is still consumed).
int mrim_read_ul(uint32_t* position, const MrimPacket* packet, uint32_t* out);
int mrim_read_lps(uint32_t* position, const MrimPacket* packet, char* out_text, uint32_t out_size);
// The LPS's bytes where they lie in the packet (valid while the packet is), same failures.
int mrim_read_lps_view(uint32_t* position, const MrimPacket* packet, const BYTE** data, uint32_t* length);
