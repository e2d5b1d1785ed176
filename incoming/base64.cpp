// Base64 decoding by hand: the plug-in links nothing but the system's own libraries.
#include "incoming/base64.h"

#include <cstdint>

namespace {

// The 6-bit value of a base64 character, or -1.
int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

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
