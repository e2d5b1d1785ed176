// A small blocking MRIM client for tests of the server stand-in (and for tests that need a
// second user beside the plug-in): connects over TCP, sends packets and raw bytes, and reads
// packets, replies by sequence number, raw bytes or a whole text, each with a time limit. It can
// turn its connection to TLS as the server offers it; from then on everything it sends and reads
// goes through TLS, and send_wire() alone writes past it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "serversim/text.h"
#include "serversim/tls.h"
#include "serversim/wire.h"

namespace serversim {

using detail::TlsPeer;

// What a client says of itself at log-in besides address and password. Texts are UTF-8; the
// client writes them as its revision has them.
struct LoginDetails {
  uint32_t status = mrim_status::online;
  std::string uri;  // empty: the status number's own URI
  std::string title;
  std::string description;
  uint32_t features = 0x2FF;
  std::string client = "serversim test client";
  std::string locale = "ru";
};

// The body of MRIM_CS_LOGIN2 as a client of the revision `version` sends it: up to 1.13 login,
// password, status, client; from 1.14 the status URI, title, description and features before the
// client and a legacy client description after it; from 1.16 the locale before that, and the
// title and description in UTF-16LE.
Bytes login_body(uint32_t version, const std::string& email, const std::string& password,
                 const LoginDetails& details);

class Client {
 public:
  Client();
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connect(uint16_t port, const std::string& host = "127.0.0.1");
  void close();
  bool connected() const { return fd_ >= 0; }

  uint32_t next_seq() { return ++seq_; }
  // The protocol version the client writes in its headers, and so the revision of its log-in
  // (kProtoVersion, 1.8, unless set).
  void set_version(uint32_t version) { version_ = version; }
  uint32_t version() const { return version_; }
  // A text for this client's wire, and one from it (UTF-16LE from 1.16 on, else 1251).
  std::string text(std::string_view utf8) const { return to_wire(utf8, revision::unicode(version_)); }
  std::string from_text(std::string_view bytes) const {
    return from_wire(bytes, revision::unicode(version_));
  }
  bool send(const Packet& packet);
  bool send_raw(const Bytes& bytes);
  // Bytes onto the socket as they are, past any TLS (a broken record, say).
  bool send_wire(const Bytes& bytes);

  // Asks the server to turn the connection to TLS (0x1086) and, when it goes ahead (0x1087),
  // makes the handshake. True once the connection is encrypted; false when the server refused
  // or the handshake failed (tls_error() then says why). Any certificate is taken: tests
  // compare tls_peer().sha256 with the server's instead. `only_1_2`: TLS 1.2 at most.
  bool start_tls(bool only_1_2 = false, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // The handshake alone, for a test that asked for TLS its own way and has read the go-ahead.
  bool tls_handshake(bool only_1_2 = false,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  bool encrypted() const;
  TlsPeer tls_peer() const;
  const std::string& tls_error() const { return tls_error_; }
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
  std::optional<Packet> login(const std::string& email, const std::string& password,
                              const LoginDetails& details);

 private:
  std::optional<Packet> read_matching(const std::function<bool(const Packet&)>& matches,
                                      std::chrono::milliseconds timeout);
  // Waits until more bytes arrive (decrypted ones, with TLS); false when the time is up or the
  // server closed.
  bool fill(std::chrono::steady_clock::time_point deadline);
  // The next bytes from the socket as they are.
  bool receive(std::chrono::steady_clock::time_point deadline, Bytes& raw);
  // Hands bytes from the socket to TLS; true when they held data.
  bool take_tls(const Bytes& raw);
  std::optional<Packet> cut();

  int fd_ = -1;
  uint32_t seq_ = 0;
  uint32_t version_ = kProtoVersion;
  Bytes buffer_;
  std::deque<Packet> aside_;
  bool peer_closed_ = false;
  int receive_error_ = 0;
  bool broken_ = false;  // the stream held bytes that are no packet
  std::unique_ptr<detail::TlsEngine> tls_;
  std::string tls_error_;
};

}  // namespace serversim
