// The account's two settings as the plug-in's set-up dialog stores them: "EMail" as text and
// "Password" encoded in place by the host's "DB/Crypt/EncodeString" in a 128-byte buffer,
// each at most 127 characters (code page 1251, as the dialog's edit fields would hold them).
// Also the account's server and protocol revision, as the options page stores them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "hostsim/host.h"

namespace console {

void store_account(hostsim::Host& host, const std::string& module, const std::string& email,
                   const std::optional<std::string>& password);
// The address service the plug-in asks when going online, stored as the options page stores
// its "Server" and "Port" fields.
void store_server(hostsim::Host& host, const std::string& module, const std::string& name, uint16_t port);
// The protocol revision (its minor number) as the plug-in reads it: "ProtocolRevision", else 8
// where an older options page stored the byte "LegacyProtocol" = 1, else 20.
uint32_t protocol_revision(hostsim::Host& host, const std::string& module);
// Stores a revision as the options page does: "ProtocolRevision", and "LegacyProtocol" (1 for
// 1.8, else 0), which builds before 1.20 read instead. Settings that hold it already are not
// written again.
void store_protocol_revision(hostsim::Host& host, const std::string& module, uint32_t minor);
// Both settings are there (an empty text counts, as it does for the plug-in).
bool account_complete(hostsim::Host& host, const std::string& module);
std::string account_address(hostsim::Host& host, const std::string& module);

// Asks for the address (showing `known` as the default) and the password at the terminal,
// without echoing the password. False when standard input ends first.
bool ask_account(const std::string& known, std::string& email, std::string& password);

}  // namespace console
