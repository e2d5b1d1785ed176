// Real sockets between a test's "server" and the plug-in's network path, for the unit tests of
// the receive path and the benchmarks: a one-client TCP peer on 127.0.0.1 that the test drives
// byte by byte, and the plug-in's end of it opened through the host stand-in's network library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "core/host_services.h"
#include "host/host_api.h"

namespace testsupport {

// Listens on an ephemeral port of 127.0.0.1 and serves one client at a time.
class TcpPeer {
 public:
  using Bytes = std::vector<uint8_t>;

  TcpPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~TcpPeer() {
    close_client();
    ::close(listener_);
  }
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  uint16_t port() const { return port_; }

  bool accept(int timeout_ms = 10000) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return false;
    client_ = ::accept(listener_, nullptr, nullptr);
    return client_ >= 0;
  }

  bool send(const Bytes& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(client_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // Exactly n bytes, or fewer when the time runs out or the client closes.
  Bytes receive(size_t n, int timeout_ms = 10000) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{client_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      uint8_t chunk[4096];
      ssize_t got = ::recv(client_, chunk, std::min(sizeof chunk, n - out.size()), 0);
      if (got <= 0) break;
      out.insert(out.end(), chunk, chunk + got);
    }
    return out;
  }

  void close_client() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }

 private:
  int listener_ = -1;
  int client_ = -1;
  uint16_t port_ = 0;
};

// A connection and a 65,536-byte receiver on it, opened through the host's network library as
// the connect sequence does. plugin_link must point at the host.
struct HostConnection {
  HANDLE user = nullptr;
  HANDLE connection = nullptr;
  HANDLE receiver = nullptr;

  bool open(uint16_t port, const char* module) {
    NetlibUser user_record{};
    user_record.size = sizeof user_record;
    user_record.settings_module = module;
    user_record.descriptive_name = module;
    user_record.flags = NUF_OUTGOING;
    user = reinterpret_cast<HANDLE>(
        call_service(MS_NETLIB_REGISTERUSER, 0, reinterpret_cast<LPARAM>(&user_record)));
    NetlibOpenConnection open_record{};
    open_record.size = NETLIBOPENCONNECTION_V1_SIZE;
    open_record.host = "127.0.0.1";
    open_record.port = port;
    connection = reinterpret_cast<HANDLE>(call_service(
        MS_NETLIB_OPENCONNECTION, reinterpret_cast<WPARAM>(user), reinterpret_cast<LPARAM>(&open_record)));
    if (connection == nullptr) return false;
    receiver = reinterpret_cast<HANDLE>(
        call_service(MS_NETLIB_CREATEPACKETRECVER, reinterpret_cast<WPARAM>(connection), 65536));
    return receiver != nullptr;
  }
};

}  // namespace testsupport
