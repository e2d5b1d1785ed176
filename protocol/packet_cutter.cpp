// Cutting a byte stream into whole MRIM packets (see packet_cutter.h): the framer decides, this
// loop logs and hands over. Reads only inside bytes[0, length), whatever the header fields say.
#include "protocol/packet_cutter.h"

#include <cstddef>
#include <cstring>

#include "core/log.h"
#include "protocol/framer.h"

uint32_t cut_packets(const BYTE* bytes, uint32_t length, uint32_t longest, PacketSink sink, void* context,
                     bool* stopped, uint64_t* skip_left) {
  *stopped = false;
  uint32_t used = 0;
  for (;;) {
    const uint32_t unconsumed = length - used;
    const BYTE* start = bytes + used;
    MrimFrame frame = mrim_frame_next(start, unconsumed, longest);
    if (frame.kind == MRIM_FRAME_NEED_MORE && unconsumed < MRIM_HEADER_SIZE) {
      mrim_log("ListenThread: no available data\n");
      return used;
    }
    if (frame.kind == MRIM_FRAME_SKIP && frame.reason == MRIM_SKIP_NO_MAGIC) {
      mrim_log("ListenThread: packet error! no magic\n");
      used += static_cast<uint32_t>(frame.length);
      continue;
    }
    mrim_log("ListenThread: packet magic OK\n");
    if (frame.kind == MRIM_FRAME_SKIP && skip_left != nullptr) {
      mrim_log("ListenThread: packet of %llu bytes is over the %lu-byte limit, skipped\n",
               static_cast<unsigned long long>(frame.declared_length), static_cast<unsigned long>(longest));
      if (frame.declared_length <= unconsumed) {
        used += static_cast<uint32_t>(frame.declared_length);
        continue;
      }
      *skip_left = frame.declared_length - unconsumed;
      return length;
    }
    if (frame.kind == MRIM_FRAME_SKIP) {
      mrim_log("ListenThread: packet error! dlen(%lu) too long for the receiver, data discarded\n",
               static_cast<unsigned long>(frame.dlen));
      used += static_cast<uint32_t>(frame.length);
      continue;
    }
    if (frame.kind == MRIM_FRAME_NEED_MORE) {
      mrim_log("ListenThread: packet is not complete. waiting for more blocks.\n");
      return used;
    }
    used += static_cast<uint32_t>(frame.length);
    if (!sink(reinterpret_cast<const MrimPacket*>(start), context)) {
      *stopped = true;
      return used;
    }
  }
}
