// The console's texts are UTF-8 (terminal, JSON); the plug-in's are single-byte code page 1251,
// passed to and from the server byte for byte. Every text crosses here on its way between them.
#pragma once

#include <string>

namespace console {

// Characters that code page 1251 cannot hold become "?"; bytes that are no UTF-8 as well.
std::string to_cp1251(const std::string& utf8);
// Every byte has a meaning except 0x98, which becomes U+FFFD.
std::string from_cp1251(const std::string& cp1251);

// UTF-8 and wide characters (the line editor's); bytes that are no UTF-8 become U+FFFD.
std::wstring wide_from_utf8(const std::string& text);
std::string utf8_from_wide(const std::wstring& text);
// For comparing names letter case aside, whatever the C library's locale: Latin, Greek and
// Cyrillic capitals become small.
std::string fold_case(const std::string& utf8);

}  // namespace console
