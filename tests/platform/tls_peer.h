// What the tests of the Linux TLS calls and of the channel over them share: the in-process
// OpenSSL server's identity, a self-signed P-256 certificate for server.test made when first
// asked for (and written to a PEM file a test can make the trust store), and the reading of a
// memory BIO.
#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace tls_peer {

using Bytes = std::vector<unsigned char>;

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* pointer) const {
    Free(pointer);
  }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509_free>>;
using ServerContext = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Deleter<SSL_free>>;

struct Identity {
  Key key;
  Certificate certificate;
  Bytes der;
  std::string pem_file;
};

const Identity& identity();

// Everything the BIO holds.
Bytes drain(BIO* bio);

}  // namespace tls_peer
