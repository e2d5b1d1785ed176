// The host name of the MRIM server the account last reached, for the network's side services
// that live beside it (the picture service). Read on any thread; written by the connect thread.
#pragma once

#include <cstddef>

// Remembers the host the connect thread dialled for a session.
void session_server_host_set(const char* host);
// The remembered host in out (empty when no session has been reached since Load).
void session_server_host(char* out, size_t out_size);
