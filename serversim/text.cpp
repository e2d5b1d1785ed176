// Text encodings of the MRIM server stand-in (see text.h). A table of its own rather than iconv:
// the results must not depend on the machine's conversion tables, and 1251 is small.
#include "serversim/text.h"

#include <cstdint>
#include <vector>

namespace serversim {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The characters of bytes 0x80 to 0xBF; 0xC0 to 0xFF are U+0410 to U+044F in order. 0x98 has
// none.
constexpr char16_t kHighHalf[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
};

char32_t cp1251_character(uint8_t byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return char32_t(0x0410 + (byte - 0xC0));
  char16_t c = kHighHalf[byte - 0x80];
  return c == 0 ? char32_t('?') : c;
}

char cp1251_byte(char32_t c) {
  if (c < 0x80) return char(c);
  if (c >= 0x0410 && c <= 0x044F) return char(0xC0 + (c - 0x0410));
  for (size_t i = 0; i < 64; ++i)
    if (kHighHalf[i] != 0 && kHighHalf[i] == c) return char(0x80 + i);
  return '?';
}

bool continuation(uint8_t byte) { return (byte & 0xC0) == 0x80; }

// The characters of a UTF-8 text, each byte that begins no well-formed character taken as 1251.
std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t b = uint8_t(text[i]);
    auto at = [&](size_t k) { return i + k < text.size() ? uint8_t(text[i + k]) : uint8_t(0); };
    size_t length = 0;
    char32_t c = 0;
    if (b < 0x80) {
      length = 1;
      c = b;
    } else if (b >= 0xC2 && b <= 0xDF && continuation(at(1))) {
      length = 2;
      c = char32_t(b & 0x1F) << 6 | (at(1) & 0x3F);
    } else if (b >= 0xE0 && b <= 0xEF && continuation(at(1)) && continuation(at(2)) &&
               !(b == 0xE0 && at(1) < 0xA0) && !(b == 0xED && at(1) > 0x9F)) {
      // Overlong forms and encoded surrogates are no characters.
      length = 3;
      c = char32_t(b & 0x0F) << 12 | char32_t(at(1) & 0x3F) << 6 | (at(2) & 0x3F);
    } else if (b >= 0xF0 && b <= 0xF4 && continuation(at(1)) && continuation(at(2)) && continuation(at(3)) &&
               !(b == 0xF0 && at(1) < 0x90) && !(b == 0xF4 && at(1) > 0x8F)) {
      length = 4;
      c = char32_t(b & 0x07) << 18 | char32_t(at(1) & 0x3F) << 12 | char32_t(at(2) & 0x3F) << 6 |
          (at(3) & 0x3F);
    } else {
      length = 1;
      c = cp1251_character(b);
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

void append_unit(std::string& out, uint32_t unit) {
  out += char(unit & 0xFF);
  out += char(unit >> 8);
}

}  // namespace

std::string cp1251_to_utf8(std::string_view cp1251) {
  std::string out;
  for (char b : cp1251) append_utf8(out, cp1251_character(uint8_t(b)));
  return out;
}

std::string utf8_to_cp1251(std::string_view utf8) {
  std::string out;
  for (char32_t c : decode_utf8(utf8)) out += cp1251_byte(c);
  return out;
}

std::string utf8_to_utf16le(std::string_view utf8) {
  std::string out;
  for (char32_t c : decode_utf8(utf8)) {
    if (c < 0x10000) {
      append_unit(out, c);
    } else {
      append_unit(out, 0xD800 + ((c - 0x10000) >> 10));
      append_unit(out, 0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return out;
}

std::string utf16le_to_utf8(std::string_view utf16) {
  std::string out;
  auto unit = [&](size_t i) { return char32_t(uint8_t(utf16[i])) | char32_t(uint8_t(utf16[i + 1])) << 8; };
  size_t i = 0;
  while (i + 1 < utf16.size()) {
    char32_t c = unit(i);
    i += 2;
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  if (i < utf16.size()) append_utf8(out, kReplacement);
  return out;
}

std::string clean_utf8(std::string_view utf8) {
  std::string out;
  for (char32_t c : decode_utf8(utf8)) append_utf8(out, c);
  return out;
}

std::string to_wire(std::string_view utf8, bool unicode) {
  return unicode ? utf8_to_utf16le(utf8) : utf8_to_cp1251(utf8);
}

std::string from_wire(std::string_view bytes, bool unicode) {
  return unicode && bytes.size() % 2 == 0 ? utf16le_to_utf8(bytes) : cp1251_to_utf8(bytes);
}

std::string first_characters(std::string_view utf8, size_t count) {
  std::string out;
  for (char32_t c : decode_utf8(utf8)) {
    if (count-- == 0) break;
    append_utf8(out, c);
  }
  return out;
}

std::string first_utf16_units(std::string_view utf8, size_t count) {
  std::string out;
  for (char32_t c : decode_utf8(utf8)) {
    const size_t units = c < 0x10000 ? 1 : 2;
    if (units > count) break;
    count -= units;
    append_utf8(out, c);
  }
  return out;
}

bool fits_cp1251(std::string_view utf8) {
  for (char32_t c : decode_utf8(utf8))
    if (c != '?' && cp1251_byte(c) == '?') return false;
  return true;
}

}  // namespace serversim
