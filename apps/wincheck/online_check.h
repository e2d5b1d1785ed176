// The wincheck stage that takes the account online and offline against the MRIM server stand-in
// running on loopback (started beside Wine by scripts/wine-check.sh).
#pragma once

#include <cstdint>
#include <string>

#include "apps/wincheck/report.h"
#include "hostsim/host.h"

namespace wincheck {

// The server stand-in's services on 127.0.0.1; its accounts must hold email/password.
struct OnlineServer {
  uint16_t address_port = 0;
  uint16_t mrim_port = 0;
  uint16_t avatar_port = 0;
};

// Runs after the all-modules-loaded event (the network user exists) and before Unload: routes
// the plug-in's default server and fallback address to the stand-in, goes online, changes the
// status on the open connection, goes offline, and checks acknowledgements, status, log and
// sockets. log_file is the plug-in's log in the current folder.
void check_online(Report& report, hostsim::Host& host, const std::string& module, const std::string& log_file,
                  const std::string& email, const std::string& password, const OnlineServer& server);

}  // namespace wincheck
