// The console's texts are UTF-8 (terminal, JSON). A host that takes UTF-8 passes them to the
// plug-in as they are; an older host in its code page, 1251. Every text that needs it crosses
// here on its way between them.
#pragma once

#include <string>

namespace console {

// Characters that code page 1251 cannot hold become "?"; bytes that are no UTF-8 as well.
std::string to_cp1251(const std::string& utf8);
// Every byte has a meaning except 0x98, which becomes U+FFFD.
std::string from_cp1251(const std::string& cp1251);

// UTF-8 and wide characters (the line editor's); bytes that are no UTF-8 (overlong forms and
// surrogates included) become U+FFFD.
std::wstring wide_from_utf8(const std::string& text);
std::string utf8_from_wide(const std::wstring& text);
// The text with every byte that is no UTF-8 replaced by U+FFFD: a host that takes UTF-8
// refuses a text that is not, and a line read from a pipe may be in any encoding.
std::string valid_utf8(const std::string& text);
// For comparing names letter case aside, whatever the C library's locale: Latin, Greek and
// Cyrillic capitals become small.
std::string fold_case(const std::string& utf8);

}  // namespace console
