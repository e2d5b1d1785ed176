// Base64 bodies of stored messages, decoded in place: the output is never longer than its input.
#pragma once

#include <cstddef>

// Decodes the base64 in text[0, length) into text[0, result) and returns result. Characters
// outside the alphabet (line breaks, blanks) are skipped; decoding stops at the first "=".
// A trailing group of a single character carries no whole byte and is dropped.
size_t base64_decode_in_place(char* text, size_t length);
