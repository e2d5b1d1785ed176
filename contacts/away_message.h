// Away messages, as the host names the texts of a status: a contact's is its status title and
// description as the server last told them; ours are the account's, sent with every status.
#pragma once

#include "host/host_api.h"

// "/GetAwayMsg": lParam the host's ProtocolCall, of which the contact is read. A handle the
// away-message acknowledgement then names (never 0), or 0 when none will come: no contact, not
// ours, offline, or a session of the old protocol, whose statuses carry no texts.
INT_PTR MRIM_GetAwayMsg(WPARAM wparam, LPARAM call);
// "/SetAwayMsg": wParam a host status, lParam its text (host text; null or empty clears it).
// The account's texts change at once, and go out with the status in force. 0 on success, 1 for
// a status that carries none.
INT_PTR MRIM_SetAwayMsg(WPARAM status, LPARAM text);

// Splits an away message into a status title and description: a text that fits the title (one
// line of at most 33 characters) is the title; a first line that fits with more after it
// becomes the title and the rest the description; anything else is the description. The
// outputs hold title_size and description_size bytes and are always ended.
void mrim_split_away_message(const char* text, char* title, size_t title_size, char* description,
                             size_t description_size);
