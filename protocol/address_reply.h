// The address service's one line, "host:port", read as the connect thread and the listener
// (a late line, see late_address.h) both take it.
#pragma once

#include <cstddef>

// The most of a reply that is read, and the longest "host:port" kept, with its terminator.
constexpr int MRIM_ADDRESS_RECEIVER_SIZE = 100;
constexpr size_t MRIM_SERVER_ADDRESS_SIZE = 128;

// The address service's reply as the receiver holds it, made a text: at most
// MRIM_ADDRESS_RECEIVER_SIZE of the available bytes (none without a buffer or with a negative
// count), then a NUL. reply holds MRIM_ADDRESS_RECEIVER_SIZE + 1 bytes.
void mrim_address_reply_text(const char* buffer, int available, char* reply);
// The address service's reply: 0 when it names a server, "host:port" with a port from 1 to
// 65535 ended by CR, LF or the end of the reply, with "host:port" written to out (out_size
// bytes, always terminated); 1 when the fallback is to be used (out untouched).
int mrim_parse_address_reply(const char* reply, char* out, size_t out_size);
