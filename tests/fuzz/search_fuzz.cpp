// libFuzzer target over the search reply: every input is the body of a directory reply, in a
// packet buffer exactly as long as the packet, read as the search thread reads it, into a
// scratch text exactly as long as the search job's, so that a read past the body or a write
// past the scratch text is reported.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contacts/list_editing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > MRIM_BODY_CAPACITY) return 0;  // the receiver never delivers more
  auto* bytes = static_cast<BYTE*>(malloc(MRIM_HEADER_SIZE + size));
  auto* packet = reinterpret_cast<MrimPacket*>(bytes);
  mrim_packet_init(packet, MRIM_CS_DIRECTORY_INFO, 1);
  packet->dlen = static_cast<uint32_t>(size);
  memcpy(bytes + MRIM_HEADER_SIZE, data, size);
  auto* scratch = static_cast<char*>(malloc(SEARCH_SCRATCH_SIZE));
  bool found = mrim_search_reply_found(packet, scratch, SEARCH_SCRATCH_SIZE);
  // Found is the first word being the found status, whatever follows it.
  uint32_t status = 0;
  if (size >= 4) memcpy(&status, data, 4);
  if (found != (size >= 4 && status == MRIM_DIRECTORY_FOUND)) abort();
  free(scratch);
  free(bytes);
  return 0;
}
