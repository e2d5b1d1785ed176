// Texts of stored (offline) messages as the MRIM server stand-in hands them out, in the old
// mail-like forms and in the form of servers in use today (base64 of UTF-16LE or UTF-8).
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "serversim/accounts.h"

namespace serversim {

// The whole stored message for MRIM_CS_OFFLINE_MESSAGE_ACK, dated `when`. The old forms carry
// the (UTF-8) text in code page 1251, the modern ones in Unicode, the raw one byte for byte.
std::string stored_message_text(const OfflineMessage& message, std::time_t when);

// Standard base64 with padding, lines of at most 76 characters joined by CR LF as mail bodies
// are (a client must not assume the body is one line).
std::string base64(std::string_view bytes);

// Converts code-page-1251 text to "UTF-16LE" or "UTF-8" (std::invalid_argument for any other
// name); a byte without a character there becomes "?". See text.h for the other directions.
std::string from_cp1251(std::string_view text, const char* charset);

}  // namespace serversim
