// Conversions between the three text encodings the plug-in meets: the host's (code page 1251 on
// older hosts, UTF-8 from HOST_VERSION_UTF8 on), the wire's single-byte texts (code page 1251)
// and the Unicode session's texts (UTF-16LE). Pure functions of their arguments.
//
// Each writes at most out_size bytes, never cuts a character in two, and returns the bytes
// written. The texts for the host (UTF-8, 1251) are NUL-terminated within out_size (out_size
// 0 writes nothing); UTF-16LE output is not terminated, since the wire counts its bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The code page 1251 byte of a Unicode character; "?" for a character that has none.
char cp1251_from_unicode(uint32_t character);

size_t utf8_from_cp1251(const char* text, size_t length, char* out, size_t out_size);
// A malformed, overlong or cut sequence, and every stray byte, becomes one "?", as does a
// character 1251 lacks.
size_t cp1251_from_utf8(const char* text, size_t length, char* out, size_t out_size);
// A lone surrogate becomes U+FFFD; an odd last byte is dropped; a byte-order mark at the start
// is skipped.
size_t utf8_from_utf16le(const uint8_t* text, size_t length, char* out, size_t out_size);
// Malformed UTF-8 becomes U+FFFD, one per stray byte.
size_t utf16le_from_utf8(const char* text, size_t length, uint8_t* out, size_t out_size);
// Code page 1251 into UTF-16LE (the byte 0x98, which the code page leaves unassigned, gives "?").
size_t utf16le_from_cp1251(const char* text, size_t length, uint8_t* out, size_t out_size);
// UTF-16LE into code page 1251: the same as decoding it and taking each character's byte.
size_t cp1251_from_utf16le(const uint8_t* text, size_t length, char* out, size_t out_size);

// UTF-8 text re-encoded: malformed bytes become U+FFFD, one per stray byte; a byte-order mark
// at the start is skipped.
size_t utf8_from_utf8(const char* text, size_t length, char* out, size_t out_size);

// True when text[0, length) is well-formed UTF-8.
bool is_utf8(const char* text, size_t length);
