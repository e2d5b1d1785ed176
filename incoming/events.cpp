// Adding events to the host's history, and their time stamps.
#include "incoming/events.h"

#include "core/host_services.h"
#include "core/protocol_state.h"

void mrim_add_event(HANDLE contact, WORD event_type, const void* blob, uint32_t blob_size) {
  EventInfo event{};
  event.size = sizeof event;
  event.module = protocol_state.module_name;
  event.timestamp = unix_time_now();
  // Every text the plug-in hands over is host text.
  event.flags = host_takes_utf8() ? DBEF_UTF8 : 0;
  event.event_type = event_type;
  event.blob_size = blob_size;
  event.blob = static_cast<BYTE*>(const_cast<void*>(blob));
  call_service(MS_DB_EVENT_ADD, reinterpret_cast<WPARAM>(contact), reinterpret_cast<LPARAM>(&event));
}

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
