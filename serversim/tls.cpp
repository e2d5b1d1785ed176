// TLS over memory buffers for the MRIM server stand-in and its test client (see tls.h).
#include "serversim/tls.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace serversim::detail {
namespace {

template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO_free>>;
using Context = std::unique_ptr<SSL_CTX, Freer<SSL_CTX_free>>;

// What OpenSSL last complained of, in its own short words ("wrong version number"); its queue
// is emptied, so that the next call's error is not mixed up with this one.
std::string openssl_error(const char* otherwise) {
  unsigned long e = ERR_peek_last_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  ERR_clear_error();
  return reason ? reason : otherwise;
}

std::string der_sha256(const X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &size) != 1) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

// TLS 1.2 and 1.3 only, with AEAD suites only (1.3 has no others). Nothing is resumed here, so
// no tickets are handed out: a handshake is always a whole one.
std::shared_ptr<ssl_ctx_st> server_context(X509* cert, EVP_PKEY* key) {
  Context ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) throw std::runtime_error("TLS context: " + openssl_error("out of memory"));
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(ctx.get(), "ECDHE+AESGCM:ECDHE+CHACHA20");
  SSL_CTX_set_num_tickets(ctx.get(), 0);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
  if (SSL_CTX_use_certificate(ctx.get(), cert) != 1 || SSL_CTX_use_PrivateKey(ctx.get(), key) != 1 ||
      SSL_CTX_check_private_key(ctx.get()) != 1) {
    throw std::invalid_argument("TLS certificate: " + openssl_error("the key does not fit the certificate"));
  }
  return std::shared_ptr<ssl_ctx_st>(ctx.release(), SSL_CTX_free);
}

std::string text_of(const ASN1_STRING* s) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), size_t(ASN1_STRING_length(s)));
}

std::time_t seconds_of(const ASN1_TIME* t) {
  std::tm parts{};
  return ASN1_TIME_to_tm(t, &parts) == 1 ? timegm(&parts) : 0;
}

std::vector<std::string> alternative_names(const X509* cert) {
  std::vector<std::string> out;
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type == GEN_DNS) out.push_back("DNS:" + text_of(name->d.dNSName));
    if (name->type == GEN_IPADD && ASN1_STRING_length(name->d.iPAddress) == 4) {
      char ip[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, ASN1_STRING_get0_data(name->d.iPAddress), ip, sizeof ip);
      out.push_back(std::string("IP:") + ip);
    }
  }
  GENERAL_NAMES_free(names);
  return out;
}

}  // namespace

namespace {

struct Made {
  Key key;
  Cert cert;
};

Made make_key_and_certificate() {
  Key key(EVP_EC_gen("P-256"));
  Cert cert(X509_new());
  if (!key || !cert) throw std::runtime_error("TLS key: " + openssl_error("cannot be made"));
  X509_set_version(cert.get(), X509_VERSION_3);
  // A random serial, so that a renewed certificate never repeats one a client has seen.
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  // Both ends from one reading of the clock, so that the certificate lasts exactly a year.
  std::time_t now = std::time(nullptr);
  X509_time_adj_ex(X509_getm_notBefore(cert.get()), -1, 0, &now);
  X509_time_adj_ex(X509_getm_notAfter(cert.get()), 364, 0, &now);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(kTlsServerName),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::string names = std::string("DNS:") + kTlsServerName + ",IP:127.0.0.1";
  X509_EXTENSION* alt = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, names.c_str());
  const bool made =
      alt && X509_add_ext(cert.get(), alt, -1) == 1 && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  X509_EXTENSION_free(alt);
  if (!made) throw std::runtime_error("TLS certificate: " + openssl_error("cannot be made"));
  return Made{std::move(key), std::move(cert)};
}

}  // namespace

TlsIdentity make_identity() {
  Made made = make_key_and_certificate();
  return TlsIdentity{server_context(made.cert.get(), made.key.get()), der_sha256(made.cert.get())};
}

void make_pem(std::string& cert_pem, std::string& key_pem) {
  Made made = make_key_and_certificate();
  Bio cert(BIO_new(BIO_s_mem()));
  Bio key(BIO_new(BIO_s_mem()));
  if (!cert || !key || PEM_write_bio_X509(cert.get(), made.cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(key.get(), made.key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw std::runtime_error("TLS certificate: " + openssl_error("cannot be written as PEM"));
  auto text = [](BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return std::string(data, size > 0 ? static_cast<size_t>(size) : 0);
  };
  cert_pem = text(cert.get());
  key_pem = text(key.get());
}

TlsIdentity identity_from_pem(const std::string& cert_pem, const std::string& key_pem) {
  Bio cert_text(BIO_new_mem_buf(cert_pem.data(), int(cert_pem.size())));
  Cert cert(PEM_read_bio_X509(cert_text.get(), nullptr, nullptr, nullptr));
  Bio key_text(BIO_new_mem_buf(key_pem.data(), int(key_pem.size())));
  Key key(PEM_read_bio_PrivateKey(key_text.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!cert) throw std::invalid_argument("TLS certificate: no PEM certificate");
  if (!key) throw std::invalid_argument("TLS certificate: no PEM private key");
  return TlsIdentity{server_context(cert.get(), key.get()), der_sha256(cert.get())};
}

struct TlsEngine::State {
  SSL* ssl = nullptr;  // owns both buffers below
  BIO* in = nullptr;   // what the peer sent, for the engine to read
  BIO* out = nullptr;  // what the engine wrote, for the peer
  bool established = false;
  ~State() { SSL_free(ssl); }
};

TlsEngine::TlsEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}
TlsEngine::~TlsEngine() = default;

// The connection's SSL holds its own reference to the context.
std::unique_ptr<TlsEngine::State> TlsEngine::make_state(SSL_CTX* ctx) {
  auto state = std::make_unique<State>();
  state->ssl = SSL_new(ctx);
  state->in = BIO_new(BIO_s_mem());
  state->out = BIO_new(BIO_s_mem());
  if (!state->ssl || !state->in || !state->out) {
    BIO_free(state->in);
    BIO_free(state->out);
    throw std::runtime_error("TLS connection: " + openssl_error("out of memory"));
  }
  SSL_set_bio(state->ssl, state->in, state->out);
  return state;
}

std::unique_ptr<TlsEngine> TlsEngine::server(const TlsIdentity& identity) {
  std::unique_ptr<State> state = make_state(identity.context.get());
  SSL_set_accept_state(state->ssl);
  return std::unique_ptr<TlsEngine>(new TlsEngine(std::move(state)));
}

std::unique_ptr<TlsEngine> TlsEngine::client(bool only_1_2) {
  Context ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) throw std::runtime_error("TLS context: " + openssl_error("out of memory"));
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (only_1_2) SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
  std::unique_ptr<State> state = make_state(ctx.get());
  SSL_set_tlsext_host_name(state->ssl, kTlsServerName);
  SSL_set_connect_state(state->ssl);
  return std::unique_ptr<TlsEngine>(new TlsEngine(std::move(state)));
}

TlsRead TlsEngine::feed(const uint8_t* data, size_t size) {
  State& st = *state_;
  TlsRead result;
  ERR_clear_error();
  if (size > 0) BIO_write(st.in, data, int(size));
  if (!st.established) {
    int done = SSL_do_handshake(st.ssl);
    if (done != 1) {
      int why = SSL_get_error(st.ssl, done);
      if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
        result.error = "TLS handshake failed: " + openssl_error("the peer broke it off");
      }
      return result;
    }
    st.established = true;
  }
  for (;;) {
    uint8_t chunk[16384];  // a record's most
    int n = SSL_read(st.ssl, chunk, sizeof chunk);
    if (n > 0) {
      result.plain.emplace_back(chunk, chunk + n);
      continue;
    }
    int why = SSL_get_error(st.ssl, n);
    if (why == SSL_ERROR_ZERO_RETURN) {
      result.error = "TLS error: the peer sent close_notify";
    } else if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
      result.error = "TLS error: " + openssl_error("a record could not be read");
    }
    return result;
  }
}

Bytes TlsEngine::take_output() {
  Bytes out(BIO_ctrl_pending(state_->out));
  if (!out.empty()) BIO_read(state_->out, out.data(), int(out.size()));
  return out;
}

Bytes TlsEngine::encrypt(const Bytes& plain) {
  if (!state_->established || plain.empty()) return {};
  ERR_clear_error();
  // Without partial writes a write into memory takes all of it or fails.
  if (SSL_write(state_->ssl, plain.data(), int(plain.size())) <= 0) {
    ERR_clear_error();
    return {};
  }
  return take_output();
}

bool TlsEngine::established() const { return state_->established; }

std::string TlsEngine::version() const { return state_->established ? SSL_get_version(state_->ssl) : ""; }

TlsPeer TlsEngine::peer() const {
  TlsPeer peer;
  peer.version = version();
  const X509* cert = SSL_get0_peer_certificate(state_->ssl);
  if (!cert) return peer;
  peer.sha256 = der_sha256(cert);
  char common_name[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, common_name,
                                sizeof common_name) > 0)
    peer.common_name = common_name;
  peer.names = alternative_names(cert);
  peer.not_before = seconds_of(X509_get0_notBefore(cert));
  peer.not_after = seconds_of(X509_get0_notAfter(cert));
  return peer;
}

}  // namespace serversim::detail
