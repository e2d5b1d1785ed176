// Texts of stored (offline) messages (see stored.h).
#include "serversim/stored.h"

#include <cstdio>
#include <stdexcept>

#include "serversim/text.h"

namespace serversim {

std::string base64(std::string_view bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t line = 0;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 2]));
    if (line == 76) {
      out += "\r\n";
      line = 0;
    }
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    line += 4;
  }
  return out;
}

std::string from_cp1251(std::string_view text, const char* charset) {
  const std::string utf8 = cp1251_to_utf8(text);
  if (std::string_view(charset) == "UTF-8") return utf8;
  if (std::string_view(charset) == "UTF-16LE") return utf8_to_utf16le(utf8);
  throw std::invalid_argument(std::string("no conversion from CP1251 to ") + charset);
}

namespace {

std::string date_line(std::time_t when) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
                kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

}  // namespace

std::string stored_message_text(const OfflineMessage& message, std::time_t when) {
  const std::string date = date_line(when);
  switch (message.form) {
    case OfflineForm::raw:
      return message.text;
    case OfflineForm::plain:
      return "From: " + message.from + "\nDate: " + date + "\n\n" + utf8_to_cp1251(message.text);
    case OfflineForm::boundary: {
      const std::string boundary = "SIM" + std::to_string(message.id) + "BOUNDARY";
      return "From: " + message.from + "\nDate: " + date + "\nBoundary: " + boundary + "\nVersion: 1.0\n\n" +
             utf8_to_cp1251(message.text) + "\n--" + boundary + "--\n";
    }
    case OfflineForm::modern:
    case OfflineForm::utf8: {
      const bool utf16 = message.form == OfflineForm::modern;
      const char* charset = utf16 ? "UTF-16LE" : "UTF-8";
      char flags[16];
      std::snprintf(flags, sizeof flags, "%08x", unsigned(message.flags));
      return "From: " + message.from + "\r\nDate: " + date + "\r\nX-MRIM-Flags: " + flags +
             "\r\nContent-Type: text/plain; charset=" + charset +
             "\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
             base64(utf16 ? utf8_to_utf16le(message.text) : clean_utf8(message.text));
    }
  }
  return message.text;
}

}  // namespace serversim
