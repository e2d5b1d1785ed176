// The account's settings as the set-up dialog stores them.
#include "account_setup.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "charset.h"
#include "commands.h"
#include "contact_book.h"
#include "hostsim/profile.h"

namespace console {

namespace {

// The dialog's buffer: 127 characters and the terminator.
constexpr size_t kFieldSize = 128;

std::string field(const std::string& utf8) {
  std::string text = to_cp1251(utf8);
  if (text.size() > kFieldSize - 1) text.resize(kFieldSize - 1);
  return text;
}

bool read_line(std::string& line) {
  if (!std::getline(std::cin, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

void store_account(hostsim::Host& host, const std::string& module, const std::string& email,
                   const std::optional<std::string>& password) {
  host.write_setting(0, module, "EMail", hostsim::Setting::string(field(email)));
  if (!password) return;
  char buffer[kFieldSize] = {};
  std::string text = field(*password);
  std::memcpy(buffer, text.data(), text.size());
  host.call_service(MS_DB_CRYPT_ENCODESTRING, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  buffer[kFieldSize - 1] = '\0';
  host.write_setting(0, module, "Password", hostsim::Setting::string(buffer));
}

void store_server(hostsim::Host& host, const std::string& module, const std::string& name, uint16_t port) {
  host.write_setting(0, module, "Server", hostsim::Setting::string(name));
  host.write_setting(0, module, "Port", hostsim::Setting::dword(port));
}

uint32_t protocol_revision(hostsim::Host& host, const std::string& module) {
  if (std::optional<hostsim::Setting> stored = host.setting(0, module, "ProtocolRevision");
      stored && !stored->is_text())
    return stored->number;
  std::optional<hostsim::Setting> legacy = host.setting(0, module, "LegacyProtocol");
  return legacy && !legacy->is_text() && legacy->number == 1 ? 8 : 20;
}

void store_protocol_revision(hostsim::Host& host, const std::string& module, uint32_t minor) {
  const hostsim::Setting revision = hostsim::Setting::dword(minor);
  const hostsim::Setting legacy = hostsim::Setting::byte(minor == 8 ? 1 : 0);
  if (host.setting(0, module, "ProtocolRevision") != revision)
    host.write_setting(0, module, "ProtocolRevision", revision);
  if (host.setting(0, module, "LegacyProtocol") != legacy)
    host.write_setting(0, module, "LegacyProtocol", legacy);
}

bool account_complete(hostsim::Host& host, const std::string& module) {
  return host.setting(0, module, "EMail").has_value() && host.setting(0, module, "Password").has_value();
}

std::string account_address(hostsim::Host& host, const std::string& module) {
  return read_text(host, 0, module, "EMail").value_or("");
}

bool ask_account(const std::string& known, std::string& email, std::string& password) {
  std::printf("MRIM account set-up. Please enter your MRIM details to continue.\n");
  for (;;) {
    std::printf("E-Mail%s: ", known.empty() ? "" : (" [" + known + "]").c_str());
    std::fflush(stdout);
    if (!read_line(email)) return false;
    if (email.empty()) email = known;
    // The plug-in would take anything, and fail only at the log-in.
    if (is_email_address(email)) break;
    std::printf("\"%s\" is no e-mail address (name@domain.example).\n", email.c_str());
  }
  // Echo goes off before the prompt shows, so that nothing typed after it is echoed.
  termios saved{};
  bool hidden = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (hidden) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::printf("Password: ");
  std::fflush(stdout);
  bool read = read_line(password);
  if (hidden) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::printf("\n");
  return read;
}

}  // namespace console
