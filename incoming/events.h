// The events the handlers and the new-mail notifier add to the host's history, and the clock
// that stamps them.
#pragma once

#include <cstdint>

#include "core/unix_time.h"
#include "host/host_api.h"

// Adds an incoming, unread event to the contact, stamped now.
void mrim_add_event(HANDLE contact, WORD event_type, const void* blob, uint32_t blob_size);

// The same, stamped with a time of this machine's clock.
void mrim_add_event_at(HANDLE contact, WORD event_type, const void* blob, uint32_t blob_size,
                       uint32_t timestamp);
