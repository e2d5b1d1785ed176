// The host stand-in's network library: "Netlib/..." services over real TCP sockets, with a
// routing table so that tests and tools can point the plug-in's fixed server names at local
// servers, and switches that make it behave like older or failing hosts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace hostsim {

class Host;

// Errors, as the plug-in's GetLastError sees them, use the Winsock numbers on every platform:
// 87 for a refused record (or an unregistered user on open), 6 for an unknown handle, 10061 connection
// refused, 10060 time-out, 11001 unknown host (any name but localhost that no route takes elsewhere),
// 10051 an address outside loopback (nothing leaves this machine), 10004 when a receiver or its connection is
// closed during "Netlib/GetMorePackets", 10040 when a receiver's buffer is full and the caller consumed
// nothing.
class Netlib {
 public:
  explicit Netlib(Host& host);
  ~Netlib();
  // Creates the six "Netlib/..." services in the host. Called once by the Host.
  void install();
  // Closes every socket still open (at host shutdown, after the plug-ins are unloaded).
  void shutdown();

  // Dialling host:port connects to real_host:real_port instead.
  void add_route(const std::string& host, uint16_t port, const std::string& real_host, uint16_t real_port);
  // Behave like an older host: refuse the 24-byte open record with ERROR_INVALID_PARAMETER.
  void refuse_long_open_record(bool refuse);
  // Every "Netlib/Send" is first shown to the filter; one it refuses fails with 10054
  // (connection reset) and sends nothing. An empty filter lets everything through.
  void filter_sends(std::function<bool(const BYTE* data, size_t length)> filter);
  // Every "host:port" the plug-ins asked to open, in order (before routing). A record refused
  // for its size is not a request and is not listed; an open that fails to connect is.
  std::vector<std::string> open_requests() const;
  // Number of connections and receivers currently open.
  int open_connections() const;
  // The most connections that were open at once to one "host:port" (as asked, before routing).
  int peak_connections_to(const std::string& destination) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace hostsim
