// Inside the MRIM server stand-in (and its test client): TLS over bytes rather than sockets. The
// server's certificate is made here in memory, and each connection's engine works on memory
// buffers, so that the server's loop keeps writing whatever it has queued in whatever pieces its
// write style chooses, ciphertext included. OpenSSL stays behind this header.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "serversim/wire.h"

struct ssl_ctx_st;

namespace serversim::detail {

// The name the made certificate is for (with the loopback address beside it).
inline constexpr const char* kTlsServerName = "mrim.example";

// A certificate with its key, ready to serve handshakes.
struct TlsIdentity {
  std::shared_ptr<ssl_ctx_st> context;
  std::string sha256;  // of the certificate's DER, lowercase hex
};

// A fresh EC P-256 key and a self-signed certificate for kTlsServerName and 127.0.0.1, valid
// from a day ago (so that a client's clock a little behind still takes it) for a year.
TlsIdentity make_identity();
// One from PEM texts; throws std::invalid_argument when they are no certificate and its key.
TlsIdentity identity_from_pem(const std::string& cert_pem, const std::string& key_pem);
// The same kind of key and certificate as make_identity's, as PEM texts, for whoever keeps them.
void make_pem(std::string& cert_pem, std::string& key_pem);

// What a client learns of the server's certificate.
struct TlsPeer {
  std::string version;  // "TLSv1.3", ...
  std::string sha256;
  std::string common_name;
  std::vector<std::string> names;  // subject alternative names: "DNS:...", "IP:..."
  std::time_t not_before = 0;
  std::time_t not_after = 0;
};

// What bytes from the peer came to.
struct TlsRead {
  std::vector<Bytes> plain;  // decrypted data, one entry per read of the engine (a record at most)
  std::string error;         // not empty: the connection is over, and this says why
};

// One connection's TLS, either side. Nothing here touches a socket: feed() takes what the peer
// sent, take_output() and encrypt() give what must go to it, in the order it must go.
class TlsEngine {
 public:
  static std::unique_ptr<TlsEngine> server(const TlsIdentity& identity);
  // Takes any certificate: tests compare its digest instead of trusting a chain. `only_1_2`
  // speaks TLS 1.2 at most, as older clients do.
  static std::unique_ptr<TlsEngine> client(bool only_1_2 = false);
  ~TlsEngine();

  TlsRead feed(const uint8_t* data, size_t size);
  // Handshake messages and alerts waiting to go out (and anything else not yet taken).
  Bytes take_output();
  // The records carrying `plain`, behind whatever output was waiting; empty before the
  // handshake is done.
  Bytes encrypt(const Bytes& plain);
  bool established() const;
  std::string version() const;
  TlsPeer peer() const;

 private:
  struct State;
  explicit TlsEngine(std::unique_ptr<State> state);
  static std::unique_ptr<State> make_state(ssl_ctx_st* ctx);
  std::unique_ptr<State> state_;
};

}  // namespace serversim::detail
