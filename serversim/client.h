// A small blocking MRIM client for tests of the server stand-in (and for tests that need a
// second user beside the plug-in): connects over TCP, sends packets and raw bytes, and reads
// packets, replies by sequence number, raw bytes or a whole text, each with a time limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include "serversim/wire.h"

namespace serversim {

class Client {
 public:
  Client() = default;
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connect(uint16_t port, const std::string& host = "127.0.0.1");
  void close();
  bool connected() const { return fd_ >= 0; }

  uint32_t next_seq() { return ++seq_; }
  bool send(const Packet& packet);
  bool send_raw(const Bytes& bytes);
  // Sends a request with a fresh sequence number and returns that number.
  uint32_t request(uint32_t code, Bytes body = {});

  // The next packet (set aside ones first), or nothing when the time is up, the server closed
  // the connection or the bytes are no packet.
  std::optional<Packet> read(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // The first packet with this sequence number; others that arrive meanwhile are set aside for
  // read().
  std::optional<Packet> read_reply(uint32_t seq,
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // The first packet with this code; others are set aside.
  std::optional<Packet> read_code(uint32_t code,
                                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // At least `count` raw bytes (fewer when the time is up or the server closed).
  Bytes read_bytes(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // Everything until the server closes (or the time is up), as text.
  std::string read_all(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // True once the server has closed the connection (waits at most `timeout`); bytes that
  // arrive meanwhile are kept.
  bool wait_closed(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  bool peer_closed() const { return peer_closed_; }
  // Why the connection ended: the receive's errno (ECONNRESET after an RST), or 0 when the
  // server closed it in order or it is still open.
  int receive_error() const { return receive_error_; }

  // The usual start: MRIM_CS_HELLO, then MRIM_CS_LOGIN2; the reply to the log-in.
  std::optional<Packet> hello();
  std::optional<Packet> login(const std::string& email, const std::string& password, uint32_t status = 1,
                              const std::string& description = "serversim test client");

 private:
  std::optional<Packet> read_matching(const std::function<bool(const Packet&)>& matches,
                                      std::chrono::milliseconds timeout);
  // Waits until more bytes arrive; false when the time is up or the server closed.
  bool fill(std::chrono::steady_clock::time_point deadline);
  std::optional<Packet> cut();

  int fd_ = -1;
  uint32_t seq_ = 0;
  Bytes buffer_;
  std::deque<Packet> aside_;
  bool peer_closed_ = false;
  int receive_error_ = 0;
  bool broken_ = false;  // the stream held bytes that are no packet
};

}  // namespace serversim
