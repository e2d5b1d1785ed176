// Text encodings of the MRIM server stand-in. Inside the server every text is UTF-8; on the wire
// a text is code page 1251, or UTF-16LE toward and from sessions of revision 1.16 and later.
// These are the stand-in's own conversions (it shares no code with the plug-in), pure functions
// that any test or tool may call.
//
// UTF-8 is read leniently: a byte that begins no well-formed UTF-8 character stands for its
// character in code page 1251. Texts written for the days when the stand-in kept 1251 (accounts
// files with \xHH escapes, older tests) therefore still come out as they were meant; a 1251 text
// that happens to be well-formed UTF-8 as well is read as UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace serversim {

// Code page 1251 to UTF-8; 0x98, the one byte without a character, becomes "?".
std::string cp1251_to_utf8(std::string_view cp1251);
// UTF-8 to code page 1251; a character the code page lacks becomes "?".
std::string utf8_to_cp1251(std::string_view utf8);
// UTF-8 to UTF-16LE (characters beyond U+FFFF as surrogate pairs).
std::string utf8_to_utf16le(std::string_view utf8);
// UTF-16LE to UTF-8; an unpaired surrogate, or a lone last byte, becomes U+FFFD.
std::string utf16le_to_utf8(std::string_view utf16);
// Well-formed UTF-8 of the text as read above (useful to compare stored texts).
std::string clean_utf8(std::string_view utf8);

// A text for the wire: UTF-16LE toward a Unicode session, else code page 1251.
std::string to_wire(std::string_view utf8, bool unicode);
// A text from the wire. From a Unicode session it is UTF-16LE, unless its length is odd: no
// UTF-16 has that, and servers read such a text as code page 1251, as this one does.
std::string from_wire(std::string_view bytes, bool unicode);

// At most `count` characters of the text (never part of one).
std::string first_characters(std::string_view utf8, size_t count);
// At most `count` UTF-16 units of the text: a character that would not fit whole, a surrogate
// pair cut in two, is left out with the rest.
std::string first_utf16_units(std::string_view utf8, size_t count);
// Whether code page 1251 has every character of the text (so that nothing becomes "?").
bool fits_cp1251(std::string_view utf8);

}  // namespace serversim
