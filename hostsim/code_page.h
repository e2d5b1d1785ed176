// The host's system code page, which for this host is 1251 (Cyrillic): what it hands to a
// caller that asks for a text in the system's code page, and what it reads such a text as.
// A table of its own rather than the C library's iconv, which the Windows build lacks.
#pragma once

#include <string>

namespace hostsim {

// Whether the bytes are UTF-8 as a host accepts it: no overlong forms, no surrogates, nothing
// beyond U+10FFFF, no sequence cut short.
bool is_utf8(const std::string& text);
// One "?" for each character that code page 1251 lacks, and for each byte that is no UTF-8.
std::string utf8_to_ansi(const std::string& utf8);
// Every byte has a meaning but 0x98, which 1251 leaves undefined and becomes U+FFFD.
std::string ansi_to_utf8(const std::string& ansi);

}  // namespace hostsim
