// The account's connection record: the socket handle of the current session, its write lock, the
// phase of its encryption (clear, asking, answered, handshaking, checking, encrypted) and its TLS
// channel. Every write of the session goes through it and it alone decides whether a write goes
// out in clear, sealed, held until the session is encrypted, or fails; the listener hands it
// each delivery first, so nothing above protocol/ knows whether a session is encrypted.
//
// The account's byte "Encryption" says when to ask for TLS: 0 never, 1 when the server offers it
// (the default), 2 required. Once the account holds a pin for its server, 1 behaves as 2: a
// session that was encrypted once stays encrypted. A server certificate is accepted when the
// system trusts it for the server the user chose ("Server", else the build's default; never a
// name the address service's reply gave), or when its SHA-256 equals the account's
// "CertificatePin" (hex; colons, spaces and case do not matter). The first certificate accepted
// is pinned, trusted or not; a different one later is refused, unless the system trusts it for
// the chosen server, and then the pin moves to it. The pin belongs to the chosen server
// ("CertificatePinHost"): a pin made for another one counts as none.
//
// What arrives in clear after the request for TLS went out, other than the answer itself, is an
// attack on the upgrade: it is never dispatched and the connection is dropped. What is decrypted
// before the certificate is accepted waits until it is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host_api.h"
#include "protocol/tls.h"

enum TlsLinkReceive {
  TLS_LINK_CLEAR,   // the session is not encrypted: the delivery is plaintext, the caller's to use
  TLS_LINK_TAKEN,   // taken; its plaintext (if any, and once it may be used) went to the sink
  TLS_LINK_FAILED,  // TLS broke, the server ended it or the delivery was an attack: drop the connection
};

// What the server said to the request for TLS (MRIM_CS_STARTTLS).
enum TlsOffer {
  TLS_OFFER_NOT_ASKED,  // the account never asks
  TLS_OFFER_GO,         // MRIM_CS_STARTTLS_ACK: the handshake follows
  TLS_OFFER_REFUSED,    // MRIM_CS_STARTTLS_REJ: not offered
  TLS_OFFER_NO_ANSWER,  // nothing usable came in time
  TLS_OFFER_ENDED,      // the session ended first
};

// The connect thread's steps. tls_link_prepare makes the record for a connection before the
// session stores it (so that no write can find the connection without its record); chosen_name
// is the address service the user chose, whose name the certificate must be valid for, and mode
// the account's "Encryption" (0 makes a connection in clear from the start).
// tls_link_start binds it to the session (receiver count `generation`) once stored, and says
// whether the account asks for TLS; until the answer comes nothing but the request goes out.
// Then tls_link_upgrade takes the answer and runs the handshake and the certificate check: 0
// when the log-in may go on (encrypted, or in clear where that is allowed); LOGINERR_WRONGPROTOCOL
// when the server offers no encryption that is required (or that it offered before) or its
// certificate is not trusted (the reason is logged and kept for tls_link_describe);
// LOGINERR_NOSERVER when no answer came, the session ended or the handshake was cut off.
void tls_link_prepare(HANDLE connection, const char* chosen_name, BYTE mode);
bool tls_link_start(uint32_t generation);
int tls_link_upgrade(uint32_t generation, TlsOffer offer);

// The listener's step for each delivery of the session under `generation`.
TlsLinkReceive tls_link_receive(uint32_t generation, const BYTE* bytes, uint32_t count, TlsSink sink,
                                void* context);

// Writes on the current connection as its record decides: in clear, sealed, or held while the
// upgrade is under way (only keep-alives: they go out, in order, once the session is encrypted,
// and are dropped with the connection when it is not). The plaintext's count for a write taken,
// -1 for one that failed: no connection, one without a record, a broken channel, anything but a
// keep-alive during the upgrade, or no room to hold it.
INT_PTR tls_link_send(const char* data, int length);

// Closes a session's connection handle, after any write on it has ended.
void tls_link_close(HANDLE connection);
// A session ended (its connection closed): wakes a connect thread waiting on its handshake.
void tls_link_session_ended();
// Frees everything (Unload).
void tls_link_reset();

// One line for people: whether the session is encrypted and with which certificate, or why the
// last attempt was refused or found no server. True when the current session runs inside TLS.
bool tls_link_describe(char* out, size_t out_size);
// An attempt that found no server to log in to keeps what it tried, "not connected: <what>",
// as the line above until the next connection: the user needs it to mend a mistyped address.
// A refusal of the latest connection's encryption says more, and is kept instead.
void tls_link_note_unreached(const char* what);

// "<module>/ConnectionSecurity": the same line into the buffer lParam of wParam bytes; 1 when
// the current session runs inside TLS, else 0.
INT_PTR MRIM_ConnectionSecurity(WPARAM size, LPARAM buffer);

// Hex of a fingerprint (2 × TLS_FINGERPRINT_SIZE characters and a terminator).
void tls_fingerprint_hex(const BYTE fingerprint[TLS_FINGERPRINT_SIZE], char* out);
