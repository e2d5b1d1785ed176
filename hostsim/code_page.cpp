// Code page 1251 <-> UTF-8 (see code_page.h).
#include "hostsim/code_page.h"

#include <cstdint>

namespace hostsim {

namespace {

// Bytes 0x80..0xBF; 0xC0..0xFF are U+0410..U+044F in order. 0 marks 0x98, which has none.
constexpr char32_t kHigh[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0,      0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
};

char32_t character_of(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return 0x0410 + (byte - 0xC0);
  char32_t c = kHigh[byte - 0x80];
  return c ? c : 0xFFFD;
}

// The byte for a character, or 0 when the code page lacks it.
unsigned char byte_of(char32_t c) {
  if (c < 0x80) return static_cast<unsigned char>(c);
  if (c >= 0x0410 && c <= 0x044F) return static_cast<unsigned char>(0xC0 + (c - 0x0410));
  for (unsigned i = 0; i < 64; ++i)
    if (kHigh[i] == c) return static_cast<unsigned char>(0x80 + i);
  return 0;
}

// Decodes the character at `pos`; false (and `pos` unmoved) for a byte that starts no valid
// sequence.
bool next_character(const std::string& text, size_t& pos, char32_t& c) {
  auto lead = static_cast<unsigned char>(text[pos]);
  size_t length;
  char32_t least;
  if (lead < 0x80) {
    c = lead;
    ++pos;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, least = 0x80, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, least = 0x800, c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, least = 0x10000, c = lead & 0x07;
  } else {
    return false;
  }
  if (pos + length > text.size()) return false;
  for (size_t k = 1; k < length; ++k) {
    auto next = static_cast<unsigned char>(text[pos + k]);
    if ((next & 0xC0) != 0x80) return false;
    c = (c << 6) | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  pos += length;
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool is_utf8(const std::string& text) {
  char32_t c;
  for (size_t pos = 0; pos < text.size();)
    if (!next_character(text, pos, c)) return false;
  return true;
}

std::string utf8_to_ansi(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  char32_t c;
  for (size_t pos = 0; pos < utf8.size();) {
    if (!next_character(utf8, pos, c)) {
      out += '?';
      ++pos;
      continue;
    }
    unsigned char byte = byte_of(c);
    out += byte || c == 0 ? static_cast<char>(byte) : '?';
  }
  return out;
}

std::string ansi_to_utf8(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size() * 2);
  // Every character of the code page lies below U+10000: three bytes at most.
  for (char byte : ansi) append_utf8(out, character_of(static_cast<unsigned char>(byte)));
  return out;
}

}  // namespace hostsim
