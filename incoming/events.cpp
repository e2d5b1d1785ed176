// Adding events to the host's history, and their time stamps.
#include "incoming/events.h"

#include "core/host_services.h"
#include "core/protocol_state.h"

void mrim_add_event(HANDLE contact, WORD event_type, const void* blob, uint32_t blob_size) {
  mrim_add_event_at(contact, event_type, blob, blob_size, unix_time_now());
}

void mrim_add_event_at(HANDLE contact, WORD event_type, const void* blob, uint32_t blob_size,
                       uint32_t timestamp) {
  EventInfo event{};
  event.size = sizeof event;
  event.module = protocol_state.module_name;
  event.timestamp = timestamp;
  // Every text the plug-in hands over is host text.
  event.flags = host_takes_utf8() ? DBEF_UTF8 : 0;
  event.event_type = event_type;
  event.blob_size = blob_size;
  event.blob = static_cast<BYTE*>(const_cast<void*>(blob));
  call_service(MS_DB_EVENT_ADD, reinterpret_cast<WPARAM>(contact), reinterpret_cast<LPARAM>(&event));
}
