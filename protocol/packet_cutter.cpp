// Cutting a byte stream into whole MRIM packets (see packet_cutter.h). Reads only inside
// bytes[0, length), whatever the header fields say.
#include "protocol/packet_cutter.h"

#include <cstddef>
#include <cstring>

#include "core/log.h"

uint32_t cut_packets(const BYTE* bytes, uint32_t length, uint32_t longest, PacketSink sink, void* context,
                     bool* stopped) {
  *stopped = false;
  uint32_t used = 0;
  for (;;) {
    const uint32_t unconsumed = length - used;
    if (unconsumed < MRIM_HEADER_SIZE) {
      mrim_log("ListenThread: no available data\n");
      return used;
    }
    const BYTE* start = bytes + used;
    uint32_t magic = 0;
    memcpy(&magic, start + offsetof(MrimPacket, magic), sizeof magic);
    if (magic != MRIM_MAGIC) {
      mrim_log("ListenThread: packet error! no magic\n");
      used = length;
      continue;
    }
    mrim_log("ListenThread: packet magic OK\n");
    uint32_t dlen = 0;
    memcpy(&dlen, start + offsetof(MrimPacket, dlen), sizeof dlen);
    const uint64_t total = MRIM_HEADER_SIZE + static_cast<uint64_t>(dlen);
    if (total > longest) {
      mrim_log("ListenThread: packet error! dlen(%lu) too long for the receiver, data discarded\n",
               static_cast<unsigned long>(dlen));
      used = length;
      continue;
    }
    if (unconsumed < total) {
      mrim_log("ListenThread: packet is not complete. waiting for more blocks.\n");
      return used;
    }
    used += static_cast<uint32_t>(total);
    if (!sink(reinterpret_cast<const MrimPacket*>(start), context)) {
      *stopped = true;
      return used;
    }
  }
}
