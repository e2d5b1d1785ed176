// Long messages in parts (see message_parts.h).
#include "contacts/message_parts.h"

namespace {

// The bytes of the character that starts with `lead`, as far as the text goes; a stray byte
// alone. Continuation bytes are not checked: a broken character is cut whole all the same.
size_t character_bytes(unsigned char lead, size_t left) {
  size_t bytes = 1;
  if (lead >= 0xF0 && lead <= 0xF7) {
    bytes = 4;
  } else if (lead >= 0xE0) {
    bytes = lead <= 0xEF ? 3 : 1;
  } else if (lead >= 0xC0) {
    bytes = 2;
  }
  return bytes <= left ? bytes : left;
}

}  // namespace

size_t mrim_message_part_length(const char* text, size_t length, size_t units) {
  size_t position = 0;
  size_t used = 0;
  size_t last_break = 0;
  while (position < length) {
    const auto lead = static_cast<unsigned char>(text[position]);
    const size_t bytes = character_bytes(lead, length - position);
    const size_t character_units = bytes == 4 ? 2 : 1;  // beyond the basic plane: a pair
    if (used + character_units > units) break;
    used += character_units;
    position += bytes;
    if (lead == ' ' || lead == '\n') last_break = position;
  }
  if (position == length) return length;
  if (last_break > 0) return last_break;
  // Not even one character fits a limit that small: it goes alone rather than never.
  return position > 0 ? position : character_bytes(static_cast<unsigned char>(text[0]), length);
}

int mrim_message_part_count(const char* text, size_t length, size_t units) {
  int count = 1;
  size_t part = mrim_message_part_length(text, length, units);
  while (part < length) {
    text += part;
    length -= part;
    part = mrim_message_part_length(text, length, units);
    ++count;
  }
  return count;
}
