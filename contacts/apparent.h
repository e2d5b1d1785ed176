// Visibility: the contact's place on the user's visible or invisible list, kept in step between
// the server's contact flags and the host's "ApparentMode" setting.
#pragma once

#include <cstdint>

#include "host/host_api.h"

// Records the flags of a contact-list entry and the apparent mode that follows from them.
void mrim_apparent_apply(HANDLE contact, uint32_t flags);

// The "/SetApparentMode" service: lParam is the host's ProtocolCall, whose wparam is the mode
// asked for (0, 40071 or 40072). 0 when the server confirmed the change, 1 otherwise.
INT_PTR MRIM_SetApparentMode(WPARAM wparam, LPARAM call);
