// The check program's verdicts: one "PASS name" or "FAIL name: why" line per check, and the
// closing "N passed, M failed" line.
#pragma once

#include <mutex>
#include <string>

namespace wincheck {

class Report {
 public:
  // Prints the verdict and counts it; returns ok so that callers can skip dependent checks.
  bool check(const std::string& name, bool ok, const std::string& why_not = "");
  bool pass(const std::string& name) { return check(name, true); }
  bool fail(const std::string& name, const std::string& why) { return check(name, false, why); }
  // Prints the summary line; the program's exit code (0 only when nothing failed).
  int finish();
  int failed() const;

 private:
  mutable std::mutex mutex_;
  int passed_ = 0;
  int failed_ = 0;
};

// Wide (UTF-16) text to UTF-8 for printing, and a byte string made printable for a reason text.
std::string to_utf8(const std::wstring& text);
std::string quoted(const std::string& text);

}  // namespace wincheck
