// Cutting the server's byte stream into packets, without any I/O: given the bytes not yet
// consumed, the framer says whether they begin with a whole packet, need more bytes, or are to
// be skipped. It knows nothing of the host, its receiver or sockets; the listener feeds it.
#pragma once

#include <cstddef>
#include <cstdint>

enum MrimFrameKind {
  MRIM_FRAME_NEED_MORE,  // not yet a whole header, or a packet whose body has not all arrived
  MRIM_FRAME_PACKET,     // a whole packet of length bytes starts at the data
  MRIM_FRAME_SKIP,       // drop length bytes: the stream is out of step here
};

enum MrimSkipReason {
  MRIM_SKIP_NONE,
  MRIM_SKIP_NO_MAGIC,  // the bytes do not start with a header
  MRIM_SKIP_TOO_LONG,  // a header whose packet is longer than the caller can hold
};

struct MrimFrame {
  MrimFrameKind kind = MRIM_FRAME_NEED_MORE;
  // PACKET: the packet's bytes, header included. SKIP: the bytes to drop, never more than
  // were available.
  uint64_t length = 0;
  MrimSkipReason reason = MRIM_SKIP_NONE;
  // PACKET and TOO_LONG: the header's body length, and the bytes the whole packet takes.
  uint32_t dlen = 0;
  uint64_t declared_length = 0;
};

// Looks at available bytes at data; longest is the largest packet the caller can take whole
// (its buffer). A packet longer than that is skipped with everything available, as are bytes
// without the magic: a stream out of step finds its boundaries again when a later delivery
// begins with a packet. The declared length is reported so that a caller with a way to carry a
// skip across deliveries could drop exactly the oversized packet instead, and longest is the
// caller's, so packets beyond 64 KiB need only a larger buffer.
MrimFrame mrim_frame_next(const uint8_t* data, size_t available, uint64_t longest);
