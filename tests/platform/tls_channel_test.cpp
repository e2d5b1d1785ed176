// The TLS channel (protocol/tls.h) over the Linux TLS calls, against an OpenSSL server in this
// process (tls_peer.h): the Windows behaviours the calls reproduce, met through the channel's
// own functions.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/older_windows.h"
#include "protocol/tls.h"
#include "tls_peer.h"

namespace {

using tls_peer::Bytes;
using tls_peer::drain;
using tls_peer::identity;

// The server and the channel, which writes to it and hands its plaintext to `plain`.
struct Peer {
  tls_peer::ServerContext context{SSL_CTX_new(TLS_server_method())};
  tls_peer::Ssl ssl;
  BIO* in = BIO_new(BIO_s_mem());   // what the channel sent
  BIO* out = BIO_new(BIO_s_mem());  // what the server sends
  TlsChannel channel{};
  std::string plain;

  explicit Peer(const char* ciphers) {
    SSL_CTX_use_certificate(context.get(), identity().certificate.get());
    SSL_CTX_use_PrivateKey(context.get(), identity().key.get());
    SSL_CTX_set_cipher_list(context.get(), ciphers);
    ssl.reset(SSL_new(context.get()));
    SSL_set_bio(ssl.get(), in, out);
    SSL_set_accept_state(ssl.get());
  }
  ~Peer() { tls_close(&channel); }
};

bool to_server(const BYTE* bytes, uint32_t count, void* context) {
  return BIO_write(static_cast<Peer*>(context)->in, bytes, static_cast<int>(count)) ==
         static_cast<int>(count);
}

void to_text(const BYTE* bytes, uint32_t count, void* context) {
  static_cast<Peer*>(context)->plain.append(reinterpret_cast<const char*>(bytes), count);
}

// Hands the bytes to the channel in pieces of at most `piece`; the last result, or the first that
// is neither.
TlsResult deliver(Peer& peer, const Bytes& bytes, size_t piece) {
  TlsResult result = peer.channel.established ? TLS_READY : TLS_HANDSHAKING;
  for (size_t at = 0; at < bytes.size() && (result == TLS_READY || result == TLS_HANDSHAKING); at += piece) {
    uint32_t count = static_cast<uint32_t>(std::min(piece, bytes.size() - at));
    result = tls_take(&peer.channel, bytes.data() + at, count, to_server, to_text, &peer);
  }
  return result;
}

// The handshake to its end, each server flight delivered in pieces; the server has taken the
// channel's last flight.
TlsResult handshake(Peer& peer, const char* server_name = "server.test", size_t piece = 1 << 20) {
  if (!tls_open(&peer.channel, server_name, to_server, &peer)) return TLS_FAILED;
  TlsResult result = TLS_HANDSHAKING;
  for (int flight = 0; flight < 8 && result == TLS_HANDSHAKING; ++flight) {
    SSL_do_handshake(peer.ssl.get());
    result = deliver(peer, drain(peer.out), piece);
  }
  SSL_do_handshake(peer.ssl.get());
  return result;
}

std::string server_reads(Peer& peer) {
  std::string text;
  char buffer[4096];
  for (int read; (read = SSL_read(peer.ssl.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, read);
  return text;
}

// A text of that length that differs from its neighbours.
std::string text_of(size_t length, char first) {
  std::string text(length, first);
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>(first + i % 23);
  return text;
}

TEST(TlsChannel, LongMessagesAndACertificateRequestInAnyPieces) {
  // The certificate message spans records, and the server asks for a client certificate.
  for (size_t piece : {size_t{1}, size_t{333}, size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    Peer peer("ECDHE-ECDSA-AES128-GCM-SHA256");
    SSL_set_max_send_fragment(peer.ssl.get(), 512);
    SSL_add1_chain_cert(peer.ssl.get(), identity().certificate.get());
    SSL_add1_chain_cert(peer.ssl.get(), identity().certificate.get());
    SSL_set_verify(peer.ssl.get(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    ASSERT_EQ(handshake(peer, "server.test", piece), TLS_READY);
    EXPECT_TRUE(SSL_is_init_finished(peer.ssl.get()));
    EXPECT_EQ(SSL_get0_peer_certificate(peer.ssl.get()), nullptr);
    SSL_write(peer.ssl.get(), "after", 5);
    EXPECT_EQ(deliver(peer, drain(peer.out), piece), TLS_READY);
    EXPECT_EQ(peer.plain, "after");
  }
}

class TlsChannelSuite : public testing::TestWithParam<const char*> {};

TEST_P(TlsChannelSuite, RecordsBothWaysThenCloseNotify) {
  Peer peer(GetParam());
  ASSERT_EQ(handshake(peer), TLS_READY);
  ASSERT_STREQ(SSL_get_cipher_name(peer.ssl.get()), GetParam());

  // Every padding a CBC record can have, and texts of several records.
  std::string sent;
  bool shorter = false;
  for (size_t length :
       {size_t{1}, size_t{2}, size_t{15}, size_t{16}, size_t{17}, size_t{31}, size_t{40000}}) {
    for (size_t more = 0; more < (length < 100 ? 16 : 1); ++more) {
      std::string text = text_of(length + more, 'a');
      uint64_t most = tls_sealed_size(&peer.channel, static_cast<uint32_t>(text.size()));
      std::vector<BYTE> sealed(most);
      uint32_t written = 0;
      ASSERT_TRUE(tls_seal(&peer.channel, reinterpret_cast<const BYTE*>(text.data()),
                           static_cast<uint32_t>(text.size()), sealed.data(), most, &written));
      ASSERT_LE(written, most);
      shorter = shorter || written < most;
      BIO_write(peer.in, sealed.data(), static_cast<int>(written));
      sent += text;
    }
  }
  EXPECT_EQ(server_reads(peer), sent);
  EXPECT_EQ(shorter, std::string(GetParam()).find("GCM") == std::string::npos);

  // The server's records, all in one delivery.
  std::string expected;
  for (size_t length : {size_t{3}, size_t{16}, size_t{33}, size_t{20000}}) {
    std::string text = text_of(length, 'A');
    SSL_write(peer.ssl.get(), text.data(), static_cast<int>(text.size()));
    expected += text;
  }
  EXPECT_EQ(deliver(peer, drain(peer.out), 1 << 20), TLS_READY);
  EXPECT_EQ(peer.plain, expected);

  // Going offline: the server reads the alert as the end, and nothing more is sealed.
  ASSERT_TRUE(tls_shutdown(&peer.channel, to_server, &peer));
  char byte;
  EXPECT_EQ(SSL_read(peer.ssl.get(), &byte, 1), 0);
  EXPECT_EQ(SSL_get_error(peer.ssl.get(), 0), SSL_ERROR_ZERO_RETURN);
  BYTE sealed[256];
  uint32_t written = 0;
  EXPECT_FALSE(tls_seal(&peer.channel, sealed, 1, sealed, sizeof sealed, &written));
  EXPECT_FALSE(tls_shutdown(&peer.channel, to_server, &peer));
}

INSTANTIATE_TEST_SUITE_P(Suites, TlsChannelSuite,
                         testing::Values("ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES128-SHA256",
                                         "ECDHE-ECDSA-AES256-SHA"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string name = info.param;
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name;
                         });

TEST(TlsChannel, RenegotiationEndsTheChannel) {
  Peer peer("ECDHE-ECDSA-AES128-GCM-SHA256");
  ASSERT_EQ(handshake(peer), TLS_READY);
  SSL_write(peer.ssl.get(), "before", 6);
  ASSERT_EQ(SSL_renegotiate(peer.ssl.get()), 1);
  SSL_do_handshake(peer.ssl.get());  // the hello request
  EXPECT_EQ(deliver(peer, drain(peer.out), 1 << 20), TLS_FAILED);
  EXPECT_EQ(peer.plain, "before");
}

TEST(TlsChannel, CertificateCheckedApartFromItsChannel) {
  EXPECT_TRUE(tls_system_supported());
  Peer peer("ECDHE-ECDSA-AES128-GCM-SHA256");
  // Connected under another name than the certificate's: the caller names the one to check.
  ASSERT_EQ(handshake(peer, "192.0.2.7"), TLS_READY);
  PCCERT_CONTEXT certificate = tls_peer_certificate(&peer.channel);
  ASSERT_NE(certificate, nullptr);
  tls_close(&peer.channel);

  unsigned char expected[EVP_MAX_MD_SIZE];
  unsigned int expected_size = 0;
  X509_digest(identity().certificate.get(), EVP_sha256(), expected, &expected_size);
  ASSERT_EQ(expected_size, TLS_FINGERPRINT_SIZE);
  BYTE fingerprint[TLS_FINGERPRINT_SIZE] = {};
  ASSERT_TRUE(tls_certificate_fingerprint(certificate, fingerprint));
  EXPECT_EQ(Bytes(fingerprint, fingerprint + TLS_FINGERPRINT_SIZE),
            Bytes(expected, expected + expected_size));

  EXPECT_FALSE(tls_certificate_trusted(certificate, "server.test"));
  setenv("SSL_CERT_FILE", identity().pem_file.c_str(), 1);
  EXPECT_TRUE(tls_certificate_trusted(certificate, "server.test"));
  EXPECT_FALSE(tls_certificate_trusted(certificate, "192.0.2.7"));
  EXPECT_FALSE(tls_certificate_trusted(certificate, ""));
  EXPECT_FALSE(tls_certificate_trusted(certificate, "server.test\xC2\xA0"));
  unsetenv("SSL_CERT_FILE");

  // The oldest Windows: no TLS 1.2, and the fingerprint from the older hash call.
  platform_pretend_older_windows(true);
  EXPECT_FALSE(tls_system_supported());
  BYTE older[TLS_FINGERPRINT_SIZE] = {};
  EXPECT_TRUE(tls_certificate_fingerprint(certificate, older));
  EXPECT_EQ(Bytes(older, older + TLS_FINGERPRINT_SIZE), Bytes(expected, expected + expected_size));
  platform_pretend_older_windows(false);
  EXPECT_TRUE(CertFreeCertificateContext(certificate));
}

}  // namespace
