// The events the handlers and the new-mail notifier add to the host's history, and the clock
// that stamps them.
#pragma once

#include <cstdint>

#include "host/host_api.h"

// Adds an incoming, unread event to the contact, stamped now.
void mrim_add_event(HANDLE contact, WORD event_type, const void* blob, uint32_t blob_size);

// Seconds since 1970-01-01 UTC, modulo 2^32.
uint32_t unix_time_now();
