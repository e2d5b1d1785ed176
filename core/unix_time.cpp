// This machine's clock and the server's (see unix_time.h).
#include "core/unix_time.h"

#include "platform/win32.h"

std::atomic<int32_t> server_clock_offset{0};

uint32_t unix_time_now() {
  constexpr uint64_t kIntervalsPerSecond = 10000000;
  constexpr uint64_t kSeconds1601To1970 = 11644473600ULL;
  SYSTEMTIME now;
  GetSystemTime(&now);
  FILETIME file_time{};
  SystemTimeToFileTime(&now, &file_time);
  uint64_t intervals = (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
  // Modulo 2^32, as the event records carry it.
  return static_cast<uint32_t>(intervals / kIntervalsPerSecond - kSeconds1601To1970);
}

// The difference is taken modulo 2^32, so it is right across the wrap; a server more than 68
// years off is beyond saying.
void server_clock_heard(uint32_t server_time) {
  server_clock_offset = static_cast<int32_t>(server_time - unix_time_now());
}

uint32_t local_time_of(uint32_t server_time) {
  return server_time - static_cast<uint32_t>(server_clock_offset.load());
}
