// A busy address service's reply that came only after its port was taken for an MRIM server
// (see query_server_address): the log-in over that connection fails on it, and the server the
// line names is then dialled instead of the built-in fallback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host_api.h"

// The connect thread, before a log-in over the address service's own connection: that
// receiver's first delivery is looked at. nullptr looks at none. Forgets any earlier find.
void late_address_watch(HANDLE receiver);
// The listener, with every delivery before anything else reads it. Only the watched receiver's
// first delivery counts: the service writes its short line in one go and closes.
void late_address_offer(HANDLE receiver, const BYTE* bytes, uint32_t count);
// The connect thread, once that log-in has failed: true with "host:port" in out (out_size bytes,
// always terminated) when the delivery was an address line. Forgets the find and the watch.
bool late_address_take(char* out, size_t out_size);
