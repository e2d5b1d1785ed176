#include "tls_peer.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>

namespace tls_peer {

const Identity& identity() {
  static Identity made = [] {
    Identity id;
    id.key.reset(EVP_EC_gen("P-256"));
    id.certificate.reset(X509_new());
    X509* certificate = id.certificate.get();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, id.key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("server.test"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "DNS:server.test");
    X509_add_ext(certificate, names, -1);
    X509_EXTENSION_free(names);
    X509_sign(certificate, id.key.get(), EVP_sha256());
    int length = i2d_X509(certificate, nullptr);
    id.der.resize(static_cast<size_t>(length));
    unsigned char* out = id.der.data();
    i2d_X509(certificate, &out);
    // One file per process: ctest runs this program's tests side by side.
    id.pem_file = testing::TempDir() + "sspi_test_trust." + std::to_string(getpid()) + ".pem";
    FILE* file = std::fopen(id.pem_file.c_str(), "w");
    PEM_write_X509(file, certificate);
    std::fclose(file);
    // Gone with the process, so that runs leave no certificates behind in the temporary folder.
    static struct RemovedAtExit {
      std::string path;
      ~RemovedAtExit() { std::remove(path.c_str()); }
    } removed{id.pem_file};
    return id;
  }();
  return made;
}

Bytes drain(BIO* bio) {
  Bytes bytes(BIO_ctrl_pending(bio));
  if (!bytes.empty()) BIO_read(bio, bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

}  // namespace tls_peer
