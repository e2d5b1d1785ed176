// The plug-in's own texts ("host text"): UTF-8 for hosts that take it, code page 1251 for older
// ones, so that every setting, event and dialog gets what its host reads. Texts come in from
// the wire and the host in other forms and go out in others; these are the two crossings.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TextForm { cp1251, utf16le, utf8 };

// text[0, length), in form, as host text in out (NUL-terminated within out_size, cut at a
// character's end). Returns the bytes written.
size_t host_text_from(const void* text, size_t length, TextForm form, char* out, size_t out_size);

// Host text as form (cp1251 or utf16le) in out; characters 1251 lacks become "?". Returns the
// bytes of the text, which is not terminated (a terminator may follow it within out_size).
size_t host_text_to(const char* text, size_t length, TextForm form, uint8_t* out, size_t out_size);

// How many of the first length bytes of a host text fit in capacity bytes (at least 1) with a
// NUL after them, cut at a character's end.
size_t host_text_fit(const char* text, size_t length, size_t capacity);

// An out_size with which host_text_to keeps a host text of length bytes whole.
size_t host_text_to_room(size_t length, TextForm form);
