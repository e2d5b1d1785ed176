// Base64 and Unicode-to-code-page-1251 conversions for stored messages, in place and without
// any library: the plug-in links nothing but the system's own libraries.
#include "incoming/text_convert.h"

namespace {

// Unicode characters of the code page's bytes 0x80 to 0xBF; 0 marks 0x98, which has none.
// Bytes 0xC0 to 0xFF are the 64 letters U+0410 to U+044F in order; below 0x80 the code page is
// ASCII.
const uint16_t kUpperHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
};

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

char cp1251_from_unicode(uint32_t character) {
  if (character < 0x80) return static_cast<char>(character);
  if (character >= 0x0410 && character <= 0x044F) return static_cast<char>(0xC0 + (character - 0x0410));
  for (int i = 0; i < 64; ++i) {
    if (kUpperHalf[i] != 0 && kUpperHalf[i] == character) return static_cast<char>(0x80 + i);
  }
  return '?';
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
