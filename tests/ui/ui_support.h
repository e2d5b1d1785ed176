// Helpers of the user-interface tests: the account's settings as the host stores them, and the
// password in the host's encoded form.
#pragma once

#include <optional>
#include <string>

#include "hostsim/dialogs.h"
#include "support/plugin_session.h"

namespace uitest {

// The text the host stores for a password: "DB/Crypt/EncodeString" on a 128-byte buffer.
inline std::string encoded(hostsim::Host& host, const std::string& plain) {
  char buffer[128] = {};
  plain.copy(buffer, sizeof buffer - 1);
  host.call_service(MS_DB_CRYPT_ENCODESTRING, sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  return buffer;
}

inline std::optional<hostsim::Setting> account(testsupport::PluginSession& session, const std::string& name) {
  return session.host().setting(0, session.module(), name);
}

inline std::optional<std::string> account_text(testsupport::PluginSession& session, const std::string& name) {
  auto setting = account(session, name);
  if (!setting || setting->type != DBVT_ASCIIZ) return std::nullopt;
  return setting->text;
}

// An account that needs no set-up dialog at load.
inline void seed_account(testsupport::PluginSession& session, const std::string& email,
                         const std::string& password) {
  session.set_account_text("EMail", email);
  session.set_account_text("Password", encoded(session.host(), password));
}

}  // namespace uitest
