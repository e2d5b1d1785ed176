// Test helpers for the codec and receive path: a one-client TCP server on 127.0.0.1 that the
// test drives byte by byte, a connection to it through the host stand-in's network library,
// and raw packet bytes built without the codec under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/host_services.h"
#include "host/host_api.h"

namespace loopback {

using Bytes = std::vector<uint8_t>;

inline void put_u32(Bytes& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A packet's wire bytes: the header with the given fields, then the body as given.
inline Bytes packet(uint32_t msg, uint32_t seq, const Bytes& body = {}, uint32_t magic = 0xDEADBEEF) {
  Bytes out;
  put_u32(out, magic);
  put_u32(out, 0x00010008);
  put_u32(out, seq);
  put_u32(out, msg);
  put_u32(out, static_cast<uint32_t>(body.size()));
  out.resize(44, 0);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Polls pred every few milliseconds until it holds or 10 s (by default) have passed.
inline bool wait_until(const std::function<bool()>& pred, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline int count_of(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// Listens on an ephemeral port of 127.0.0.1 and serves one client at a time.
class Server {
 public:
  Server() {
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
  ~Server() {
    close_client();
    ::close(listener_);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

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

  // True when nothing arrives within the given time (a short look; used only to confirm that
  // nothing was sent where nothing can have been sent meanwhile).
  bool nothing_pending() {
    pollfd p{client_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
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

}  // namespace loopback
