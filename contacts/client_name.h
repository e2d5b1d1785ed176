// The program another user runs, as the server describes it with their presence: kept as the
// contact's "MirVer", the setting the host's client-icon add-ons read.
#pragma once

#include <cstddef>

#include "host/host_api.h"

// The longest name kept, in bytes with its NUL: a description longer than any client's name and
// version is cut there, at a character's end.
constexpr size_t MRIM_CLIENT_NAME_SIZE = 128;

// "NAME VERSION" of a description such as client="NAME" version="1.2" build="3" (the build is
// left out, as clients show it); a description without a client attribute (the free text of
// older clients) is taken as it stands. Empty when there is nothing to show. out_size >= 1.
void mrim_client_name(const char* description, char* out, size_t out_size);

// Stores the contact's client from a description of host text. An empty one (an offline
// contact's presence) keeps the name last seen.
void mrim_contact_set_client(HANDLE contact, const char* description);
