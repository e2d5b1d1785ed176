// Base64 and Unicode-to-code-page-1251 conversions for stored messages, in place and without
// any library: the plug-in links nothing but the system's own libraries.
#include "incoming/text_convert.h"

#include "platform/win32.h"

namespace {

constexpr UINT kCodePage1251 = 1251;

// The 6-bit value of a base64 character, or -1.
int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

}  // namespace

size_t base64_decode_in_place(char* text, size_t length) {
  size_t out = 0;
  uint32_t bits = 0;
  int bit_count = 0;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '=') break;
    int value = base64_value(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      // out stays behind i: every output byte takes at least 8 bits of input, i.e. 2 characters.
      text[out++] = static_cast<char>((bits >> bit_count) & 0xFF);
    }
  }
  return out;
}

// The code page's table is the system's (on Linux the platform layer's). Best fit is off, so a
// character without its own byte becomes "?" rather than a look-alike letter; the C1 controls
// U+0080 to U+009F, which Windows carries through unassigned bytes, have no byte here either.
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

size_t cp1251_from_utf16le_in_place(char* text, size_t length) {
  auto unit_at = [text](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(text[i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(text[i + 1])) << 8;
  };
  size_t out = 0;
  size_t i = 0;
  if (length >= 2 && unit_at(0) == 0xFEFF) i = 2;
  while (i + 1 < length) {
    uint32_t unit = unit_at(i);
    i += 2;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
      uint32_t low = unit_at(i);
      // A whole pair is a character beyond the code page's reach: one "?" for both units.
      if (low >= 0xDC00 && low <= 0xDFFF) i += 2;
      text[out++] = '?';
      continue;
    }
    text[out++] = is_surrogate(unit) ? '?' : cp1251_from_unicode(unit);
  }
  return out;
}

size_t cp1251_from_utf8_in_place(char* text, size_t length) {
  auto byte_at = [text](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t out = 0;
  size_t i = 0;
  if (length >= 3 && byte_at(0) == 0xEF && byte_at(1) == 0xBB && byte_at(2) == 0xBF) i = 3;
  while (i < length) {
    unsigned char lead = byte_at(i);
    uint32_t character;
    int needed;
    uint32_t smallest;
    if (lead < 0x80) {
      text[out++] = static_cast<char>(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      character = lead & 0x1F;
      needed = 1;
      smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      character = lead & 0x0F;
      needed = 2;
      smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      character = lead & 0x07;
      needed = 3;
      smallest = 0x10000;
    } else {
      text[out++] = '?';
      ++i;
      continue;
    }
    size_t next = i + 1;
    int taken = 0;
    while (taken < needed && next < length && (byte_at(next) & 0xC0) == 0x80) {
      character = (character << 6) | (byte_at(next) & 0x3F);
      ++next;
      ++taken;
    }
    bool valid =
        taken == needed && character >= smallest && character <= 0x10FFFF && !is_surrogate(character);
    text[out++] = valid ? cp1251_from_unicode(character) : '?';
    i = next;
  }
  return out;
}
