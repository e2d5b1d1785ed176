// The SSPI calls of the system's TLS (SChannel through secur32) for a client: credentials, the
// handshake through InitializeSecurityContextW, the stream sizes and the peer's certificate, and
// one TLS record at a time through EncryptMessage and DecryptMessage. Over OpenSSL, with memory
// BIOs, so bytes go in and out only through the caller's buffers, as with the system's calls.
//
// Where SChannel behaves in a way its callers must cope with, this does the same, and where it
// leaves something open this takes the stricter reading:
// - only whole records are taken from the caller: a partial one is left to it (SECBUFFER_EXTRA,
//   or SEC_E_INCOMPLETE_MESSAGE when nothing whole is there), so it must keep and prepend them;
// - during the handshake, one call uses the records up to the first that ends a handshake message
//   (OpenSSL's peers start every message in a record of its own, so that is where messages end)
//   and hands the rest back as SECBUFFER_EXTRA, whole records too: the caller calls again at once.
//   Records that carry only part of a message (a long certificate chain spread over several) come
//   back as SEC_E_INCOMPLETE_MESSAGE until the rest is there; OpenSSL has read them all the same,
//   so the caller must give exactly those bytes again at the front of its next input, or the call
//   fails;
// - a server's request for a client certificate makes InitializeSecurityContextW return
//   SEC_I_INCOMPLETE_CREDENTIALS, and again on every call that gives the same input once more,
//   until the caller adds ISC_REQ_USE_SUPPLIED_CREDS: the handshake then goes on without one;
// - a handshake message after the handshake (a TLS 1.3 session ticket or key update, a TLS 1.2
//   hello request) makes DecryptMessage return SEC_I_RENEGOTIATE, and the context encrypts
//   nothing more until the caller has called InitializeSecurityContextW again with the bytes
//   that followed (it hands them back whole as SECBUFFER_EXTRA, with anything OpenSSL wants sent).
//   A TLS 1.2 renegotiation is a whole new handshake, which this does not carry out: the call
//   that would answer it fails the context;
// - the cipher suites are AEAD ones (ECDHE with AES-GCM or CHACHA20-POLY1305) and, behind them,
//   AES-CBC ones with the MAC inside the encryption, as SChannel has it. A CBC record's trailer
//   (MAC and padding) varies with the length of its text: QueryContextAttributesW reports the
//   most, EncryptMessage says how much it used, and DecryptMessage's buffers lie accordingly;
// - ApplyControlToken takes SCHANNEL_SHUTDOWN only; the next InitializeSecurityContextW then
//   writes the close_notify alert, and the context encrypts nothing more.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/certificates.h"
#include "platform/linux/older_windows.h"
#include "platform/win32.h"

namespace {

constexpr size_t kRecordHeader = 5;
constexpr size_t kMaxPlaintext = 16384;
// The longest record body TLS 1.2 allows (the plaintext limit plus 2048 of expansion; TLS 1.3
// allows less). A header that declares more is refused before its body is looked at.
constexpr size_t kMaxRecordBody = kMaxPlaintext + 2048;
constexpr unsigned char kChangeCipherSpec = 20;
constexpr unsigned char kApplicationData = 23;
// The second word of a handle says which table its first word indexes.
constexpr ULONG_PTR kCredentialTag = 0x53435244;
constexpr ULONG_PTR kContextTag = 0x53435458;

constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES256-SHA384:"
    "ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA:ECDHE-RSA-AES256-SHA";
constexpr char kTls13Suites[] = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

struct ContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

struct Credential {
  std::unique_ptr<SSL_CTX, ContextFree> tls;
  bool manual_validation = false;
};

enum class Stage { handshaking, open, closed, failed };

struct Context {
  // The plug-in encrypts on one thread while it decrypts on another, and OpenSSL's SSL is not
  // safe for that: every call on a context holds this lock for its whole length.
  std::mutex lock;
  std::unique_ptr<SSL, SslFree> ssl;
  BIO* incoming = nullptr;  // records from the peer, written here and read by OpenSSL; owned by ssl
  BIO* outgoing = nullptr;  // what OpenSSL wants sent; owned by ssl
  Stage stage = Stage::handshaking;
  SECURITY_STATUS failure = SEC_E_INTERNAL_ERROR;  // what every call returns once the stage is failed
  bool manual_validation = false;
  std::string server_name;  // empty for none (an IP literal or no target name)
  // Set by OpenSSL's message callback when the peer sends a handshake message after the handshake.
  bool post_handshake_message = false;
  // The peer's whole messages (handshake messages, the switch to the new cipher, alerts) read so far.
  uint64_t messages_read = 0;
  // Bytes of the caller's input that OpenSSL has read but that were handed back to the caller
  // (incomplete, extra, or the input of a call answered with SEC_I_INCOMPLETE_CREDENTIALS): the
  // next call's input must start with them. `held_used` of them ended a message: they count as
  // used once given again.
  std::vector<unsigned char> held;
  size_t held_used = 0;
  // The server asked for a client certificate and the handshake waits for the caller's answer.
  bool certificate_requested = false;
  bool without_certificate = false;  // the call under way goes on without one
  // ApplyControlToken's SCHANNEL_SHUTDOWN: the next InitializeSecurityContextW writes close_notify.
  bool shutdown_requested = false;
  // Between DecryptMessage's SEC_I_RENEGOTIATE and the caller's InitializeSecurityContextW.
  bool renegotiation_pending = false;
  std::vector<unsigned char> pending_output;  // what that message made OpenSSL want sent
  std::vector<unsigned char> plaintext = std::vector<unsigned char>(kMaxPlaintext);
};

struct Handles {
  std::mutex lock;  // guards the tables only; no OpenSSL work is done under it
  ULONG_PTR next = 1;
  std::map<ULONG_PTR, std::shared_ptr<Credential>> credentials;
  std::map<ULONG_PTR, std::shared_ptr<Context>> contexts;
};

Handles& handles() {
  static Handles instance;
  return instance;
}

// A call keeps its own share of the record, so a DeleteSecurityContext on another thread frees
// it only when the call is over.
std::shared_ptr<Credential> find_credential(const CredHandle* handle) {
  if (handle == nullptr || handle->dwUpper != kCredentialTag) return nullptr;
  Handles& all = handles();
  std::lock_guard guard(all.lock);
  auto found = all.credentials.find(handle->dwLower);
  return found == all.credentials.end() ? nullptr : found->second;
}

std::shared_ptr<Context> find_context(const CtxtHandle* handle) {
  if (handle == nullptr || handle->dwUpper != kContextTag) return nullptr;
  Handles& all = handles();
  std::lock_guard guard(all.lock);
  auto found = all.contexts.find(handle->dwLower);
  return found == all.contexts.end() ? nullptr : found->second;
}

void set_expiry(PTimeStamp expiry) {
  if (expiry != nullptr) expiry->QuadPart = INT64_MAX;  // the system's "never"
}

std::vector<unsigned char> drain(BIO* bio) {
  std::vector<unsigned char> bytes(BIO_ctrl_pending(bio));
  if (!bytes.empty()) {
    int read = BIO_read(bio, bytes.data(), static_cast<int>(bytes.size()));
    bytes.resize(read > 0 ? static_cast<size_t>(read) : 0);
  }
  return bytes;
}

// The output token: allocated here (freed by FreeContextBuffer) under ISC_REQ_ALLOCATE_MEMORY,
// else copied into the caller's buffer, which must be large enough.
SECURITY_STATUS put_token(SecBuffer& token, const std::vector<unsigned char>& bytes, bool allocate) {
  if (bytes.empty()) {
    token.cbBuffer = 0;
    if (allocate) token.pvBuffer = nullptr;
    return SEC_E_OK;
  }
  if (allocate) {
    token.pvBuffer = std::malloc(bytes.size());
    if (token.pvBuffer == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  } else if (token.pvBuffer == nullptr || token.cbBuffer < bytes.size()) {
    token.cbBuffer = 0;
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  std::memcpy(token.pvBuffer, bytes.data(), bytes.size());
  token.cbBuffer = static_cast<ULONG>(bytes.size());
  return SEC_E_OK;
}

void on_message(int write_p, int, int content_type, const void*, size_t, SSL*, void* argument) {
  auto* context = static_cast<Context*>(argument);
  if (write_p) return;
  if (content_type == SSL3_RT_HANDSHAKE || content_type == SSL3_RT_CHANGE_CIPHER_SPEC ||
      content_type == SSL3_RT_ALERT)
    ++context->messages_read;
  if (content_type == SSL3_RT_HANDSHAKE && context->stage == Stage::open)
    context->post_handshake_message = true;
}

// OpenSSL asks this when the server wants a client certificate: the handshake stops there
// (SSL_ERROR_WANT_X509_LOOKUP) until the caller says to go on without one, and then none is sent.
int on_certificate_request(SSL* ssl, X509**, EVP_PKEY**) {
  auto* context = static_cast<Context*>(SSL_get_app_data(ssl));
  return context->without_certificate ? 0 : -1;
}

// Why OpenSSL gave up on a handshake, as the status SChannel gives.
SECURITY_STATUS handshake_failure() {
  switch (ERR_GET_REASON(ERR_peek_last_error())) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_WRONG_SSL_VERSION:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_WRONG_CIPHER_RETURNED:
      return SEC_E_ALGORITHM_MISMATCH;
    default:
      return SEC_E_ILLEGAL_MESSAGE;
  }
}

// Header and trailer of one record under the negotiated suite: TLS 1.3 adds the inner content
// type and the tag; TLS 1.2's AES-GCM sends an explicit 8-byte nonce, CHACHA20 none; AES-CBC an
// explicit IV of one block, and at most the MAC and a whole block of padding after the text.
bool stream_sizes(SSL* ssl, SecPkgContext_StreamSizes& sizes) {
  constexpr ULONG kTag = 16;
  constexpr ULONG kAesBlock = 16;
  sizes.cbMaximumMessage = kMaxPlaintext;
  sizes.cBuffers = 4;
  sizes.cbBlockSize = 1;
  if (SSL_version(ssl) == TLS1_3_VERSION) {
    sizes.cbHeader = kRecordHeader;
    sizes.cbTrailer = kTag + 1;
    return true;
  }
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl);
  int nid = cipher != nullptr ? SSL_CIPHER_get_cipher_nid(cipher) : NID_undef;
  if (nid == NID_aes_128_cbc || nid == NID_aes_256_cbc) {
    ULONG mac = 0;
    switch (SSL_CIPHER_get_digest_nid(cipher)) {
      case NID_sha1:
        mac = 20;
        break;
      case NID_sha256:
        mac = 32;
        break;
      case NID_sha384:
        mac = 48;
        break;
      default:
        return false;
    }
    sizes.cbHeader = kRecordHeader + kAesBlock;
    sizes.cbTrailer = mac + kAesBlock;
    sizes.cbBlockSize = kAesBlock;
    return true;
  }
  sizes.cbTrailer = kTag;
  if (nid == NID_aes_128_gcm || nid == NID_aes_256_gcm) {
    sizes.cbHeader = kRecordHeader + 8;
    return true;
  }
  if (nid == NID_chacha20_poly1305) {
    sizes.cbHeader = kRecordHeader;
    return true;
  }
  return false;
}

// SChannel's own check of the server's certificate, for credentials that did not ask to check it
// themselves: the system's trust store and the target name, through the same calls a caller makes.
SECURITY_STATUS validate_server(Context& context) {
  PCCERT_CONTEXT certificate = certificate_context_of_peer(context.ssl.get());
  if (certificate == nullptr) return SEC_E_UNTRUSTED_ROOT;
  LPSTR server_use[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chain_parameters{};
  chain_parameters.cbSize = sizeof chain_parameters;
  chain_parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chain_parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_parameters.RequestedUsage.Usage.rgpszUsageIdentifier = server_use;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  SECURITY_STATUS status = SEC_E_UNTRUSTED_ROOT;
  if (CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_parameters, 0,
                              nullptr, &chain)) {
    std::u16string wide_name(context.server_name.begin(), context.server_name.end());
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_parameters{};
    ssl_parameters.cbSize = sizeof ssl_parameters;
    ssl_parameters.dwAuthType = AUTHTYPE_SERVER;
    ssl_parameters.pwszServerName = wide_name.empty() ? nullptr : wide_name.data();
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl_parameters;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict)) {
      switch (static_cast<HRESULT>(verdict.dwError)) {
        case 0:
          status = SEC_E_OK;
          break;
        case CERT_E_CN_NO_MATCH:
          status = SEC_E_WRONG_PRINCIPAL;
          break;
        case CERT_E_EXPIRED:
          status = SEC_E_CERT_EXPIRED;
          break;
        default:
          status = SEC_E_UNTRUSTED_ROOT;
      }
    }
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return status;
}

ULONG granted_attributes(ULONG requested) {
  constexpr ULONG kGranted = ISC_RET_REPLAY_DETECT | ISC_RET_SEQUENCE_DETECT | ISC_RET_CONFIDENTIALITY |
                             ISC_RET_ALLOCATED_MEMORY | ISC_RET_EXTENDED_ERROR | ISC_RET_STREAM |
                             ISC_RET_MANUAL_CRED_VALIDATION;
  return requested & kGranted;  // the ISC_RET_ bits have the values of the ISC_REQ_ ones they answer
}

SECURITY_STATUS fail(Context& context, SECURITY_STATUS status) {
  context.stage = Stage::failed;
  context.failure = status;
  return status;
}

// The first call: a new context and its ClientHello.
SECURITY_STATUS start_handshake(Credential& credential, const SEC_WCHAR* target, ULONG requested,
                                PCtxtHandle new_handle, SecBuffer& token) {
  auto context = std::make_shared<Context>();
  context->ssl.reset(SSL_new(credential.tls.get()));
  context->incoming = BIO_new(BIO_s_mem());
  context->outgoing = BIO_new(BIO_s_mem());
  if (!context->ssl || context->incoming == nullptr || context->outgoing == nullptr) {
    BIO_free(context->incoming);
    BIO_free(context->outgoing);
    return SEC_E_INSUFFICIENT_MEMORY;
  }
  SSL_set_bio(context->ssl.get(), context->incoming, context->outgoing);
  SSL_set_connect_state(context->ssl.get());
  SSL_set_msg_callback(context->ssl.get(), on_message);
  SSL_set_msg_callback_arg(context->ssl.get(), context.get());
  SSL_set_app_data(context->ssl.get(), context.get());
  context->manual_validation =
      credential.manual_validation || (requested & ISC_REQ_MANUAL_CRED_VALIDATION) != 0;
  std::string name;
  if (ascii_server_name(target, name) && !is_ip_literal(name)) {
    context->server_name = name;
    SSL_set_tlsext_host_name(context->ssl.get(), name.c_str());
  }
  ERR_clear_error();
  int result = SSL_do_handshake(context->ssl.get());
  if (result == 1 || SSL_get_error(context->ssl.get(), result) != SSL_ERROR_WANT_READ)
    return SEC_E_INTERNAL_ERROR;
  SECURITY_STATUS status =
      put_token(token, drain(context->outgoing), (requested & ISC_REQ_ALLOCATE_MEMORY) != 0);
  if (status != SEC_E_OK) return status;
  Handles& all = handles();
  std::lock_guard guard(all.lock);
  ULONG_PTR id = all.next++;
  all.contexts.emplace(id, std::move(context));
  new_handle->dwLower = id;
  new_handle->dwUpper = kContextTag;
  return SEC_I_CONTINUE_NEEDED;
}

// A later call during the handshake: whole records from the input, one at a time, until one ends
// a message, the handshake stops for a client certificate, or the whole ones are used up (see
// the top of the file).
SECURITY_STATUS continue_handshake(Context& context, SecBufferDesc& input, SecBuffer& token,
                                   ULONG requested) {
  const bool allocate = (requested & ISC_REQ_ALLOCATE_MEMORY) != 0;
  SecBuffer& received = input.pBuffers[0];
  SecBuffer& extra = input.pBuffers[1];
  const auto* bytes = static_cast<const unsigned char*>(received.pvBuffer);
  const size_t size = received.cbBuffer;
  size_t absorbed = context.held.size();  // what OpenSSL has read of this input
  if (absorbed > size || (absorbed > 0 && std::memcmp(bytes, context.held.data(), absorbed) != 0)) {
    put_token(token, {}, allocate);
    return fail(context, SEC_E_INVALID_TOKEN);  // the caller lost or changed bytes it was handed back
  }
  size_t used = context.held_used;
  context.without_certificate = (requested & ISC_REQ_USE_SUPPLIED_CREDS) != 0;
  bool finished = false;
  bool asks_for_certificate = false;
  SECURITY_STATUS status = SEC_I_CONTINUE_NEEDED;
  ERR_clear_error();
  // One step of OpenSSL's handshake; false once no more input is to be read.
  auto advance = [&] {
    const uint64_t messages = context.messages_read;
    int result = SSL_do_handshake(context.ssl.get());
    if (result == 1) {
      finished = true;
    } else {
      switch (SSL_get_error(context.ssl.get(), result)) {
        case SSL_ERROR_WANT_READ:
          break;
        case SSL_ERROR_WANT_X509_LOOKUP:
          asks_for_certificate = true;
          break;
        default:
          status = fail(context, handshake_failure());
          return false;
      }
    }
    if (context.messages_read != messages || finished || asks_for_certificate) used = absorbed;
    return !finished && !asks_for_certificate;
  };
  // A handshake that stopped for a client certificate goes on from there before reading more.
  bool reading = !context.certificate_requested || advance();
  while (reading && size - absorbed >= kRecordHeader) {
    const unsigned char* record = bytes + absorbed;
    size_t body = (static_cast<size_t>(record[3]) << 8) | record[4];
    if (record[0] < kChangeCipherSpec || record[0] > kApplicationData || body > kMaxRecordBody) {
      // TLS 1.3 sends its encrypted handshake as application-data records, so that type is let in.
      status = fail(context, SEC_E_ILLEGAL_MESSAGE);
      break;
    }
    if (size - absorbed < kRecordHeader + body) break;
    BIO_write(context.incoming, record, static_cast<int>(kRecordHeader + body));
    absorbed += kRecordHeader + body;
    reading = advance() && used < absorbed;
    if (context.stage != Stage::failed && BIO_ctrl_pending(context.incoming) != 0)
      status = fail(context, SEC_E_INTERNAL_ERROR);  // OpenSSL left part of a whole record unread
    if (context.stage == Stage::failed) break;
  }
  std::vector<unsigned char> output = drain(context.outgoing);
  if (context.stage == Stage::failed) {
    context.held.clear();
    put_token(token, output, allocate);  // the alert OpenSSL made, for the server
    return status;
  }
  if (asks_for_certificate) {
    // The caller answers with the same input again.
    context.certificate_requested = true;
    context.held.assign(bytes, bytes + absorbed);
    context.held_used = used;
    SECURITY_STATUS put = put_token(token, output, allocate);
    return put != SEC_E_OK ? put : SEC_I_INCOMPLETE_CREDENTIALS;
  }
  context.certificate_requested = false;
  if (used == 0) {
    // No message ended: everything comes again, with more.
    context.held.assign(bytes, bytes + absorbed);
    context.held_used = 0;
    size_t missing = kRecordHeader;  // whole records that end no message: at least one more record
    if (size - absorbed >= kRecordHeader) {
      missing = kRecordHeader + ((static_cast<size_t>(bytes[absorbed + 3]) << 8) | bytes[absorbed + 4]) -
                (size - absorbed);
    } else if (size > absorbed) {
      missing = kRecordHeader - (size - absorbed);
    }
    extra.BufferType = SECBUFFER_MISSING;
    extra.cbBuffer = static_cast<ULONG>(missing);
    extra.pvBuffer = nullptr;
    put_token(token, {}, allocate);
    return SEC_E_INCOMPLETE_MESSAGE;
  }
  context.held.assign(bytes + used, bytes + absorbed);
  context.held_used = 0;
  if (finished) {
    context.stage = Stage::open;
    status = context.manual_validation ? SEC_E_OK : validate_server(context);
    if (status != SEC_E_OK) {
      fail(context, status);
      output.clear();
    }
  }
  if (used < size) {
    extra.BufferType = SECBUFFER_EXTRA;
    extra.cbBuffer = static_cast<ULONG>(size - used);
    extra.pvBuffer = nullptr;
  }
  SECURITY_STATUS put = put_token(token, output, allocate);
  return put != SEC_E_OK && status >= 0 ? put : status;
}

// The call after ApplyControlToken(SCHANNEL_SHUTDOWN): the close_notify alert, and the end of
// encrypting.
SECURITY_STATUS close_context(Context& context, SecBuffer& token, bool allocate) {
  context.shutdown_requested = false;
  ERR_clear_error();
  SSL_shutdown(context.ssl.get());
  context.stage = Stage::closed;
  return put_token(token, drain(context.outgoing), allocate);
}

// The call that answers SEC_I_RENEGOTIATE: OpenSSL has already read the message, so it only hands
// out what that made OpenSSL want sent, and gives back every input byte as extra.
SECURITY_STATUS after_post_handshake(Context& context, PSecBufferDesc input, SecBuffer& token,
                                     bool allocate) {
  ERR_clear_error();
  SSL_do_handshake(
      context.ssl.get());  // sends a key update the peer asked for now, not before the next record
  std::vector<unsigned char> output = std::move(context.pending_output);
  context.pending_output.clear();
  std::vector<unsigned char> more = drain(context.outgoing);
  output.insert(output.end(), more.begin(), more.end());
  context.renegotiation_pending = false;
  if (input != nullptr && input->cBuffers >= 2 && input->pBuffers != nullptr &&
      input->pBuffers[0].cbBuffer != 0) {
    input->pBuffers[1].BufferType = SECBUFFER_EXTRA;
    input->pBuffers[1].cbBuffer = input->pBuffers[0].cbBuffer;
    input->pBuffers[1].pvBuffer = nullptr;
  }
  return put_token(token, output, allocate);
}

SecBuffer* find_buffer(SecBufferDesc& message, ULONG type) {
  SecBuffer* found = nullptr;
  for (ULONG i = 0; i < message.cBuffers; ++i) {
    if (message.pBuffers[i].BufferType != type) continue;
    if (found != nullptr) return nullptr;  // two of a kind: the caller's layout is not one record
    found = &message.pBuffers[i];
  }
  return found;
}

}  // namespace

extern "C" {

SECURITY_STATUS WINAPI AcquireCredentialsHandleW(SEC_WCHAR*, SEC_WCHAR* pszPackage, ULONG fCredentialUse,
                                                 void*, void* pAuthData, SEC_GET_KEY_FN, void*,
                                                 PCredHandle phCredential, PTimeStamp ptsExpiry) {
  if (phCredential == nullptr) return SEC_E_INVALID_PARAMETER;
  if (pszPackage == nullptr || std::u16string_view(pszPackage) != SCHANNEL_NAME_W)
    return SEC_E_SECPKG_NOT_FOUND;
  // A client only: a server's side would need a certificate of its own.
  if (fCredentialUse != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
  const auto* settings = static_cast<const SCHANNEL_CRED*>(pAuthData);
  if (settings != nullptr && settings->dwVersion != SCHANNEL_CRED_VERSION) return SEC_E_UNKNOWN_CREDENTIALS;
  if (settings != nullptr && settings->cCreds != 0)
    return SEC_E_UNSUPPORTED_FUNCTION;  // no client certificates

  // No protocol named means the system's choice, TLS 1.2 and 1.3; nothing below 1.2 is ever spoken.
  DWORD asked = settings != nullptr ? settings->grbitEnabledProtocols : 0;
  DWORD versions = asked == 0 ? (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)
                              : asked & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
  if (versions == 0) return SEC_E_ALGORITHM_MISMATCH;
  if (platform_pretends_older_windows()) return SEC_E_ALGORITHM_MISMATCH;  // it knows neither
  auto credential = std::make_shared<Credential>();
  credential->tls.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX* tls = credential->tls.get();
  if (tls == nullptr) return SEC_E_INSUFFICIENT_MEMORY;
  SSL_CTX_set_min_proto_version(tls, (versions & SP_PROT_TLS1_2_CLIENT) ? TLS1_2_VERSION : TLS1_3_VERSION);
  SSL_CTX_set_max_proto_version(tls, (versions & SP_PROT_TLS1_3_CLIENT) ? TLS1_3_VERSION : TLS1_2_VERSION);
  if (SSL_CTX_set_cipher_list(tls, kTls12Ciphers) != 1 || SSL_CTX_set_ciphersuites(tls, kTls13Suites) != 1) {
    return SEC_E_INTERNAL_ERROR;
  }
  // The certificate is judged after the handshake (by the caller, or by validate_server), never
  // by OpenSSL inside it.
  SSL_CTX_set_verify(tls, SSL_VERIFY_NONE, nullptr);
  // SChannel puts a CBC record's MAC inside the encryption (it has no encrypt-then-MAC), so its
  // trailer is MAC and padding together.
  SSL_CTX_set_options(tls, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_ENCRYPT_THEN_MAC);
  SSL_CTX_set_client_cert_cb(tls, on_certificate_request);
  SSL_CTX_set_session_cache_mode(tls, SSL_SESS_CACHE_OFF);
  credential->manual_validation =
      settings != nullptr && (settings->dwFlags & SCH_CRED_MANUAL_CRED_VALIDATION) != 0;

  Handles& all = handles();
  std::lock_guard guard(all.lock);
  ULONG_PTR id = all.next++;
  all.credentials.emplace(id, std::move(credential));
  phCredential->dwLower = id;
  phCredential->dwUpper = kCredentialTag;
  set_expiry(ptsExpiry);
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI FreeCredentialsHandle(PCredHandle phCredential) {
  if (phCredential == nullptr || phCredential->dwUpper != kCredentialTag) return SEC_E_INVALID_HANDLE;
  std::shared_ptr<Credential> credential;  // freed after the lock is let go
  Handles& all = handles();
  std::lock_guard guard(all.lock);
  auto found = all.credentials.find(phCredential->dwLower);
  if (found == all.credentials.end()) return SEC_E_INVALID_HANDLE;
  credential = std::move(found->second);
  all.credentials.erase(found);
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI InitializeSecurityContextW(PCredHandle phCredential, PCtxtHandle phContext,
                                                  SEC_WCHAR* pszTargetName, ULONG fContextReq, ULONG, ULONG,
                                                  PSecBufferDesc pInput, ULONG, PCtxtHandle phNewContext,
                                                  PSecBufferDesc pOutput, ULONG* pfContextAttr,
                                                  PTimeStamp ptsExpiry) {
  if (pOutput == nullptr || pOutput->cBuffers < 1 || pOutput->pBuffers == nullptr ||
      pOutput->pBuffers[0].BufferType != SECBUFFER_TOKEN) {
    return SEC_E_INVALID_TOKEN;
  }
  SecBuffer& token = pOutput->pBuffers[0];
  bool allocate = (fContextReq & ISC_REQ_ALLOCATE_MEMORY) != 0;
  if (pfContextAttr != nullptr) *pfContextAttr = granted_attributes(fContextReq);
  set_expiry(ptsExpiry);

  if (phContext == nullptr) {
    std::shared_ptr<Credential> credential = find_credential(phCredential);
    if (!credential || phNewContext == nullptr) return SEC_E_INVALID_HANDLE;
    return start_handshake(*credential, pszTargetName, fContextReq, phNewContext, token);
  }

  std::shared_ptr<Context> context = find_context(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (phNewContext != nullptr && phNewContext != phContext) *phNewContext = *phContext;
  std::lock_guard guard(context->lock);
  if (context->stage == Stage::failed) return context->failure;
  if (context->shutdown_requested) return close_context(*context, token, allocate);
  if (context->stage != Stage::handshaking) {
    if (!context->renegotiation_pending) return SEC_E_UNSUPPORTED_FUNCTION;
    // TLS 1.2's renegotiation would be a new handshake inside this one; it is not carried out.
    if (SSL_version(context->ssl.get()) != TLS1_3_VERSION) return fail(*context, SEC_E_UNSUPPORTED_FUNCTION);
    return after_post_handshake(*context, pInput, token, allocate);
  }
  if (pInput == nullptr || pInput->cBuffers < 2 || pInput->pBuffers == nullptr ||
      pInput->pBuffers[0].BufferType != SECBUFFER_TOKEN ||
      (pInput->pBuffers[0].pvBuffer == nullptr && pInput->pBuffers[0].cbBuffer != 0)) {
    return SEC_E_INVALID_TOKEN;
  }
  return continue_handshake(*context, *pInput, token, fContextReq);
}

SECURITY_STATUS WINAPI ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput) {
  std::shared_ptr<Context> context = find_context(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (pInput == nullptr || pInput->cBuffers != 1 || pInput->pBuffers == nullptr ||
      pInput->pBuffers[0].BufferType != SECBUFFER_TOKEN || pInput->pBuffers[0].pvBuffer == nullptr ||
      pInput->pBuffers[0].cbBuffer < sizeof(DWORD)) {
    return SEC_E_INVALID_TOKEN;
  }
  DWORD type = 0;
  std::memcpy(&type, pInput->pBuffers[0].pvBuffer, sizeof type);
  if (type != SCHANNEL_SHUTDOWN) return SEC_E_UNSUPPORTED_FUNCTION;  // the plug-in sends no alert of its own
  std::lock_guard guard(context->lock);
  if (context->stage == Stage::failed) return context->failure;
  if (context->stage == Stage::handshaking) return SEC_E_UNSUPPORTED_FUNCTION;  // nothing to close yet
  context->shutdown_requested = true;
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI DeleteSecurityContext(PCtxtHandle phContext) {
  if (phContext == nullptr || phContext->dwUpper != kContextTag) return SEC_E_INVALID_HANDLE;
  std::shared_ptr<Context> context;  // freed after the lock is let go, or by the last call still using it
  Handles& all = handles();
  std::lock_guard guard(all.lock);
  auto found = all.contexts.find(phContext->dwLower);
  if (found == all.contexts.end()) return SEC_E_INVALID_HANDLE;
  context = std::move(found->second);
  all.contexts.erase(found);
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer) {
  std::shared_ptr<Context> context = find_context(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (pBuffer == nullptr) return SEC_E_INVALID_PARAMETER;
  std::lock_guard guard(context->lock);
  if (context->stage == Stage::failed) return context->failure;
  if (context->stage == Stage::handshaking) return SEC_E_INVALID_HANDLE;  // nothing negotiated yet
  switch (ulAttribute) {
    case SECPKG_ATTR_STREAM_SIZES:
      return stream_sizes(context->ssl.get(), *static_cast<SecPkgContext_StreamSizes*>(pBuffer))
                 ? SEC_E_OK
                 : SEC_E_INTERNAL_ERROR;
    case SECPKG_ATTR_REMOTE_CERT_CONTEXT: {
      PCCERT_CONTEXT certificate = certificate_context_of_peer(context->ssl.get());
      *static_cast<PCCERT_CONTEXT*>(pBuffer) = certificate;
      return certificate != nullptr ? SEC_E_OK : SEC_E_INTERNAL_ERROR;
    }
    default:
      return SEC_E_UNSUPPORTED_FUNCTION;
  }
}

SECURITY_STATUS WINAPI FreeContextBuffer(void* pvContextBuffer) {
  std::free(pvContextBuffer);
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI EncryptMessage(PCtxtHandle phContext, ULONG, PSecBufferDesc pMessage, ULONG) {
  std::shared_ptr<Context> context = find_context(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (pMessage == nullptr || pMessage->pBuffers == nullptr) return SEC_E_INVALID_TOKEN;
  SecBuffer* header = find_buffer(*pMessage, SECBUFFER_STREAM_HEADER);
  SecBuffer* data = find_buffer(*pMessage, SECBUFFER_DATA);
  SecBuffer* trailer = find_buffer(*pMessage, SECBUFFER_STREAM_TRAILER);
  if (header == nullptr || data == nullptr || trailer == nullptr || header->pvBuffer == nullptr ||
      data->pvBuffer == nullptr || trailer->pvBuffer == nullptr) {
    return SEC_E_INVALID_TOKEN;
  }
  std::lock_guard guard(context->lock);
  if (context->stage == Stage::failed) return context->failure;
  if (context->stage == Stage::closed) return SEC_E_CONTEXT_EXPIRED;
  if (context->stage == Stage::handshaking) return SEC_E_INVALID_HANDLE;
  // The peer's post-handshake message may change the keys, and what OpenSSL sends for it must go
  // out before any record made after it: the caller answers SEC_I_RENEGOTIATE first.
  if (context->renegotiation_pending) return SEC_E_CONTEXT_EXPIRED;
  SecPkgContext_StreamSizes sizes{};
  if (!stream_sizes(context->ssl.get(), sizes)) return SEC_E_INTERNAL_ERROR;
  if (data->cbBuffer == 0 || data->cbBuffer > sizes.cbMaximumMessage) return SEC_E_INVALID_PARAMETER;
  if (header->cbBuffer < sizes.cbHeader || trailer->cbBuffer < sizes.cbTrailer) return SEC_E_BUFFER_TOO_SMALL;

  ERR_clear_error();
  int written = SSL_write(context->ssl.get(), data->pvBuffer, static_cast<int>(data->cbBuffer));
  std::vector<unsigned char> record = drain(context->outgoing);
  const size_t before_trailer = size_t{sizes.cbHeader} + data->cbBuffer;
  if (written != static_cast<int>(data->cbBuffer) || record.size() <= before_trailer ||
      record.size() > before_trailer + sizes.cbTrailer) {
    return fail(*context, SEC_E_INTERNAL_ERROR);  // not the one record the sizes promised
  }
  // A CBC record's trailer is only as long as this text's padding makes it.
  const size_t used_trailer = record.size() - before_trailer;
  std::memcpy(header->pvBuffer, record.data(), sizes.cbHeader);
  std::memcpy(data->pvBuffer, record.data() + sizes.cbHeader, data->cbBuffer);
  std::memcpy(trailer->pvBuffer, record.data() + before_trailer, used_trailer);
  header->cbBuffer = sizes.cbHeader;
  trailer->cbBuffer = static_cast<ULONG>(used_trailer);
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG, ULONG* pfQOP) {
  std::shared_ptr<Context> context = find_context(phContext);
  if (!context) return SEC_E_INVALID_HANDLE;
  if (pMessage == nullptr || pMessage->cBuffers < 4 || pMessage->pBuffers == nullptr ||
      pMessage->pBuffers[0].BufferType != SECBUFFER_DATA ||
      (pMessage->pBuffers[0].pvBuffer == nullptr && pMessage->pBuffers[0].cbBuffer != 0)) {
    return SEC_E_INVALID_TOKEN;
  }
  if (pfQOP != nullptr) *pfQOP = 0;
  SecBuffer* buffers = pMessage->pBuffers;
  auto* bytes = static_cast<unsigned char*>(buffers[0].pvBuffer);
  size_t size = buffers[0].cbBuffer;
  std::lock_guard guard(context->lock);
  if (context->stage == Stage::failed) return context->failure;
  if (context->stage == Stage::closed) return SEC_I_CONTEXT_EXPIRED;
  if (context->stage == Stage::handshaking) return SEC_E_INVALID_HANDLE;

  auto incomplete = [&](size_t missing) {
    buffers[1].BufferType = SECBUFFER_MISSING;
    buffers[1].cbBuffer = static_cast<ULONG>(missing);
    buffers[1].pvBuffer = nullptr;
    return SEC_E_INCOMPLETE_MESSAGE;
  };
  if (size < kRecordHeader) return incomplete(kRecordHeader - size);
  size_t body = (static_cast<size_t>(bytes[3]) << 8) | bytes[4];
  if (bytes[0] < kChangeCipherSpec || bytes[0] > kApplicationData || body > kMaxRecordBody) {
    return fail(*context, SEC_E_DECRYPT_FAILURE);
  }
  size_t record_size = kRecordHeader + body;
  if (size < record_size) return incomplete(record_size - size);

  ERR_clear_error();
  context->post_handshake_message = false;
  BIO_write(context->incoming, bytes, static_cast<int>(record_size));
  int read =
      SSL_read(context->ssl.get(), context->plaintext.data(), static_cast<int>(context->plaintext.size()));
  size_t plain = 0;
  SECURITY_STATUS status = SEC_E_OK;
  if (read > 0) {
    plain = static_cast<size_t>(read);
  } else {
    switch (SSL_get_error(context->ssl.get(), read)) {
      case SSL_ERROR_WANT_READ:  // a record with no application data in it
        break;
      case SSL_ERROR_ZERO_RETURN:
        context->stage = Stage::closed;
        status = SEC_I_CONTEXT_EXPIRED;
        break;
      default:
        drain(context->outgoing);  // the alert OpenSSL made; the caller learns the failure from the status
        return fail(*context, SEC_E_DECRYPT_FAILURE);
    }
  }
  if (BIO_ctrl_pending(context->incoming) != 0 || SSL_pending(context->ssl.get()) != 0) {
    return fail(*context, SEC_E_INTERNAL_ERROR);  // one record must give all it holds at once
  }
  if (context->post_handshake_message && status == SEC_E_OK) {
    context->renegotiation_pending = true;
    std::vector<unsigned char> output = drain(context->outgoing);
    context->pending_output.insert(context->pending_output.end(), output.begin(), output.end());
    status = SEC_I_RENEGOTIATE;
  } else {
    drain(context->outgoing);
  }

  SecPkgContext_StreamSizes sizes{};
  stream_sizes(context->ssl.get(), sizes);
  size_t header = std::min<size_t>(sizes.cbHeader, record_size - plain);
  std::memcpy(bytes + header, context->plaintext.data(), plain);
  buffers[0] = {static_cast<ULONG>(header), SECBUFFER_STREAM_HEADER, bytes};
  buffers[1] = {static_cast<ULONG>(plain), SECBUFFER_DATA, bytes + header};
  buffers[2] = {static_cast<ULONG>(record_size - header - plain), SECBUFFER_STREAM_TRAILER,
                bytes + header + plain};
  if (size > record_size) {
    buffers[3] = {static_cast<ULONG>(size - record_size), SECBUFFER_EXTRA, bytes + record_size};
  } else {
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
  }
  return status;
}

}  // extern "C"
