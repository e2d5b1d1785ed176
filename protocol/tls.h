// One TLS client connection over the system's security package (SChannel through SSPI), kept
// apart from the network: the server's bytes go in, plaintext and the bytes to send come out.
// It knows nothing of sessions or threads; tls_link.h gives it a connection and a lock.
//
// The handshake and what follows it share one intake: tls_take feeds the handshake until it
// ends and decrypts every whole record after it, so bytes of both in one delivery are no
// special case. A record split across deliveries waits in `incoming` for the rest, and so does a
// handshake message spread over several records (the system takes none of it until it is whole).
#pragma once

#include <cstdint>

#include "platform/win32.h"

// The longest TLS record: a 5-byte header and at most 2^14 + 2048 bytes of body.
constexpr uint32_t TLS_RECORD_LIMIT = 5 + 16384 + 2048;
// What the channel keeps of the server's bytes not yet used: less than one whole record plus one
// delivery of the host's receiver. A record that cannot be whole within it is no record, and a
// handshake message (the server's certificate chain is the long one) must be whole within it too:
// chains of a few certificates take a few kilobytes.
constexpr uint32_t TLS_INCOMING_CAPACITY = TLS_RECORD_LIMIT + 65536;
// The server's certificate fingerprint: SHA-256.
constexpr uint32_t TLS_FINGERPRINT_SIZE = 32;

struct TlsChannel {
  CredHandle credentials;
  CtxtHandle context;
  bool has_credentials;
  bool has_context;
  bool established;  // the handshake has ended well
  // The server asked for a client certificate: the handshake goes on without one.
  bool without_certificate;
  bool shut_down;  // close_notify is made: nothing more is sealed
  SecPkgContext_StreamSizes sizes;
  WCHAR server_name[256];
  BYTE* incoming;  // TLS_INCOMING_CAPACITY bytes once opened
  uint32_t incoming_length;
};

enum TlsResult {
  TLS_HANDSHAKING,  // all taken; the handshake wants more from the server
  TLS_READY,        // the handshake is over and every whole record has been decrypted
  TLS_CLOSED,       // the server ended TLS (close_notify)
  TLS_FAILED,       // a failed handshake, a bad record, or bytes that cannot be a record
};

// Where the bytes to send go (the handshake's), and where plaintext goes. A writer's false
// fails the channel.
typedef bool (*TlsWriter)(const BYTE* bytes, uint32_t count, void* context);
typedef void (*TlsSink)(const BYTE* bytes, uint32_t count, void* context);

// Whether the system's TLS speaks TLS 1.2, the only version the channel asks for: it can start a
// handshake with it. False on the older Windows the host still runs on (XP's SChannel ends at
// TLS 1.0), where every tls_open fails.
bool tls_system_supported();

// Starts the handshake with the server of that name (its first flight goes to write). False
// when the system's TLS cannot start; the channel is then closed again.
bool tls_open(TlsChannel* channel, const char* server_name, TlsWriter write, void* context);
// Takes what the server sent: handshake bytes while it lasts, then records, whose plaintext
// goes to sink in order. A server that asks for a client certificate gets none, and the
// handshake goes on (servers of the network log in by password). A server that asks to
// renegotiate fails the channel (the reason is logged; see tls.cpp).
TlsResult tls_take(TlsChannel* channel, const BYTE* bytes, uint32_t count, TlsWriter write, TlsSink sink,
                   void* context);
// The bytes that count bytes of plaintext become (cut into as many records as needed).
uint64_t tls_sealed_size(const TlsChannel* channel, uint32_t count);
// Encrypts plaintext into out (capacity bytes); false when it does not fit, the channel is shut
// down, or the system fails. Records of a CBC suite may come out shorter than the most
// tls_sealed_size counts on: *written is what was used.
bool tls_seal(TlsChannel* channel, const BYTE* plain, uint32_t count, BYTE* out, uint64_t capacity,
              uint32_t* written);
// Ends TLS politely before going offline: the close_notify alert goes to write, and nothing more
// is sealed (the server's last records can still be taken). True when the alert was made and
// written; false when the channel is not established, is already shut down, or the system fails.
bool tls_shutdown(TlsChannel* channel, TlsWriter write, void* context);

// The server's certificate, for a check made away from whatever guards the channel: a reference
// of its own, which outlives the channel and which the caller frees with
// CertFreeCertificateContext. Null until the handshake has ended well.
PCCERT_CONTEXT tls_peer_certificate(TlsChannel* channel);
// The SHA-256 of a certificate.
bool tls_certificate_fingerprint(PCCERT_CONTEXT certificate, BYTE out[TLS_FINGERPRINT_SIZE]);
// True when the system's trust store vouches for the certificate's chain as a server's, and the
// certificate is one for server_name (a host name or an IP literal, the name the caller
// connected to). An empty name, or one no certificate can carry (not ASCII, longer than 255),
// is never vouched for.
bool tls_certificate_trusted(PCCERT_CONTEXT certificate, const char* server_name);

// The two above for the channel's own certificate and server name, once established.
bool tls_fingerprint(TlsChannel* channel, BYTE out[TLS_FINGERPRINT_SIZE]);
bool tls_trusted_by_system(TlsChannel* channel);
// Frees everything; a closed channel may be opened again.
void tls_close(TlsChannel* channel);
