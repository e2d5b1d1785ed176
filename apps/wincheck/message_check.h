// The wincheck stage that exchanges one message through the MRIM server stand-in on loopback:
// the real MRIM.dll sends a message and receives it back.
#pragma once

#include <string>

#include "apps/wincheck/report.h"
#include "hostsim/host.h"

namespace wincheck {

// Runs after the online stage (whose routes to the stand-in it relies on) with the account
// offline, and leaves it offline again. The check's account writes to itself: with one account
// on the stand-in, that is a whole exchange. Its message goes to the server, which hands it to
// the recipient's session - the same one - and reports it delivered; the plug-in acknowledges
// the delivery to the host, receives the message as an incoming one, confirms its receipt and
// stores it as an event. The release build logs the text's length in place of the text.
void check_message(Report& report, hostsim::Host& host, const std::string& module,
                   const std::string& log_file, const std::string& email, bool diagnostic);

}  // namespace wincheck
