// libFuzzer target over the plug-in's handling of TLS records on the receive path (tls_take):
// the intake that keeps a record split across deliveries, cuts several records out of one
// delivery, and hands each record's plaintext on. Each input runs a real handshake against an
// in-process OpenSSL server first (through the same calls the plug-in makes), then the server
// seals the input's texts as records, the input flips bytes of that stream or appends raw bytes,
// and the stream is delivered in pieces of the input's sizes. An untouched stream must come out
// as exactly the texts sealed; a spoiled one must end in a failure, never in a read or write
// outside a buffer.
//
// Input: byte 0 the number of texts (low 3 bits) and whether to spoil (bit 3) or append raw
// bytes (bit 4); byte 1 the piece size (1 + value); then for each text a length byte and its
// bytes; then, when spoiling, pairs of (offset, xor) bytes; the rest is raw bytes to append.
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/tls.h"

namespace {

SSL_CTX* make_server_context() {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* certificate = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -86400);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 86400L * 365);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("mrim.test"),
                             -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509_sign(certificate, key, EVP_sha256());
  SSL_CTX_use_certificate(context, certificate);
  SSL_CTX_use_PrivateKey(context, key);
  X509_free(certificate);
  EVP_PKEY_free(key);
  return context;
}

struct Server {
  SSL* ssl;
  BIO* in;   // what the client sent
  BIO* out;  // what the server sends
};

// The channel hands one context to both its writer and its sink.
struct Ends {
  Server* server;
  std::string* plain;
};

bool to_server(const BYTE* bytes, uint32_t count, void* context) {
  BIO* in = static_cast<Ends*>(context)->server->in;
  return BIO_write(in, bytes, static_cast<int>(count)) == static_cast<int>(count);
}

std::vector<BYTE> drain(BIO* bio) {
  std::vector<BYTE> bytes(static_cast<size_t>(BIO_ctrl_pending(bio)));
  if (!bytes.empty()) BIO_read(bio, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

void collect(const BYTE* bytes, uint32_t count, void* context) {
  std::string* plain = static_cast<Ends*>(context)->plain;
  if (plain->size() < (1u << 20)) plain->append(reinterpret_cast<const char*>(bytes), count);
}

// The handshake to its end; false when it did not end well (which never happens unspoiled).
bool handshake(TlsChannel* channel, Server* server, std::string* plain) {
  Ends ends{server, plain};
  if (!tls_open(channel, "mrim.test", to_server, &ends)) return false;
  for (int round = 0; round < 10; ++round) {
    SSL_do_handshake(server->ssl);
    std::vector<BYTE> flight = drain(server->out);
    if (flight.empty()) continue;
    TlsResult result =
        tls_take(channel, flight.data(), static_cast<uint32_t>(flight.size()), to_server, collect, &ends);
    if (result == TLS_FAILED || result == TLS_CLOSED) return false;
    if (result == TLS_READY) {
      SSL_do_handshake(server->ssl);  // takes the client's Finished
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SSL_CTX* context = make_server_context();
  if (size < 2) return 0;
  const int texts = data[0] & 7;
  const bool spoil = (data[0] & 8) != 0;
  const bool append_raw = (data[0] & 16) != 0;
  const size_t piece = 1 + data[1];
  size_t at = 2;

  Server server{SSL_new(context), BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem())};
  SSL_set_bio(server.ssl, server.in, server.out);
  SSL_set_accept_state(server.ssl);
  TlsChannel channel;
  std::string plain;
  if (!handshake(&channel, &server, &plain) || !plain.empty()) abort();
  drain(server.out);

  std::string sealed_texts;
  for (int i = 0; i < texts && at < size; ++i) {
    size_t length = data[at++];
    if (length > size - at) length = size - at;
    if (length > 0) SSL_write(server.ssl, data + at, static_cast<int>(length));
    sealed_texts.append(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  std::vector<BYTE> stream = drain(server.out);
  bool spoiled = false;
  while (spoil && at + 1 < size && !stream.empty()) {
    BYTE mask = data[at + 1];
    stream[data[at] % stream.size()] ^= mask;
    spoiled = spoiled || mask != 0;
    at += 2;
  }
  if (append_raw && at < size) {
    stream.insert(stream.end(), data + at, data + size);
    spoiled = true;
  }

  Ends ends{&server, &plain};
  TlsResult result = TLS_READY;
  for (size_t sent = 0; sent < stream.size() && result == TLS_READY; sent += piece) {
    size_t count = stream.size() - sent < piece ? stream.size() - sent : piece;
    result =
        tls_take(&channel, stream.data() + sent, static_cast<uint32_t>(count), to_server, collect, &ends);
  }
  if (!spoiled && (result != TLS_READY || plain != sealed_texts)) abort();
  // Whatever came out of a spoiled stream is a prefix of the texts: nothing forged gets through.
  if (spoiled && sealed_texts.compare(0, plain.size(), plain) != 0) abort();

  tls_close(&channel);
  SSL_free(server.ssl);
  return 0;
}
