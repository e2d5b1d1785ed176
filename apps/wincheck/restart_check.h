// The wincheck stage that restarts the MRIM server stand-in under the online DLL, through the
// request file scripts/wine-check.sh answers, and checks how the system's TLS meets each server:
// the same certificate again (the account comes back by itself), a new certificate (refused,
// the pin kept, both fingerprints in the connection line) and one that offers no encryption
// while the account requires it (refused). In none of the refusals does the password leave.
#pragma once

#include <string>

#include "apps/wincheck/report.h"
#include "hostsim/host.h"

namespace wincheck {

// Runs after the online and message stages, with the account offline and its certificate
// pinned; leaves it offline. log_file is the plug-in's log in the current folder, which is also
// where the request and answer files lie.
void check_restarts(Report& report, hostsim::Host& host, const std::string& module,
                    const std::string& log_file);

}  // namespace wincheck
