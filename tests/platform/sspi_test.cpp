// The system TLS calls as platform/ provides them on Linux (SSPI over OpenSSL, and crypt32's
// certificate checks), driven the way the plug-in drives SChannel, against an OpenSSL server in
// this process that talks over memory BIOs (tls_peer.h).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "tls_peer.h"

namespace {

using tls_peer::Bytes;
using tls_peer::drain;
using tls_peer::identity;
using tls_peer::ServerContext;
using tls_peer::Ssl;

constexpr ULONG kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;
constexpr ULONG kRecordHeader = 5;
// Bytes that follow every server flight: too few for a record header, so the client must leave
// them to the caller as extra.
const Bytes kTail = {0x17, 0x03, 0x03};

Bytes joined(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct IscResult {
  SECURITY_STATUS status;
  Bytes token;
  ULONG extra_type;
  ULONG extra_count;
};

struct Decrypted {
  SECURITY_STATUS status;
  std::string text;
  const unsigned char* data;  // where the plaintext lies
  const unsigned char* extra;
  ULONG extra_count;
  ULONG missing;
};

// One client context (the calls under test) and its OpenSSL server.
class Connection {
 public:
  explicit Connection(DWORD protocols = 0, DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION) {
    server_context_.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX_use_certificate(server_context_.get(), identity().certificate.get());
    SSL_CTX_use_PrivateKey(server_context_.get(), identity().key.get());
    // One TLS 1.2 suite, so its record sizes are known.
    SSL_CTX_set_cipher_list(server_context_.get(), "ECDHE-ECDSA-AES128-GCM-SHA256");
    server_.reset(SSL_new(server_context_.get()));
    server_in_ = BIO_new(BIO_s_mem());
    server_out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(server_.get(), server_in_, server_out_);
    SSL_set_accept_state(server_.get());

    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = protocols;
    settings.dwFlags = flags | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry{};
    acquired_ =
        AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(SCHANNEL_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &settings, nullptr, nullptr, &credential_, &expiry);
    SecInvalidateHandle(&context_);
  }
  ~Connection() {
    if (SecIsValidHandle(&context_)) DeleteSecurityContext(&context_);
    if (acquired_ == SEC_E_OK) FreeCredentialsHandle(&credential_);
  }

  SSL* server() { return server_.get(); }
  CtxtHandle* context() { return &context_; }
  CredHandle* credential() { return &credential_; }

  // What the server sends for what it got.
  Bytes server_answer(const Bytes& received) {
    BIO_write(server_in_, received.data(), static_cast<int>(received.size()));
    SSL_do_handshake(server());
    return drain(server_out_);
  }
  Bytes server_record(const std::string& text) {
    SSL_write(server(), text.data(), static_cast<int>(text.size()));
    return drain(server_out_);
  }
  // What the server has sent and the client not yet seen, from the end of the handshake on.
  Bytes server_output() { return joined(std::exchange(after_handshake_, {}), drain(server_out_)); }

  IscResult initialize(const Bytes* input, ULONG flags = 0) {
    Bytes copy = input != nullptr ? *input : Bytes();
    SecBuffer in_buffers[2] = {{static_cast<ULONG>(copy.size()), SECBUFFER_TOKEN, copy.data()},
                               {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in{SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffer{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out{SECBUFFER_VERSION, 1, &out_buffer};
    ULONG attributes = 0;
    TimeStamp expiry{};
    bool first = !SecIsValidHandle(&context_);
    IscResult result{};
    result.status = InitializeSecurityContextW(
        &credential_, first ? nullptr : &context_, const_cast<SEC_WCHAR*>(u"server.test"), kRequest | flags,
        0, SECURITY_NATIVE_DREP, input != nullptr ? &in : nullptr, 0, &context_, &out, &attributes, &expiry);
    auto* token = static_cast<unsigned char*>(out_buffer.pvBuffer);
    if (token != nullptr) result.token.assign(token, token + out_buffer.cbBuffer);
    FreeContextBuffer(out_buffer.pvBuffer);
    result.extra_type = in_buffers[1].BufferType;
    result.extra_count = in_buffers[1].cbBuffer;
    return result;
  }

  // Gives the input, and then again what comes back as extra while that holds a record and the
  // client has nothing to send yet; the input is left as the last call's.
  IscResult feed(Bytes& input, ULONG flags = 0) {
    for (;;) {
      IscResult step = initialize(&input, flags);
      if (step.status != SEC_I_CONTINUE_NEEDED || !step.token.empty() || step.extra_type != SECBUFFER_EXTRA ||
          step.extra_count < kRecordHeader || step.extra_count >= input.size())
        return step;
      input.erase(input.begin(), input.end() - step.extra_count);
    }
  }

  // The whole handshake, the server's first flight delivered in two pieces and every flight
  // followed by kTail. Returns the last status.
  SECURITY_STATUS handshake() {
    IscResult step = initialize(nullptr);
    EXPECT_EQ(step.status, SEC_I_CONTINUE_NEEDED);
    EXPECT_FALSE(step.token.empty());
    bool first_flight = true;
    while (step.status == SEC_I_CONTINUE_NEEDED) {
      Bytes flight = server_answer(step.token);
      if (first_flight) {
        Bytes piece(flight.begin(), flight.begin() + 3);
        IscResult partial = initialize(&piece);
        EXPECT_EQ(partial.status, SEC_E_INCOMPLETE_MESSAGE);
        EXPECT_TRUE(partial.token.empty());
        first_flight = false;
      }
      Bytes input = joined(flight, kTail);
      step = feed(input);
      if (step.status == SEC_I_CONTINUE_NEEDED || step.status == SEC_E_OK) {
        EXPECT_EQ(step.extra_type, ULONG{SECBUFFER_EXTRA});
        EXPECT_EQ(step.extra_count, kTail.size());
      }
    }
    if (step.status == SEC_E_OK) after_handshake_ = server_answer(step.token);
    return step.status;
  }

  SECURITY_STATUS encrypt(const std::string& text, Bytes& record) {
    SecPkgContext_StreamSizes sizes{};
    SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes);
    if (status != SEC_E_OK) return status;
    Bytes buffer(sizes.cbHeader + text.size() + sizes.cbTrailer);
    std::copy(text.begin(), text.end(), buffer.begin() + sizes.cbHeader);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, buffer.data()},
        {static_cast<ULONG>(text.size()), SECBUFFER_DATA, buffer.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, buffer.data() + sizes.cbHeader + text.size()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    status = EncryptMessage(&context_, 0, &message, 0);
    record.assign(buffer.begin(),
                  buffer.begin() + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    return status;
  }

  Decrypted decrypt(Bytes& bytes) {
    SecBuffer buffers[4] = {{static_cast<ULONG>(bytes.size()), SECBUFFER_DATA, bytes.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    Decrypted result{};
    result.status = DecryptMessage(&context_, &message, 0, nullptr);
    for (const SecBuffer& buffer : buffers) {
      const auto* at = static_cast<const unsigned char*>(buffer.pvBuffer);
      if (buffer.BufferType == SECBUFFER_DATA && result.status != SEC_E_INCOMPLETE_MESSAGE) {
        result.text.assign(reinterpret_cast<const char*>(at), buffer.cbBuffer);
        result.data = at;
      } else if (buffer.BufferType == SECBUFFER_EXTRA) {
        result.extra = at;
        result.extra_count = buffer.cbBuffer;
      } else if (buffer.BufferType == SECBUFFER_MISSING) {
        result.missing = buffer.cbBuffer;
      }
    }
    return result;
  }

  SECURITY_STATUS acquired() const { return acquired_; }

 private:
  ServerContext server_context_;
  Ssl server_;
  BIO* server_in_ = nullptr;
  BIO* server_out_ = nullptr;
  Bytes after_handshake_;
  CredHandle credential_{};
  CtxtHandle context_{};
  SECURITY_STATUS acquired_ = SEC_E_INTERNAL_ERROR;
};

struct Version {
  DWORD protocols;  // what the client enables
  int negotiated;
  ULONG header;
  ULONG trailer;
};

class SspiSession : public testing::TestWithParam<Version> {};

TEST_P(SspiSession, HandshakeRecordsInBothDirectionsAndClose) {
  const Version& version = GetParam();
  Connection tls(version.protocols);
  ASSERT_EQ(tls.acquired(), SEC_E_OK);
  ASSERT_EQ(tls.handshake(), SEC_E_OK);
  EXPECT_TRUE(SSL_is_init_finished(tls.server()));
  EXPECT_EQ(SSL_version(tls.server()), version.negotiated);

  SecPkgContext_StreamSizes sizes{};
  ASSERT_EQ(QueryContextAttributesW(tls.context(), SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_OK);
  EXPECT_EQ(sizes.cbHeader, version.header);
  EXPECT_EQ(sizes.cbTrailer, version.trailer);
  EXPECT_EQ(sizes.cbMaximumMessage, 16384u);
  EXPECT_EQ(sizes.cBuffers, 4u);
  EXPECT_EQ(sizes.cbBlockSize, 1u);

  // Client to server: one record, laid out exactly as header + data + trailer.
  const std::string hello = "hello, server";
  Bytes record;
  ASSERT_EQ(tls.encrypt(hello, record), SEC_E_OK);
  EXPECT_EQ(record.size(), sizes.cbHeader + hello.size() + sizes.cbTrailer);
  BIO_write(SSL_get_rbio(tls.server()), record.data(), static_cast<int>(record.size()));
  char got[64] = {};
  ASSERT_EQ(SSL_read(tls.server(), got, sizeof got), static_cast<int>(hello.size()));
  EXPECT_EQ(std::string(got, hello.size()), hello);

  // Server to client: whatever the server sent after its handshake (TLS 1.3's session tickets),
  // then two records, all in one buffer, taken one record per call.
  Bytes after_handshake = tls.server_output();
  Bytes one = tls.server_record("one");
  Bytes two = tls.server_record("two");
  Bytes pending = joined(joined(after_handshake, one), two);
  std::vector<std::string> texts;
  int renegotiations = 0;
  while (!pending.empty()) {
    Decrypted result = tls.decrypt(pending);
    Bytes rest(result.extra, result.extra + result.extra_count);
    if (result.status == SEC_I_RENEGOTIATE) {
      // A post-handshake message: nothing may be encrypted until the caller has answered it.
      ++renegotiations;
      Bytes refused;
      EXPECT_LT(tls.encrypt("too early", refused), 0);
      IscResult answer = tls.initialize(&rest);
      EXPECT_EQ(answer.status, SEC_E_OK);
      EXPECT_EQ(answer.extra_count, rest.size());
    } else {
      ASSERT_EQ(result.status, SEC_E_OK);
      EXPECT_GE(result.data, pending.data());
      EXPECT_LE(result.data + result.text.size(), pending.data() + pending.size());
      if (!result.text.empty()) texts.push_back(result.text);
      if (result.text == "one") {
        EXPECT_EQ(result.extra_count, two.size());
        EXPECT_EQ(result.extra, pending.data() + pending.size() - two.size());
      }
    }
    pending = rest;
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(renegotiations > 0, version.negotiated == TLS1_3_VERSION);
  ASSERT_EQ(tls.encrypt("after the tickets", record), SEC_E_OK);

  // A partial record is left whole to the caller, with the count still missing.
  Bytes partial = tls.server_record("partial");
  Bytes first_part(partial.begin(), partial.begin() + 10);
  Bytes untouched = first_part;
  Decrypted short_result = tls.decrypt(first_part);
  EXPECT_EQ(short_result.status, SEC_E_INCOMPLETE_MESSAGE);
  EXPECT_EQ(short_result.missing, partial.size() - 10);
  EXPECT_EQ(first_part, untouched);
  Decrypted whole = tls.decrypt(partial);
  EXPECT_EQ(whole.status, SEC_E_OK);
  EXPECT_EQ(whole.text, "partial");

  // The server's close_notify ends the context.
  SSL_shutdown(tls.server());
  Bytes close = tls.server_output();
  EXPECT_EQ(tls.decrypt(close).status, SEC_I_CONTEXT_EXPIRED);
  EXPECT_LT(tls.encrypt("after the close", record), 0);

  CtxtHandle deleted = *tls.context();
  EXPECT_EQ(DeleteSecurityContext(tls.context()), SEC_E_OK);
  SecInvalidateHandle(tls.context());
  EXPECT_EQ(DeleteSecurityContext(&deleted), SEC_E_INVALID_HANDLE);
  EXPECT_EQ(QueryContextAttributesW(&deleted, SECPKG_ATTR_STREAM_SIZES, &sizes), SEC_E_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(Versions, SspiSession,
                         testing::Values(Version{SP_PROT_TLS1_2_CLIENT, TLS1_2_VERSION, 13, 16},
                                         Version{0, TLS1_3_VERSION, 5, 17}),
                         [](const testing::TestParamInfo<Version>& info) {
                           return info.param.negotiated == TLS1_3_VERSION ? std::string("Tls13") : "Tls12";
                         });

// The records of a server flight in clear (TLS 1.2 before it switches to the new cipher), each with
// whether a handshake message ends in it.
struct Record {
  Bytes bytes;
  bool ends_message;
};

std::vector<Record> records_of(const Bytes& flight) {
  std::vector<Record> records;
  size_t left = 0;  // of the message under way; OpenSSL never splits a message's 4-byte header
  for (size_t at = 0; at + 5 <= flight.size();) {
    const size_t end = at + 5 + ((size_t{flight[at + 3]} << 8) | flight[at + 4]);
    for (size_t i = at + 5; i < end;) {
      if (left == 0)
        left = 4 + ((size_t{flight[i + 1]} << 16) | (size_t{flight[i + 2]} << 8) | flight[i + 3]);
      size_t step = std::min(left, end - i);
      left -= step;
      i += step;
    }
    records.push_back({Bytes(flight.begin() + at, flight.begin() + end), left == 0});
    at = end;
  }
  return records;
}

// The server sends a chain of three certificates in records of at most 512 bytes, so its
// certificate message spans records.
void cut_into_short_records(SSL* server) {
  SSL_set_max_send_fragment(server, 512);
  SSL_add1_chain_cert(server, identity().certificate.get());
  SSL_add1_chain_cert(server, identity().certificate.get());
}

TEST(SspiHandshake, MessagesAreTakenWholeAndACertificateRequestWaitsForTheCaller) {
  // Records that carry part of a message come back until it is whole.
  {
    Connection tls(SP_PROT_TLS1_2_CLIENT);
    cut_into_short_records(tls.server());
    Bytes flight = tls.server_answer(tls.initialize(nullptr).token);
    std::vector<Record> records = records_of(flight);
    ASSERT_GE(records.size(), 4u);
    ASSERT_TRUE(records[0].ends_message);   // the server hello
    ASSERT_FALSE(records[1].ends_message);  // the first part of the certificates
    Bytes hello_and_part = joined(records[0].bytes, records[1].bytes);
    IscResult step = tls.initialize(&hello_and_part);
    EXPECT_EQ(step.status, SEC_I_CONTINUE_NEEDED);
    EXPECT_TRUE(step.token.empty());
    EXPECT_EQ(step.extra_type, ULONG{SECBUFFER_EXTRA});
    EXPECT_EQ(step.extra_count, records[1].bytes.size());
    step = tls.initialize(&records[1].bytes);
    EXPECT_EQ(step.status, SEC_E_INCOMPLETE_MESSAGE);
    EXPECT_EQ(step.extra_type, ULONG{SECBUFFER_MISSING});
    // The rest of the flight: one message per call, the whole records behind it handed back.
    Bytes rest(flight.begin() + static_cast<std::ptrdiff_t>(records[0].bytes.size()), flight.end());
    int calls = 0;
    for (step.extra_count = static_cast<ULONG>(rest.size()); step.extra_count > 0 && calls < 10; ++calls) {
      rest.erase(rest.begin(), rest.end() - step.extra_count);
      step = tls.initialize(&rest);
      ASSERT_EQ(step.status, SEC_I_CONTINUE_NEEDED);
      EXPECT_EQ(step.token.empty(), step.extra_type == SECBUFFER_EXTRA);
      if (step.extra_type != SECBUFFER_EXTRA) step.extra_count = 0;
    }
    EXPECT_EQ(calls, 3);  // the certificates, the key exchange, the end of the server's hello
    Bytes finish = tls.server_answer(step.token);
    EXPECT_EQ(tls.feed(finish).status, SEC_E_OK);
  }
  // What was handed back as incomplete must come again: leaving it out fails the handshake.
  {
    Connection tls(SP_PROT_TLS1_2_CLIENT);
    cut_into_short_records(tls.server());
    Bytes flight = tls.server_answer(tls.initialize(nullptr).token);
    std::vector<Record> records = records_of(flight);
    ASSERT_GE(records.size(), 3u);
    ASSERT_EQ(tls.initialize(&records[0].bytes).status, SEC_I_CONTINUE_NEEDED);
    ASSERT_EQ(tls.initialize(&records[1].bytes).status, SEC_E_INCOMPLETE_MESSAGE);
    EXPECT_EQ(tls.initialize(&records[2].bytes).status, SEC_E_INVALID_TOKEN);
  }
  // A request for a client certificate gets the same answer for the same input until the caller
  // says to go on without one; the server then gets none.
  {
    Connection tls(SP_PROT_TLS1_2_CLIENT);
    SSL_set_verify(tls.server(), SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
    Bytes flight = tls.server_answer(tls.initialize(nullptr).token);
    for (int asked = 0; asked < 2; ++asked) {
      IscResult step = tls.feed(flight);
      EXPECT_EQ(step.status, SEC_I_INCOMPLETE_CREDENTIALS);
      EXPECT_TRUE(step.token.empty());
      EXPECT_EQ(step.extra_type, ULONG{SECBUFFER_EMPTY});
    }
    IscResult step = tls.initialize(&flight, ISC_REQ_USE_SUPPLIED_CREDS);
    ASSERT_EQ(step.status, SEC_I_CONTINUE_NEEDED);
    Bytes finish = tls.server_answer(step.token);
    EXPECT_EQ(tls.feed(finish).status, SEC_E_OK);
    EXPECT_TRUE(SSL_is_init_finished(tls.server()));
    EXPECT_EQ(SSL_get0_peer_certificate(tls.server()), nullptr);
  }
}

TEST(SspiFaults, DamagedRecordsFailTheContext) {
  // A server flight whose record type is garbage fails the handshake.
  {
    Connection tls;
    IscResult hello = tls.initialize(nullptr);
    Bytes flight = tls.server_answer(hello.token);
    flight[0] = 0x63;
    EXPECT_LT(tls.initialize(&flight).status, 0);
  }
  // After the handshake: a flipped ciphertext byte, a garbage type, a length over the limit.
  for (int damage = 0; damage < 3; ++damage) {
    SCOPED_TRACE(damage);
    Connection tls(SP_PROT_TLS1_2_CLIENT);
    ASSERT_EQ(tls.handshake(), SEC_E_OK);
    Bytes record = tls.server_record("text");
    if (damage == 0) record[record.size() - 3] ^= 0x40;
    if (damage == 1) record[0] = 0x63;
    if (damage == 2) {
      record[3] = 0x48;  // 18433 bytes, one more than any record may hold
      record[4] = 0x01;
    }
    Decrypted result = tls.decrypt(record);
    EXPECT_LT(result.status, 0);
    EXPECT_NE(result.status, SEC_E_INCOMPLETE_MESSAGE);
  }
  EXPECT_EQ(FreeCredentialsHandle(nullptr), SEC_E_INVALID_HANDLE);
}

TEST(SspiCertificates, HashChainAndPolicyOfThePeerCertificate) {
  Connection tls;
  ASSERT_EQ(tls.handshake(), SEC_E_OK);
  PCCERT_CONTEXT peer = nullptr;
  ASSERT_EQ(QueryContextAttributesW(tls.context(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer), SEC_E_OK);
  ASSERT_NE(peer, nullptr);
  EXPECT_EQ(Bytes(peer->pbCertEncoded, peer->pbCertEncoded + peer->cbCertEncoded), identity().der);
  EXPECT_EQ(peer->dwCertEncodingType, DWORD{X509_ASN_ENCODING | PKCS_7_ASN_ENCODING});

  BYTE hash[32] = {};
  DWORD hash_size = sizeof hash;
  ASSERT_TRUE(CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, peer->pbCertEncoded,
                                    peer->cbCertEncoded, hash, &hash_size));
  unsigned char fingerprint[EVP_MAX_MD_SIZE];
  unsigned int fingerprint_size = 0;
  X509_digest(identity().certificate.get(), EVP_sha256(), fingerprint, &fingerprint_size);
  EXPECT_EQ(Bytes(hash, hash + hash_size), Bytes(fingerprint, fingerprint + fingerprint_size));
  DWORD too_small = 31;
  EXPECT_FALSE(CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, peer->pbCertEncoded,
                                     peer->cbCertEncoded, hash, &too_small));

  auto policy_error = [peer](const char16_t* server_name) {
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    CERT_CHAIN_PARA chain_parameters{};
    chain_parameters.cbSize = sizeof chain_parameters;
    EXPECT_TRUE(CertGetCertificateChain(nullptr, peer, nullptr, peer->hCertStore, &chain_parameters, 0,
                                        nullptr, &chain));
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_parameters{};
    ssl_parameters.cbSize = sizeof ssl_parameters;
    ssl_parameters.dwAuthType = AUTHTYPE_SERVER;
    ssl_parameters.pwszServerName = const_cast<WCHAR*>(server_name);
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl_parameters;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    EXPECT_TRUE(CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status));
    CertFreeCertificateChain(chain);
    return static_cast<HRESULT>(status.dwError);
  };
  EXPECT_EQ(policy_error(u"server.test"), CERT_E_UNTRUSTEDROOT);

  // Once the certificate is in the trust store, only the name decides.
  setenv("SSL_CERT_FILE", identity().pem_file.c_str(), 1);
  EXPECT_EQ(policy_error(u"server.test"), 0);
  EXPECT_EQ(policy_error(u"other.test"), CERT_E_CN_NO_MATCH);
  EXPECT_EQ(policy_error(u"192.0.2.1"), CERT_E_CN_NO_MATCH);
  EXPECT_TRUE(CertFreeCertificateContext(peer));

  // Credentials that leave the check to the system: the handshake itself fails when the
  // certificate is not trusted.
  {
    Connection checked(0, 0);
    EXPECT_EQ(checked.handshake(), SEC_E_OK);
  }
  unsetenv("SSL_CERT_FILE");
  Connection unchecked(0, 0);
  EXPECT_EQ(unchecked.handshake(), SEC_E_UNTRUSTED_ROOT);
}

}  // namespace
