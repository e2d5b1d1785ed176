// Texts on the wire: which revision the session speaks, and reading and writing its texts as
// host text. A Unicode session (1.16 on) carries names, messages and status texts as UTF-16LE;
// addresses, status URIs and everything of a legacy session stay in code page 1251.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// The revision the account asks for: its "ProtocolRevision" (8, 19 or 20), else 1.8 when its
// older "LegacyProtocol" byte is set, else 1.20.
uint32_t mrim_wanted_revision();
bool mrim_session_unicode();
bool mrim_session_status_texts();
// 1.20 on: the server's clock in the greeting's answer, and microblog posts.
bool mrim_session_microblog();

// Reads an LPS text into out (out_size bytes with its NUL) as host text. utf16 says the field
// is UTF-16LE; one of odd length is read as code page 1251 all the same, since servers mark
// texts they did not convert. Failures as mrim_read_lps; a text longer than out keeps its
// first whole characters.
int mrim_read_text(uint32_t* position, const MrimPacket* packet, char* out, uint32_t out_size, bool utf16);

// Appends host text as an LPS, UTF-16LE when utf16, else code page 1251. 0, or 1 when it
// does not fit (the packet is then unchanged) or memory runs out.
int mrim_append_text(MrimPacket* packet, const char* text, bool utf16);
