// The directory request, shared by the e-mail search and the contact details: asking the
// server's directory about one address, and the header of its reply.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// Builds MRIM_CS_DIRECTORY_REQUEST for user@domain in packet, sends it and waits for
// MRIM_CS_DIRECTORY_INFO in the same buffer (received with capacity bytes). Log lines start
// with caller. 0 when the reply says the address was found; *position is then just after its
// status. 1 otherwise (the request does not fit, not sent, no reply, another code, not found).
int mrim_directory_request(MrimPacket* packet, const char* caller, const char* user, const char* domain,
                           uint32_t capacity, uint32_t* position);

// The reply's header after the status: the field count and two numbers nobody uses. 0 when all
// three were there (*position then points at the field names), 1 otherwise.
int mrim_directory_reply_header(const MrimPacket* packet, uint32_t* position, uint32_t* field_count);
