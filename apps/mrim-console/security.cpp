// The session's encryption as the console tells it (see security.h).
#include "security.h"

#include <algorithm>
#include <cctype>

#include "contact_book.h"

namespace console {

namespace {

constexpr size_t kFingerprintDigits = 64;
constexpr size_t kGroup = 4;
constexpr size_t kRow = 8 * kGroup;

bool is_hex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The fingerprint right behind `marker`, or "" when none stands there.
std::string fingerprint_after(const std::string& line, const std::string& marker) {
  size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  at += marker.size();
  size_t end = at;
  while (end < line.size() && is_hex(line[end])) ++end;
  return end - at == kFingerprintDigits ? pin_digits(line.substr(at, end - at)) : "";
}

}  // namespace

std::string security_line(hostsim::Host& host, const std::string& module, bool* encrypted) {
  // Room for the longest line, which names two fingerprints and the server's name.
  char line[512] = "";
  INT_PTR secure =
      host.call_service(module + "/ConnectionSecurity", sizeof line, reinterpret_cast<LPARAM>(line));
  if (encrypted != nullptr) *encrypted = secure == 1;
  return line;
}

void add_security(hostsim::Host& host, const std::string& module, Event& event) {
  bool encrypted = false;
  std::string line = security_line(host, module, &encrypted);
  event.set("encrypted", encrypted).set("security", line);
}

SecurityLine read_security_line(const std::string& line) {
  SecurityLine read;
  read.encrypted = line.rfind("encrypted", 0) == 0;
  // The first one a line names is the server's: the session's, or the refused one.
  read.certificate = fingerprint_after(line, "SHA-256 ");
  read.pinned = fingerprint_after(line, "; the pinned one is ");
  read.replaced = fingerprint_after(line, "; it replaces the pinned ");
  read.encryption_withdrawn =
      !read.encrypted && line.find("no longer offers encryption") != std::string::npos;
  const std::string trusted = "; the system trusts it for ";
  if (size_t at = line.find(trusted); read.encrypted && at != std::string::npos) {
    read.system_trusted = true;
    at += trusted.size();
    read.trusted_for = line.substr(at, line.find(';', at) - at);
  } else if (read.encrypted && (line.find("; accepted by its pin") != std::string::npos ||
                                line.find("; pinned on first use") != std::string::npos)) {
    read.system_trusted = false;
  } else if (!read.pinned.empty()) {
    // The plug-in takes a certificate the system trusts whatever the pin: one it refused for
    // the pin is one the system does not trust.
    read.system_trusted = false;
  }
  return read;
}

std::optional<std::string> certificate_pin(hostsim::Host& host, const std::string& module) {
  std::optional<std::string> pin = read_text(host, 0, module, "CertificatePin");
  if (pin && pin->empty()) return std::nullopt;
  return pin;
}

std::string pin_digits(const std::string& pin) {
  std::string digits;
  for (char c : pin)
    if (is_hex(c)) digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return digits;
}

std::string grouped_fingerprint(const std::string& hex, size_t indent) {
  std::string text;
  for (size_t at = 0; at < hex.size(); at += kGroup) {
    if (at > 0) text += at % kRow == 0 ? "\n" + std::string(indent, ' ') : " ";
    text += hex.substr(at, kGroup);
  }
  return text;
}

std::string short_fingerprint(const std::string& hex) {
  if (hex.size() <= 2 * kGroup) return hex;
  return hex.substr(0, kGroup) + "\u2026" + hex.substr(hex.size() - kGroup);
}

std::string with_short_fingerprints(const std::string& line) {
  std::string text;
  for (size_t at = 0; at < line.size();) {
    size_t end = at;
    while (end < line.size() && is_hex(line[end])) ++end;
    if (end - at == kFingerprintDigits) {
      text += short_fingerprint(line.substr(at, end - at));
    } else {
      text += line.substr(at, std::max(end, at + 1) - at);
    }
    at = std::max(end, at + 1);
  }
  return text;
}

}  // namespace console
