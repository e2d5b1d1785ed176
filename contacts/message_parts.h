// Long messages in parts. Servers keep at most 5,000 UTF-16 units of a message and cut the rest
// silently while answering "delivered", so a longer text goes out as several messages, each
// whole.
#pragma once

#include <cstddef>

constexpr size_t MRIM_MESSAGE_PART_UNITS = 5000;

// The byte length of the first part of the UTF-8 text (`length` bytes, no NUL needed): all of it
// when it holds at most `units` UTF-16 units; otherwise up to and including the last space or
// line end within the limit, or, with none, as much as fits. Never inside a character, and never
// 0 for a text that is not empty. A byte that starts no UTF-8 character counts as one unit.
size_t mrim_message_part_length(const char* text, size_t length, size_t units);
// How many parts the text goes out in (1 for an empty text).
int mrim_message_part_count(const char* text, size_t length, size_t units);
