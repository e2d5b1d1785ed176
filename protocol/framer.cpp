// The packet framer: header checks on bytes in memory, nothing else.
#include "protocol/framer.h"

#include <cstddef>
#include <cstring>

#include "protocol/codec.h"

MrimFrame mrim_frame_next(const uint8_t* data, size_t available, uint64_t longest) {
  MrimFrame frame;
  if (data == nullptr || available < MRIM_HEADER_SIZE) return frame;
  uint32_t magic = 0;
  memcpy(&magic, data + offsetof(MrimPacket, magic), sizeof magic);
  if (magic != MRIM_MAGIC) {
    frame.kind = MRIM_FRAME_SKIP;
    frame.reason = MRIM_SKIP_NO_MAGIC;
    frame.length = available;
    return frame;
  }
  memcpy(&frame.dlen, data + offsetof(MrimPacket, dlen), sizeof frame.dlen);
  frame.declared_length = MRIM_HEADER_SIZE + static_cast<uint64_t>(frame.dlen);
  if (frame.declared_length > longest) {
    frame.kind = MRIM_FRAME_SKIP;
    frame.reason = MRIM_SKIP_TOO_LONG;
    frame.length = available;
    return frame;
  }
  if (available < frame.declared_length) return frame;
  frame.kind = MRIM_FRAME_PACKET;
  frame.length = frame.declared_length;
  return frame;
}
