// Points a host stand-in's network library at a server stand-in: the plug-in's default server
// goes to the address service, and the server name that service hands out, as well as the
// plug-in's fallback address, go to the MRIM service.
#pragma once

#include <string>

#include "hostsim/netlib.h"
#include "serversim/server.h"

namespace testsupport {

// How the server stand-in of an end-to-end test writes: as queued unless the environment's
// MRIM_TEST_SERVER_WRITES says "coalesce" or "split" (the test command runs the main end-to-end
// suites each way).
void apply_write_style(serversim::Behavior& behavior);

// The behaviour an end-to-end test starts from: the stand-in's defaults, or every quirk of a
// community server when the environment's MRIM_TEST_SERVER_PROFILE says "community" (the test
// command runs the main suites that way too); the write style as above. Tests set what they
// need on top of it.
serversim::Behavior test_server_behavior();

void route_plugin_to(hostsim::Netlib& netlib, const serversim::Server& server,
                     const std::string& server_name);

}  // namespace testsupport
