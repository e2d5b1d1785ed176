// Verdict lines of the check program.
#include "apps/wincheck/report.h"

#include <windows.h>

#include <cstdio>

namespace wincheck {

bool Report::check(const std::string& name, bool ok, const std::string& why_not) {
  std::lock_guard lock(mutex_);
  if (ok) {
    ++passed_;
    std::printf("PASS %s\n", name.c_str());
  } else {
    ++failed_;
    std::printf("FAIL %s: %s\n", name.c_str(), why_not.empty() ? "failed" : why_not.c_str());
  }
  std::fflush(stdout);
  return ok;
}

int Report::finish() {
  std::lock_guard lock(mutex_);
  std::printf("%d passed, %d failed\n", passed_, failed_);
  std::fflush(stdout);
  return failed_ == 0 && passed_ > 0 ? 0 : 1;
}

int Report::failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

std::string to_utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                 nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                      nullptr);
  return out;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace wincheck
