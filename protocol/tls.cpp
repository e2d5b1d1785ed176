// The TLS client over SSPI (see tls.h). Only TLS 1.2 is asked for: it is what the system's TLS
// negotiates through SCHANNEL_CRED on every Windows the host runs on (1.3 would need the newer
// credential record, and its post-handshake messages come back as renegotiations that a client
// must answer); servers of the network speak 1.2.
#include "protocol/tls.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

SecBuffer buffer_of(ULONG type, void* bytes, ULONG count) {
  SecBuffer buffer;
  buffer.cbBuffer = count;
  buffer.BufferType = type;
  buffer.pvBuffer = bytes;
  return buffer;
}

// Hands the token the system made to the writer and frees it, whatever the writer says.
bool send_token(SecBuffer* token, TlsWriter write, void* context) {
  bool written = true;
  if (token->pvBuffer != nullptr) {
    if (token->cbBuffer > 0)
      written = write(static_cast<const BYTE*>(token->pvBuffer), token->cbBuffer, context);
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = nullptr;
  }
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

TlsResult handshake_step(TlsChannel* channel, TlsWriter write, void* context) {
  SecBuffer in[2] = {buffer_of(SECBUFFER_TOKEN, channel->incoming, channel->incoming_length),
                     buffer_of(SECBUFFER_EMPTY, nullptr, 0)};
  SecBuffer out[1] = {buffer_of(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  TimeStamp expiry;
  SECURITY_STATUS status = InitializeSecurityContextW(
      &channel->credentials, &channel->context, channel->server_name, kContextFlags, 0, SECURITY_NATIVE_DREP,
      &in_desc, 0, &channel->context, &out_desc, &attributes, &expiry);
  if (status == SEC_E_INCOMPLETE_MESSAGE) return wait_for_more(channel, TLS_HANDSHAKING);
  // A failure may still carry an alert for the server.
  bool written = send_token(&out[0], write, context);
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return TLS_FAILED;
  if (!written) return TLS_FAILED;
  keep_tail(channel, in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0);
  if (status == SEC_I_CONTINUE_NEEDED) return TLS_HANDSHAKING;
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
  // Renegotiation is not taken part in: a TLS 1.2 server of this network never asks for it.
  if (status != SEC_E_OK) return TLS_FAILED;
  uint32_t left = 0;
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
  keep_tail(channel, left);
  *more = left > 0;
  return TLS_READY;
}

}  // namespace

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

  SCHANNEL_CRED settings;
  memset(&settings, 0, sizeof settings);
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  // The certificate is checked by tls_link against the system's trust and the account's pin.
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry;
  if (AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(SCHANNEL_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                &settings, nullptr, nullptr, &channel->credentials, &expiry) != SEC_E_OK) {
    tls_close(channel);
    return false;
  }
  channel->has_credentials = true;

  SecBuffer out[1] = {buffer_of(SECBUFFER_TOKEN, nullptr, 0)};
  SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
  ULONG attributes = 0;
  SECURITY_STATUS status = InitializeSecurityContextW(&channel->credentials, nullptr, channel->server_name,
                                                      kContextFlags, 0, SECURITY_NATIVE_DREP, nullptr, 0,
                                                      &channel->context, &out_desc, &attributes, &expiry);
  if (status == SEC_I_CONTINUE_NEEDED) channel->has_context = true;
  if (status != SEC_I_CONTINUE_NEEDED || !send_token(&out[0], write, context)) {
    if (out[0].pvBuffer != nullptr) FreeContextBuffer(out[0].pvBuffer);
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
    while (!channel->established && channel->incoming_length > 0) {
      uint32_t before = channel->incoming_length;
      result = handshake_step(channel, write, context);
      if (result == TLS_FAILED) return result;
      if (result == TLS_HANDSHAKING && channel->incoming_length == before) break;  // waits for more
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
  if (!channel->established || tls_sealed_size(channel, count) > capacity) return false;
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
    // The system may use less than the most it announced; the record then closes up.
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

bool tls_fingerprint(TlsChannel* channel, BYTE out[TLS_FINGERPRINT_SIZE]) {
  if (!channel->established) return false;
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(&channel->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr)
    return false;
  DWORD size = TLS_FINGERPRINT_SIZE;
  BOOL hashed = CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, certificate->pbCertEncoded,
                                      certificate->cbCertEncoded, out, &size);
  CertFreeCertificateContext(certificate);
  return hashed && size == TLS_FINGERPRINT_SIZE;
}

bool tls_trusted_by_system(TlsChannel* channel) {
  if (!channel->established) return false;
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(&channel->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr)
    return false;
  CERT_CHAIN_PARA chain_settings;
  memset(&chain_settings, 0, sizeof chain_settings);
  chain_settings.cbSize = sizeof chain_settings;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool trusted = false;
  if (CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chain_settings, 0,
                              nullptr, &chain) &&
      chain != nullptr) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA server;
    memset(&server, 0, sizeof server);
    server.cbSize = sizeof server;
    server.dwAuthType = AUTHTYPE_SERVER;
    server.pwszServerName = channel->server_name;
    CERT_CHAIN_POLICY_PARA policy;
    memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &server;
    CERT_CHAIN_POLICY_STATUS verdict;
    memset(&verdict, 0, sizeof verdict);
    verdict.cbSize = sizeof verdict;
    trusted = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict) &&
              verdict.dwError == 0;
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
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
