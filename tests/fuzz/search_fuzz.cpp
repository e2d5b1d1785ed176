// libFuzzer target over the search reply: every input is the body of a directory reply, in a
// packet buffer exactly as long as the packet, read as the search thread reads it (every row
// into the search's row, names and values through a scratch text exactly as long as the job's),
// so that a read past the body or a write past a text is reported.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contacts/search.h"

namespace {

void check_row(const SearchRow* row, void*) {
  // Every text ends within its field.
  if (memchr(row->address, 0, sizeof row->address) == nullptr ||
      memchr(row->nickname, 0, sizeof row->nickname) == nullptr ||
      memchr(row->location, 0, sizeof row->location) == nullptr)
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > MRIM_BODY_CAPACITY) return 0;  // the receiver never delivers more
  auto* bytes = static_cast<BYTE*>(malloc(MRIM_HEADER_SIZE + size));
  auto* packet = reinterpret_cast<MrimPacket*>(bytes);
  mrim_packet_init(packet, MRIM_CS_DIRECTORY_INFO, 1);
  packet->dlen = static_cast<uint32_t>(size);
  memcpy(bytes + MRIM_HEADER_SIZE, data, size);
  auto* scratch = static_cast<char*>(malloc(SEARCH_SCRATCH_SIZE));
  auto* row = static_cast<SearchRow*>(malloc(sizeof(SearchRow)));
  uint32_t rows = 0;
  MrimSearchOutcome outcome =
      mrim_search_reply_rows(packet, row, scratch, SEARCH_SCRATCH_SIZE, check_row, nullptr, &rows);
  // The outcome is the first word's status, whatever follows it.
  uint32_t status = 0;
  if (size >= 4) memcpy(&status, data, 4);
  MrimSearchOutcome expected = size < 4                            ? MRIM_SEARCH_NOBODY
                               : status == MRIM_DIRECTORY_FOUND    ? MRIM_SEARCH_FOUND
                               : status == MRIM_DIRECTORY_TOO_MANY ? MRIM_SEARCH_TOO_MANY
                                                                   : MRIM_SEARCH_NOBODY;
  if (outcome != expected || (outcome != MRIM_SEARCH_FOUND && rows != 0)) abort();
  free(row);
  free(scratch);
  free(bytes);
  return 0;
}
