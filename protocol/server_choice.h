// Which address service the connect sequence asks: the account's "Server" and "Port" settings,
// with the build's default (cmake/server.cmake) for whichever of the two is empty or missing.
#pragma once

#include <cstddef>

#include "host/host_api.h"

// Deployment values, set when the plug-in is built (cmake/server.cmake): the address service
// that names the MRIM server to use, and the server dialled when that service cannot be reached
// or gives no usable answer. The account's "Server" and "Port" settings take the place of the
// address service's; tests and tools point either at local servers.
#if !defined(MRIM_DEFAULT_SERVER_HOST) || !defined(MRIM_DEFAULT_PORT) || !defined(MRIM_FALLBACK_SERVER_HOST)
#error "the default server comes from the build (cmake/server.cmake)"
#endif
constexpr WORD MRIM_DEFAULT_SERVER_PORT = MRIM_DEFAULT_PORT;
#define MRIM_FALLBACK_SERVER_ADDRESS MRIM_FALLBACK_SERVER_HOST ":443"

// The longest host name the account may name (the limit of a name in the domain system).
constexpr size_t MRIM_HOST_NAME_MAX = 255;

// A host name the account may name: 1 to 255 characters, none of them a blank or a control
// character.
bool mrim_server_name_acceptable(const char* name);

// The address service to ask: host (host_size bytes, always terminated; at least
// MRIM_HOST_NAME_MAX + 1 to hold any name) and port. A stored "Server" that is not acceptable,
// and a stored "Port" of 0 or beyond 65535, count as empty: the build's default is used.
void mrim_address_service(char* host, size_t host_size, WORD* port);
