// The TLS client over SSPI (see tls.h). Only TLS 1.2 is asked for: it is what the system's TLS
// negotiates through SCHANNEL_CRED on every Windows the host runs on (1.3 would need the newer
// credential record, and its post-handshake messages come back as renegotiations that a client
// must answer); servers of the network speak 1.2.
//
// Renegotiation is refused: a server's request for it (DecryptMessage's SEC_I_RENEGOTIATE)
// fails the channel, with the reason logged. Taking part would run a second handshake inside
// the session, and its flights, which the system encrypts under the session's keys, would have
// to reach the wire in order with the records the writers seal meanwhile, which the caller sends
// apart from the handshake's answers; the server could also present another certificate in it,
// after the one the account accepted was checked. Servers of the network never ask for it, and
// one that does is better left and connected to afresh.
#include "protocol/tls.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_MANUAL_CRED_VALIDATION;
// The longest server name a certificate check takes, as the channel keeps it.
constexpr size_t kServerNameLimit = 255;

SecBuffer buffer_of(ULONG type, void* bytes, ULONG count) {
  SecBuffer buffer;
  buffer.cbBuffer = count;
  buffer.BufferType = type;
  buffer.pvBuffer = bytes;
  return buffer;
}

void free_token(SecBuffer* token) {
  if (token->pvBuffer != nullptr) FreeContextBuffer(token->pvBuffer);
  token->pvBuffer = nullptr;
}

// Hands the token the system made to the writer and frees it, whatever the writer says.
bool send_token(SecBuffer* token, TlsWriter write, void* context) {
  bool written = true;
  if (token->pvBuffer != nullptr && token->cbBuffer > 0)
    written = write(static_cast<const BYTE*>(token->pvBuffer), token->cbBuffer, context);
  free_token(token);
  return written;
}

// Keeps only the last `left` bytes of what is waiting: the system reports what it did not use
// by count alone (where it points them is not reliable for the handshake).
void keep_tail(TlsChannel* channel, uint32_t left) {
  if (left > channel->incoming_length) left = channel->incoming_length;
  if (left > 0) memmove(channel->incoming, channel->incoming + channel->incoming_length - left, left);
  channel->incoming_length = left;
}

// A wait for more bytes is only sound while more can be kept.
TlsResult wait_for_more(const TlsChannel* channel, TlsResult result) {
  return channel->incoming_length >= TLS_INCOMING_CAPACITY ? TLS_FAILED : result;
}

// The client's credentials: TLS 1.2 only, the server's certificate left to the caller to judge.
bool acquire_credentials(CredHandle* credentials) {
  SCHANNEL_CRED settings;
  memset(&settings, 0, sizeof settings);
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The certificate is checked by tls_link against the system's trust and the account's pin.
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry;
  return AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(SCHANNEL_NAME_W), SECPKG_CRED_OUTBOUND,
                                   nullptr, &settings, nullptr, nullptr, credentials, &expiry) == SEC_E_OK;
}

// One call of the handshake with what is waiting. *again says whether to call once more at once
// with what is left; otherwise the handshake waits for the server's next bytes.
TlsResult handshake_step(TlsChannel* channel, TlsWriter write, void* context, bool* again) {
  *again = false;
  const uint32_t before = channel->incoming_length;
  SecBuffer in[2] = {buffer_of(SECBUFFER_TOKEN, channel->incoming, channel->incoming_length),
                     buffer_of(SECBUFFER_EMPTY, nullptr, 0)};
  SecBuffer out[1] = {buffer_of(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  // Once the server has asked for a certificate, the system is told to go on with the
  // credentials as they are, which hold none.
  const ULONG flags = kContextFlags | (channel->without_certificate ? ISC_REQ_USE_SUPPLIED_CREDS : 0);
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextW(
      &channel->credentials, &channel->context, channel->server_name, flags, 0, SECURITY_NATIVE_DREP,
      &in_desc, 0, &channel->context, &out_desc, &attributes, &expiry);
  if (status == SEC_E_INCOMPLETE_MESSAGE) {
    // Nothing was used: the part of a record or of a handshake message waits, whole, for the rest.
    free_token(&out[0]);
    return wait_for_more(channel, TLS_HANDSHAKING);
  }
  if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
    // The server asks for a client certificate. The account has none to give (the network logs
    // in by password), so the same bytes go in again at once and the handshake goes on without
    // one; a system that asks a second time cannot be answered.
    bool written = send_token(&out[0], write, context);
    if (channel->without_certificate || !written) return TLS_FAILED;
    channel->without_certificate = true;
    *again = true;
    return TLS_HANDSHAKING;
  }
  // A failure may still carry an alert for the server.
  bool written = send_token(&out[0], write, context);
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return TLS_FAILED;
  if (!written) return TLS_FAILED;
  keep_tail(channel, in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
  if (status == SEC_I_CONTINUE_NEEDED) {
    *again = channel->incoming_length > 0 && channel->incoming_length < before;
    return TLS_HANDSHAKING;
  }
  if (QueryContextAttributesW(&channel->context, SECPKG_ATTR_STREAM_SIZES, &channel->sizes) != SEC_E_OK ||
      channel->sizes.cbMaximumMessage == 0)
    return TLS_FAILED;
  channel->established = true;
  return TLS_READY;
}

// Decrypts one whole record at the front, if there is one.
TlsResult open_record(TlsChannel* channel, TlsSink sink, void* context, bool* more) {
  *more = false;
  SecBuffer buffers[4] = {buffer_of(SECBUFFER_DATA, channel->incoming, channel->incoming_length),
                          buffer_of(SECBUFFER_EMPTY, nullptr, 0), buffer_of(SECBUFFER_EMPTY, nullptr, 0),
                          buffer_of(SECBUFFER_EMPTY, nullptr, 0)};
  SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
  SECURITY_STATUS status = DecryptMessage(&channel->context, &desc, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return wait_for_more(channel, TLS_READY);
  if (status == SEC_I_CONTEXT_EXPIRED) return TLS_CLOSED;
  if (status == SEC_I_RENEGOTIATE) {
    // Refused (see the top of the file); the text of records before it has gone to the sink.
    mrim_log("TLS: the server asked to renegotiate, which is not taken part in: the channel ends\n");
    return TLS_FAILED;
  }
  if (status != SEC_E_OK) return TLS_FAILED;
  uint32_t left = 0;
  // The buffers lie as the suite makes them (a CBC record's trailer varies with its padding):
  // only the data and the extra are read, each by its own type.
  for (const SecBuffer& buffer : buffers) {
    // The plaintext lies inside what was given; anything claiming otherwise is not used.
    const BYTE* bytes = static_cast<const BYTE*>(buffer.pvBuffer);
    bool inside =
        bytes != nullptr && bytes >= channel->incoming && buffer.cbBuffer <= channel->incoming_length &&
        static_cast<uint32_t>(bytes - channel->incoming) <= channel->incoming_length - buffer.cbBuffer;
    if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
      if (!inside) return TLS_FAILED;
      sink(bytes, buffer.cbBuffer, context);
    }
    if (buffer.BufferType == SECBUFFER_EXTRA) left = buffer.cbBuffer;
  }
  // A record always uses some bytes: an extra as long as the input would go round for ever.
  if (left >= channel->incoming_length) return TLS_FAILED;
  keep_tail(channel, left);
  *more = left > 0;
  return TLS_READY;
}

// CryptHashCertificate2 came with Vista; on older systems crypt32 hashes by algorithm number.
typedef BOOL(WINAPI* HashCertificate2)(LPCWSTR algorithm, DWORD flags, void* reserved, const BYTE* encoded,
                                       DWORD encoded_size, BYTE* hash, DWORD* hash_size);

HashCertificate2 newer_hash() {
  // crypt32 is imported for the chain checks, so it is loaded as long as the plug-in is.
  HMODULE crypt32 = GetModuleHandleA("crypt32.dll");
  FARPROC found = crypt32 != nullptr ? GetProcAddress(crypt32, "CryptHashCertificate2") : nullptr;
  // Through the type of no arguments, which any function pointer may be cast to and from.
  return reinterpret_cast<HashCertificate2>(reinterpret_cast<void (*)()>(found));
}

bool trusted_for(PCCERT_CONTEXT certificate, const WCHAR* server_name) {
  // Without a name the system would check none.
  if (certificate == nullptr || server_name == nullptr || server_name[0] == 0) return false;
  LPSTR server_use[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA chain_settings;
  memset(&chain_settings, 0, sizeof chain_settings);
  chain_settings.cbSize = sizeof chain_settings;
  chain_settings.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chain_settings.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_settings.RequestedUsage.Usage.rgpszUsageIdentifier = server_use;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_settings, 0,
                               nullptr, &chain) ||
      chain == nullptr)
    return false;
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA server;
  memset(&server, 0, sizeof server);
  server.cbSize = sizeof server;
  server.dwAuthType = AUTHTYPE_SERVER;
  server.pwszServerName = const_cast<WCHAR*>(server_name);
  CERT_CHAIN_POLICY_PARA policy;
  memset(&policy, 0, sizeof policy);
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &server;
  CERT_CHAIN_POLICY_STATUS verdict;
  memset(&verdict, 0, sizeof verdict);
  verdict.cbSize = sizeof verdict;
  bool trusted = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict) &&
                 verdict.dwError == 0;
  CertFreeCertificateChain(chain);
  return trusted;
}

}  // namespace

bool tls_system_supported() {
  CredHandle credentials;
  if (!acquire_credentials(&credentials)) return false;
  // Some systems take the protocol they do not know and fail only when a handshake starts.
  CtxtHandle context;
  SecBuffer out[1] = {buffer_of(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status =
      InitializeSecurityContextW(&credentials, nullptr, nullptr, kContextFlags, 0, SECURITY_NATIVE_DREP,
                                 nullptr, 0, &context, &out_desc, &attributes, &expiry);
  free_token(&out[0]);
  if (status == SEC_I_CONTINUE_NEEDED) DeleteSecurityContext(&context);
  FreeCredentialsHandle(&credentials);
  return status == SEC_I_CONTINUE_NEEDED;
}

bool tls_open(TlsChannel* channel, const char* server_name, TlsWriter write, void* context) {
  memset(channel, 0, sizeof *channel);
  size_t length = 0;
  // Host names are ASCII; anything else is no name SNI could carry and is left out.
  for (; server_name[length] != '\0' && length + 1 < sizeof channel->server_name / sizeof(WCHAR); ++length) {
    unsigned char c = static_cast<unsigned char>(server_name[length]);
    channel->server_name[length] = static_cast<WCHAR>(c < 0x80 ? c : '?');
  }
  channel->server_name[length] = 0;
  channel->incoming = static_cast<BYTE*>(malloc(TLS_INCOMING_CAPACITY));
  if (channel->incoming == nullptr) return false;

  if (!acquire_credentials(&channel->credentials)) {
    tls_close(channel);
    return false;
  }
  channel->has_credentials = true;

  SecBuffer out[1] = {buffer_of(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextW(&channel->credentials, nullptr, channel->server_name,
                                                      kContextFlags, 0, SECURITY_NATIVE_DREP, nullptr, 0,
                                                      &channel->context, &out_desc, &attributes, &expiry);
  if (status == SEC_I_CONTINUE_NEEDED) channel->has_context = true;
  if (status != SEC_I_CONTINUE_NEEDED || !send_token(&out[0], write, context)) {
    free_token(&out[0]);
    tls_close(channel);
    return false;
  }
  return true;
}

TlsResult tls_take(TlsChannel* channel, const BYTE* bytes, uint32_t count, TlsWriter write, TlsSink sink,
                   void* context) {
  if (!channel->has_context || channel->incoming == nullptr) return TLS_FAILED;
  TlsResult result = channel->established ? TLS_READY : TLS_HANDSHAKING;
  while (count > 0) {
    // The intake never holds more than its capacity: what is waiting is used up before more
    // comes in, and a delivery larger than the room left is taken in parts.
    uint32_t room = TLS_INCOMING_CAPACITY - channel->incoming_length;
    uint32_t part = count < room ? count : room;
    memcpy(channel->incoming + channel->incoming_length, bytes, part);
    channel->incoming_length += part;
    bytes += part;
    count -= part;
    for (bool again = true; again && !channel->established && channel->incoming_length > 0;) {
      result = handshake_step(channel, write, context, &again);
      if (result == TLS_FAILED) return result;
    }
    if (!channel->established) continue;
    for (bool more = channel->incoming_length > 0; more;) {
      result = open_record(channel, sink, context, &more);
      if (result != TLS_READY) return result;
    }
    if (channel->incoming_length >= TLS_INCOMING_CAPACITY) return TLS_FAILED;
  }
  return result;
}

uint64_t tls_sealed_size(const TlsChannel* channel, uint32_t count) {
  const uint32_t most = channel->sizes.cbMaximumMessage;
  if (most == 0) return 0;
  uint64_t records = count == 0 ? 1 : (static_cast<uint64_t>(count) + most - 1) / most;
  return count + records * (channel->sizes.cbHeader + channel->sizes.cbTrailer);
}

bool tls_seal(TlsChannel* channel, const BYTE* plain, uint32_t count, BYTE* out, uint64_t capacity,
              uint32_t* written) {
  *written = 0;
  if (!channel->established || channel->shut_down || tls_sealed_size(channel, count) > capacity) return false;
  const SecPkgContext_StreamSizes& sizes = channel->sizes;
  uint64_t used = 0;
  uint32_t done = 0;
  do {
    uint32_t part = count - done < sizes.cbMaximumMessage ? count - done : sizes.cbMaximumMessage;
    BYTE* record = out + used;
    if (part > 0) memcpy(record + sizes.cbHeader, plain + done, part);
    SecBuffer buffers[4] = {
        buffer_of(SECBUFFER_STREAM_HEADER, record, sizes.cbHeader),
        buffer_of(SECBUFFER_DATA, record + sizes.cbHeader, part),
        buffer_of(SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + part, sizes.cbTrailer),
        buffer_of(SECBUFFER_EMPTY, nullptr, 0)};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&channel->context, 0, &desc, 0) != SEC_E_OK) return false;
    // The system may use less than the most it announced (a CBC record's trailer is only as long
    // as its padding needs); the record then closes up, and the next one starts where it ends.
    uint32_t header = buffers[0].cbBuffer;
    uint32_t body = buffers[1].cbBuffer;
    uint32_t trailer = buffers[2].cbBuffer;
    if (header > sizes.cbHeader || body != part || trailer > sizes.cbTrailer) return false;
    if (header < sizes.cbHeader) memmove(record + header, record + sizes.cbHeader, body);
    if (header + body < sizes.cbHeader + part)
      memmove(record + header + body, record + sizes.cbHeader + part, trailer);
    used += header + body + trailer;
    done += part;
  } while (done < count);
  *written = static_cast<uint32_t>(used);
  return true;
}

bool tls_shutdown(TlsChannel* channel, TlsWriter write, void* context) {
  if (!channel->established || channel->shut_down) return false;
  // Whatever follows, the system encrypts nothing more after this.
  channel->shut_down = true;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control[1] = {buffer_of(SECBUFFER_TOKEN, &type, sizeof type)};
  SecBufferDesc control_desc = {SECBUFFER_VERSION, 1, control};
  if (ApplyControlToken(&channel->context, &control_desc) != SEC_E_OK) return false;
  SecBuffer out[1] = {buffer_of(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextW(
      &channel->credentials, &channel->context, channel->server_name, kContextFlags, 0, SECURITY_NATIVE_DREP,
      nullptr, 0, &channel->context, &out_desc, &attributes, &expiry);
  const bool made = status >= 0 && out[0].pvBuffer != nullptr && out[0].cbBuffer > 0;
  if (!made) {
    free_token(&out[0]);
    return false;
  }
  return send_token(&out[0], write, context);
}

PCCERT_CONTEXT tls_peer_certificate(TlsChannel* channel) {
  if (!channel->established) return nullptr;
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(&channel->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK)
    return nullptr;
  return certificate;
}

bool tls_certificate_fingerprint(PCCERT_CONTEXT certificate, BYTE out[TLS_FINGERPRINT_SIZE]) {
  if (certificate == nullptr || certificate->pbCertEncoded == nullptr || certificate->cbCertEncoded == 0)
    return false;
  DWORD size = TLS_FINGERPRINT_SIZE;
  HashCertificate2 hash = newer_hash();
  BOOL hashed = hash != nullptr ? hash(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pbCertEncoded,
                                       certificate->cbCertEncoded, out, &size)
                                : CryptHashCertificate(0, CALG_SHA_256, 0, certificate->pbCertEncoded,
                                                       certificate->cbCertEncoded, out, &size);
  return hashed && size == TLS_FINGERPRINT_SIZE;
}

bool tls_certificate_trusted(PCCERT_CONTEXT certificate, const char* server_name) {
  if (server_name == nullptr) return false;
  WCHAR wide[kServerNameLimit + 1];
  size_t length = 0;
  for (; server_name[length] != '\0'; ++length) {
    unsigned char c = static_cast<unsigned char>(server_name[length]);
    if (length == kServerNameLimit || c >= 0x80) return false;
    wide[length] = static_cast<WCHAR>(c);
  }
  wide[length] = 0;
  return trusted_for(certificate, wide);
}

bool tls_fingerprint(TlsChannel* channel, BYTE out[TLS_FINGERPRINT_SIZE]) {
  PCCERT_CONTEXT certificate = tls_peer_certificate(channel);
  bool known = tls_certificate_fingerprint(certificate, out);
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  return known;
}

bool tls_trusted_by_system(TlsChannel* channel) {
  PCCERT_CONTEXT certificate = tls_peer_certificate(channel);
  bool trusted = trusted_for(certificate, channel->server_name);
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  return trusted;
}

void tls_close(TlsChannel* channel) {
  if (channel->has_context) DeleteSecurityContext(&channel->context);
  if (channel->has_credentials) FreeCredentialsHandle(&channel->credentials);
  if (channel->incoming != nullptr) {
    // Decrypted text never lingers in freed memory; the buffer holds ciphertext and, in place,
    // plaintext.
    memset(channel->incoming, 0, TLS_INCOMING_CAPACITY);
    free(channel->incoming);
  }
  memset(channel, 0, sizeof *channel);
}
