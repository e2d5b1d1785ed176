// Text conversions for stored messages as servers send them today: base64 bodies, and Unicode
// text (UTF-16LE or UTF-8) brought down to code page 1251, the single-byte texts of the host.
// All of them work in place: each output is never longer than its input.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the base64 in text[0, length) into text[0, result) and returns result. Characters
// outside the alphabet (line breaks, blanks) are skipped; decoding stops at the first "=".
// A trailing group of a single character carries no whole byte and is dropped.
size_t base64_decode_in_place(char* text, size_t length);

// The code page 1251 byte of a Unicode character; "?" for a character that has none.
char cp1251_from_unicode(uint32_t character);

// Converts the UTF-16LE bytes text[0, length) into code page 1251 at text[0, result) and
// returns result. An odd last byte is dropped; a lone surrogate or a character outside the
// code page becomes "?". A byte-order mark at the start is skipped.
size_t cp1251_from_utf16le_in_place(char* text, size_t length);

// The same for UTF-8 text. A malformed, overlong or cut sequence, and every stray byte,
// becomes one "?"; a byte-order mark at the start is skipped.
size_t cp1251_from_utf8_in_place(char* text, size_t length);
