// The crossings between host text and the other forms, by way of core/charset.
#include "core/host_text.h"

#include "core/charset.h"
#include "core/protocol_state.h"

size_t host_text_from(const void* text, size_t length, TextForm form, char* out, size_t out_size) {
  const auto* bytes = static_cast<const char*>(text);
  const auto* units = static_cast<const uint8_t*>(text);
  if (host_takes_utf8()) {
    switch (form) {
      case TextForm::cp1251:
        return utf8_from_cp1251(bytes, length, out, out_size);
      case TextForm::utf16le:
        return utf8_from_utf16le(units, length, out, out_size);
      case TextForm::utf8:
        return utf8_from_utf8(bytes, length, out, out_size);
    }
  }
  switch (form) {
    case TextForm::utf16le:
      return cp1251_from_utf16le(units, length, out, out_size);
    case TextForm::utf8:
      return cp1251_from_utf8(bytes, length, out, out_size);
    case TextForm::cp1251:
      break;
  }
  if (out_size == 0) return 0;
  size_t kept = length < out_size - 1 ? length : out_size - 1;
  for (size_t i = 0; i < kept; ++i) out[i] = bytes[i];
  out[kept] = '\0';
  return kept;
}

size_t host_text_to(const char* text, size_t length, TextForm form, uint8_t* out, size_t out_size) {
  bool utf8 = host_takes_utf8();
  if (form == TextForm::utf16le)
    return utf8 ? utf16le_from_utf8(text, length, out, out_size)
                : utf16le_from_cp1251(text, length, out, out_size);
  if (utf8) {
    // The conversion terminates its output, which host_text_to_room leaves room for.
    return cp1251_from_utf8(text, length, reinterpret_cast<char*>(out), out_size);
  }
  size_t kept = length < out_size ? length : out_size;
  for (size_t i = 0; i < kept; ++i) out[i] = static_cast<uint8_t>(text[i]);
  return kept;
}

// UTF-16 takes at most two bytes per byte of either host form (a four-byte UTF-8 character
// becomes a surrogate pair); code page 1251 at most one, and one for a terminator.
size_t host_text_to_room(size_t length, TextForm form) {
  return form == TextForm::utf16le ? 2 * length : length + 1;
}

size_t host_text_fit(const char* text, size_t length, size_t capacity) {
  if (length < capacity) return length;
  length = capacity - 1;
  // The byte after the cut continues a character: the cut moves back to that character's start.
  while (host_takes_utf8() && length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
    --length;
  return length;
}
