// Contacts the user ignores: the server list's flag 0x10, kept in "Flags" with the server's other
// bits. The host's ignore list says it: a contact whose messages the user ignores there (the
// "Ignore" module's "Mask1" with the message bit) gets the flag on the server, and loses it when
// the user stops. An ignored contact's messages are receipted to the server and dropped, and
// its presence is not shown.
#pragma once

#include "host/host_api.h"

// The host's ignore mask of a contact: bit n for event type n + 1; messages are type 1.
constexpr DWORD IGNORE_MASK_MESSAGES = 0x1;

bool mrim_contact_ignored(HANDLE contact);
// The contact's "Ignore"/"Mask1" changed: the flag goes to the server when it differs from what
// the server has. 0 when nothing had to change or the server took it, 1 otherwise (the user is
// told why; the host's mask stays as the user set it, and the next change sends it again).
int mrim_ignore_changed(HANDLE contact);
