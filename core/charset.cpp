// Text conversions by hand: the plug-in links nothing but the system's own libraries, and the
// code page's table is the system's (on Linux the platform layer's).
#include "core/charset.h"

#include "platform/win32.h"

namespace {

constexpr UINT kCodePage1251 = 1251;
constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kInvalid = 0xFFFFFFFF;

bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The next character of UTF-8 text at *i, which moves past it; kInvalid for a malformed,
// overlong or cut sequence, surrogates and values beyond U+10FFFF.
uint32_t next_utf8(const char* text, size_t length, size_t* i) {
  auto byte = [text](size_t at) { return static_cast<unsigned char>(text[at]); };
  unsigned char lead = byte(*i);
  if (lead < 0x80) {
    ++*i;
    return lead;
  }
  size_t extra = lead >= 0xF0 && lead <= 0xF4   ? 3
                 : lead >= 0xE0 && lead <= 0xEF ? 2
                 : lead >= 0xC2 && lead <= 0xDF ? 1
                                                : 0;
  if (extra == 0 || length - *i <= extra) {
    ++*i;
    return kInvalid;
  }
  uint32_t value = lead & (0x3F >> extra);
  for (size_t k = 1; k <= extra; ++k) {
    unsigned char next = byte(*i + k);
    if ((next & 0xC0) != 0x80) {
      ++*i;
      return kInvalid;
    }
    value = (value << 6) | (next & 0x3F);
  }
  // A well-formed sequence of a value no character may take (overlong, a surrogate, beyond
  // U+10FFFF) is one bad character, not several.
  *i += extra + 1;
  static constexpr uint32_t kSmallest[4] = {0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[extra] || value > 0x10FFFF || is_surrogate(value)) return kInvalid;
  return value;
}

// The next character of UTF-16LE text at *i (a whole unit pair or unit), moving past it; a lone
// surrogate gives U+FFFD. The caller ensures two bytes are left.
uint32_t next_utf16(const uint8_t* text, size_t length, size_t* i) {
  uint32_t unit = text[*i] | (text[*i + 1] << 8);
  *i += 2;
  if (unit >= 0xD800 && unit <= 0xDBFF && length - *i >= 2) {
    uint32_t low = text[*i] | (text[*i + 1] << 8);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      *i += 2;
      return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return is_surrogate(unit) ? kReplacement : unit;
}

// 3 when the text starts with UTF-8's byte-order mark, which carries no character.
size_t utf8_mark_length(const char* text, size_t length) {
  auto byte = [text](size_t at) { return static_cast<unsigned char>(text[at]); };
  return length >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF ? 3 : 0;
}

uint32_t unicode_from_cp1251(char byte) {
  WCHAR wide = 0;
  return MultiByteToWideChar(kCodePage1251, 0, &byte, 1, &wide, 1) == 1 ? wide : '?';
}

// Appends the UTF-8 form of character at out[*used], keeping room for the NUL; false when it
// does not fit (nothing is written).
bool put_utf8(uint32_t c, char* out, size_t out_size, size_t* used) {
  char bytes[4];
  size_t count = 0;
  if (c < 0x80) {
    bytes[count++] = static_cast<char>(c);
  } else if (c < 0x800) {
    bytes[count++] = static_cast<char>(0xC0 | (c >> 6));
    bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    bytes[count++] = static_cast<char>(0xE0 | (c >> 12));
    bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    bytes[count++] = static_cast<char>(0xF0 | (c >> 18));
    bytes[count++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
  }
  if (out_size - *used <= count) return false;
  for (size_t k = 0; k < count; ++k) out[(*used)++] = bytes[k];
  return true;
}

bool put_utf16(uint32_t c, uint8_t* out, size_t out_size, size_t* used) {
  size_t count = c >= 0x10000 ? 4 : 2;
  if (out_size - *used < count) return false;
  auto put_unit = [&](uint32_t unit) {
    out[(*used)++] = static_cast<uint8_t>(unit & 0xFF);
    out[(*used)++] = static_cast<uint8_t>(unit >> 8);
  };
  if (c >= 0x10000) {
    put_unit(0xD800 + ((c - 0x10000) >> 10));
    put_unit(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    put_unit(c);
  }
  return true;
}

}  // namespace

// Best fit is off, so a character without its own byte becomes "?" rather than a look-alike
// letter; the C1 controls U+0080 to U+009F, which Windows carries through unassigned bytes, have
// no byte here either.
char cp1251_from_unicode(uint32_t character) {
  if (character < 0x80) return static_cast<char>(character);
  if (character <= 0x9F || character > 0xFFFF || is_surrogate(character)) return '?';
  const WCHAR wide = static_cast<WCHAR>(character);
  char byte = '?';
  BOOL used_default = 0;
  int written =
      WideCharToMultiByte(kCodePage1251, WC_NO_BEST_FIT_CHARS, &wide, 1, &byte, 1, "?", &used_default);
  return written == 1 && !used_default ? byte : '?';
}

size_t utf8_from_cp1251(const char* text, size_t length, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  size_t used = 0;
  for (size_t i = 0; i < length && put_utf8(unicode_from_cp1251(text[i]), out, out_size, &used); ++i) {
  }
  out[used] = '\0';
  return used;
}

size_t cp1251_from_utf8(const char* text, size_t length, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  size_t used = 0;
  size_t i = utf8_mark_length(text, length);
  while (i < length && used + 1 < out_size) {
    uint32_t c = next_utf8(text, length, &i);
    out[used++] = c == kInvalid ? '?' : cp1251_from_unicode(c);
  }
  out[used] = '\0';
  return used;
}

size_t utf8_from_utf16le(const uint8_t* text, size_t length, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  size_t used = 0;
  size_t i = length >= 2 && text[0] == 0xFF && text[1] == 0xFE ? 2 : 0;
  while (length - i >= 2 && i < length) {
    if (!put_utf8(next_utf16(text, length, &i), out, out_size, &used)) break;
  }
  out[used] = '\0';
  return used;
}

size_t utf16le_from_utf8(const char* text, size_t length, uint8_t* out, size_t out_size) {
  size_t used = 0;
  for (size_t i = 0; i < length;) {
    uint32_t c = next_utf8(text, length, &i);
    if (!put_utf16(c == kInvalid ? kReplacement : c, out, out_size, &used)) break;
  }
  return used;
}

size_t utf16le_from_cp1251(const char* text, size_t length, uint8_t* out, size_t out_size) {
  size_t used = 0;
  for (size_t i = 0; i < length && put_utf16(unicode_from_cp1251(text[i]), out, out_size, &used); ++i) {
  }
  return used;
}

size_t cp1251_from_utf16le(const uint8_t* text, size_t length, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  size_t used = 0;
  size_t i = length >= 2 && text[0] == 0xFF && text[1] == 0xFE ? 2 : 0;
  while (length - i >= 2 && i < length && used + 1 < out_size) {
    uint32_t c = next_utf16(text, length, &i);
    out[used++] = c == kReplacement ? '?' : cp1251_from_unicode(c);
  }
  out[used] = '\0';
  return used;
}

size_t utf8_from_utf8(const char* text, size_t length, char* out, size_t out_size) {
  if (out_size == 0) return 0;
  size_t used = 0;
  size_t i = utf8_mark_length(text, length);
  while (i < length) {
    uint32_t c = next_utf8(text, length, &i);
    if (!put_utf8(c == kInvalid ? kReplacement : c, out, out_size, &used)) break;
  }
  out[used] = '\0';
  return used;
}

bool is_utf8(const char* text, size_t length) {
  for (size_t i = 0; i < length;) {
    if (next_utf8(text, length, &i) == kInvalid) return false;
  }
  return true;
}
