// The wincheck stage that fetches a contact's picture with the real MRIM.dll from the server
// stand-in's picture service on loopback, through the host's network library, into the cache
// folder next to the host's profile.
#pragma once

#include <cstdint>
#include <string>

#include "apps/wincheck/report.h"
#include "hostsim/host.h"

namespace wincheck {

// Runs after the message stage, whose contact (the account itself, which the stand-in gives a
// picture) it asks for: the host's request is told to wait, the acknowledgement names a JPEG file
// in the profile's folder, and the next request answers with that file at once.
void check_avatar(Report& report, hostsim::Host& host, const std::string& module, const std::string& email,
                  uint16_t avatar_port);

}  // namespace wincheck
