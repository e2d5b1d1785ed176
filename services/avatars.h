// Contacts' pictures from the network's picture service: where they come from (the account's
// "AvatarServer": "host:port", empty for the MRIM server's host on port 8081, "off" for none),
// the host's "/GetAvatarInformation", the fetch queue and its pacing, and the host's avatar
// acknowledgement for every new or changed picture.
//
// At most AVATAR_FETCHES_AT_ONCE fetches run at a time, on threads of their own, so a list of
// ten thousand opens no more connections at log-in than that. What the host asks for (the
// contacts it shows) goes to the front of the queue; contacts that come online, to its back.
// Neither the listener nor a host thread ever waits for the network here.
#pragma once

#include <cstdint>

#include "host/host_api.h"

constexpr int AVATAR_FETCHES_AT_ONCE = 2;
// How long "no picture" is believed, and how long a picture is when its answer gave no age.
constexpr uint32_t AVATAR_ABSENT_SECONDS = 24 * 60 * 60;
constexpr uint32_t AVATAR_DEFAULT_MAX_AGE = 7 * 24 * 60 * 60;
constexpr WORD AVATAR_DEFAULT_PORT = 8081;

// Load: nothing queued, nothing seen.
void avatars_reset();

// "/GetAvatarInformation": wParam GAIF_* flags, lParam an AvatarInformation whose size and
// contact the host filled. GAIR_SUCCESS from the cache at once, GAIR_WAITFOR when a fetch was
// queued (an ACKTYPE_AVATAR follows), GAIR_NOAVATAR otherwise.
INT_PTR avatars_get_information(WPARAM flags, LPARAM information);

// A contact was seen online. The first time in a session its picture is fetched, unless the
// cache holds a fresh one. Cheap enough for the listener to call for every contact of a list.
void avatars_contact_online(HANDLE contact);

// While held, fetches are queued but none starts; released, they start. The listener holds them
// while it applies the server's list.
void avatars_hold(bool hold);

// Unload: drops the queue and cuts every fetch's wait short.
void avatars_wake_all();

// Where the pictures come from, as the account says now: false when avatars are off, or no
// server can be named (no "AvatarServer", and no MRIM server reached yet), or the setting is no
// usable "host[:port]".
bool avatars_server(char* host, size_t host_size, WORD* port);

// The path of a contact's picture on the service ("/<first label of the domain>/<login>/
// _mrimavatar"); false for an address that is no plain e-mail address.
bool avatars_request_path(const char* address, char* out, size_t out_size);
