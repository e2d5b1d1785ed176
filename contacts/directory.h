// The directory request, shared by the e-mail search and the contact details: asking the
// server's directory about one address, and the header of its reply.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// Sends the MRIM_CS_DIRECTORY_REQUEST built in packet and waits for MRIM_CS_DIRECTORY_INFO in
// the same buffer (received with capacity bytes). 0 when that reply came (whatever it says), 1
// otherwise. Log lines start with caller.
int mrim_directory_exchange(MrimPacket* packet, const char* caller, uint32_t capacity);

// Whether a value of a Unicode session's reply is UTF-16LE, by its field's name: the address,
// domain, birthday, phone, zodiac and status fields stay in the code page, a few fields come
// either way (told apart by their bytes), the rest are UTF-16LE when of even length.
bool mrim_directory_value_utf16(const char* name, const BYTE* data, uint32_t length);

// Builds MRIM_CS_DIRECTORY_REQUEST for user@domain in packet, sends it and waits for
// MRIM_CS_DIRECTORY_INFO in the same buffer (received with capacity bytes). Log lines start
// with caller. 0 when that reply came (whatever it says), 1 otherwise (the request does not
// fit, was not sent, no reply in time, another code). A reply of nobody found is asked for once
// more (see directory.cpp).
int mrim_directory_request(MrimPacket* packet, const char* caller, const char* user, const char* domain,
                           uint32_t capacity);

enum MrimDirectoryHeader {
  MRIM_DIRECTORY_NOT_FOUND,  // the status says not found, or there is no status
  MRIM_DIRECTORY_FOUND_CUT,  // found, but the reply ends inside the header
  MRIM_DIRECTORY_HEADER,     // found, with the whole header: the field names follow
};
// The reply's header: its status, the field count and two numbers nobody uses. With the whole
// header, *position points at the field names. Reads only within the packet's dlen.
MrimDirectoryHeader mrim_directory_reply_header(const MrimPacket* reply, uint32_t* position,
                                                uint32_t* field_count);
