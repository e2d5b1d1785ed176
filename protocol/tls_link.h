// The session's encryption: asking the server for TLS before the greeting, the handshake, the
// certificate check, and from then on every byte of the session through the TLS channel. The
// listener hands each delivery here first and the send function writes through here, so nothing
// above protocol/ knows whether a session is encrypted.
//
// The account's byte "Encryption" says when: 0 never, 1 when the server offers it (the default),
// 2 required. A server certificate is accepted when the system trusts it for the server's name,
// or when its SHA-256 equals the account's "CertificatePin" (hex; colons, spaces and case do
// not matter). Without a pin the first certificate seen is pinned and logged (trust on first
// use); a later, different one is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host_api.h"
#include "protocol/tls.h"

enum TlsLinkReceive {
  TLS_LINK_CLEAR,   // the session is not encrypted: the delivery is plaintext, the caller's to use
  TLS_LINK_TAKEN,   // taken; its plaintext (if any) went to the sink
  TLS_LINK_FAILED,  // TLS broke or the server ended it: the connection is of no more use
};

// What the server said to the request for TLS (MRIM_CS_STARTTLS).
enum TlsOffer {
  TLS_OFFER_NOT_ASKED,  // the account never asks
  TLS_OFFER_GO,         // MRIM_CS_STARTTLS_ACK: the handshake follows
  TLS_OFFER_REFUSED,    // MRIM_CS_STARTTLS_REJ: not offered
  TLS_OFFER_NO_ANSWER,  // nothing usable came in time
  TLS_OFFER_ENDED,      // the session ended first
};

// The connect thread's steps between storing the connection (receiver count `generation`) and
// the greeting. tls_link_start readies the link for the new session and says whether the
// account asks for TLS; until the answer comes nothing but the request goes out. Then
// tls_link_upgrade takes the answer and runs the handshake and the certificate check as the
// account's setting says: 0 when the log-in may go on (encrypted, or in clear where that is
// allowed); LOGINERR_WRONGPROTOCOL when the server offers no encryption that is required or its
// certificate is not trusted (the reason is logged and kept for tls_link_describe);
// LOGINERR_NOSERVER when the session ended or the handshake did not end in time.
bool tls_link_start(uint32_t generation);
int tls_link_upgrade(uint32_t generation, const char* server_name, TlsOffer offer);

// The listener's step for each delivery of the session under `generation`.
TlsLinkReceive tls_link_receive(uint32_t generation, const BYTE* bytes, uint32_t count, TlsSink sink,
                                void* context);

// Writes on the connection, encrypted while the current session runs inside TLS. Bytes sent
// (the plaintext's count), or -1 on failure. Nothing goes out in clear on a session that asked
// for TLS: during its handshake a write is left out (only the keep-alive comes then).
INT_PTR tls_link_send(HANDLE connection, const char* data, int length);

// A session ended (its connection closed): wakes a connect thread waiting on its handshake and
// frees the channel of any session that is not the current one.
void tls_link_session_ended();
// Frees everything (Unload).
void tls_link_reset();

// One line for people: whether the session is encrypted and with which certificate, or why the
// last attempt was refused. True when the current session runs inside TLS.
bool tls_link_describe(char* out, size_t out_size);

// "<module>/ConnectionSecurity": the same line into the buffer lParam of wParam bytes; 1 when
// the current session runs inside TLS, else 0.
INT_PTR MRIM_ConnectionSecurity(WPARAM size, LPARAM buffer);

// Hex of a fingerprint (2 × TLS_FINGERPRINT_SIZE characters and a terminator); and the
// comparison of a pin as people type it with such hex.
void tls_fingerprint_hex(const BYTE fingerprint[TLS_FINGERPRINT_SIZE], char* out);
bool tls_pin_matches(const char* pin, const char* fingerprint_hex);
