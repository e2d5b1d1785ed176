// Points a host stand-in's network library at a server stand-in: the plug-in's default server
// goes to the address service, and the server name that service hands out, as well as the
// plug-in's fallback address, go to the MRIM service.
#pragma once

#include <string>

#include "hostsim/netlib.h"
#include "serversim/server.h"

namespace testsupport {

void route_plugin_to(hostsim::Netlib& netlib, const serversim::Server& server,
                     const std::string& server_name);

}  // namespace testsupport
