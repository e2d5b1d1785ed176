// Points a host stand-in's network library at a server stand-in.
#include "support/server_routes.h"

#include <cstdlib>
#include <cstring>

#include "protocol/online.h"

namespace testsupport {

void apply_write_style(serversim::Behavior& behavior) {
  const char* style = std::getenv("MRIM_TEST_SERVER_WRITES");
  if (style == nullptr) return;
  if (strcmp(style, "coalesce") == 0) behavior.writes = serversim::Writes::coalesce;
  if (strcmp(style, "split") == 0) behavior.writes = serversim::Writes::split;
}

serversim::Behavior test_server_behavior() {
  const char* profile = std::getenv("MRIM_TEST_SERVER_PROFILE");
  serversim::Behavior behavior = profile != nullptr && strcmp(profile, "community") == 0
                                     ? serversim::Behavior::community()
                                     : serversim::Behavior{};
  apply_write_style(behavior);
  return behavior;
}

void route_plugin_to(hostsim::Netlib& netlib, const serversim::Server& server,
                     const std::string& server_name) {
  netlib.add_route(MRIM_DEFAULT_SERVER_HOST, MRIM_DEFAULT_SERVER_PORT, "127.0.0.1", server.address_port());
  netlib.add_route(server_name, 443, "127.0.0.1", server.mrim_port());
  netlib.add_route(MRIM_FALLBACK_SERVER_HOST, 443, "127.0.0.1", server.mrim_port());
}

}  // namespace testsupport
