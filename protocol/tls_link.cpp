// The session's encryption (see tls_link.h).
//
// Who does what: the connect thread asks for TLS, opens the channel and sends its first flight,
// then waits; the listener, the only reader, feeds every delivery to the channel, so the rest of
// the handshake runs on the listener thread, which sends the handshake's answers itself; when
// the handshake ends the connect thread checks the certificate and only then lets the session's
// packets through. A session that asked for TLS sends nothing in clear from then on.
//
// Locks: link_mutex guards the channel and the phase; write_mutex keeps one write at a time on
// the wire, so that records go out in the order they were sealed (TLS numbers them). A writer
// takes write_mutex, then link_mutex to seal, and sends with only write_mutex held; the listener
// takes link_mutex alone, and collects the handshake's answers to send them after letting go of
// it, so the two never wait on each other the other way round. The system's TLS makes no promise
// for a context used by two threads at once, so every call on the channel is under link_mutex.
#include "protocol/tls_link.h"

#include <cctype>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/receivers.h"

namespace {

enum class Phase {
  none,         // the session is in clear (or there is none)
  asking,       // the upgrade is asked for: nothing but that request may go out in clear
  handshaking,  // the channel is open and the handshake under way
  checking,     // the handshake is over; the connect thread looks at the certificate
  secure,       // the certificate was accepted: the session runs inside TLS
  failed,       // TLS broke; nothing more goes through the channel
};

constexpr BYTE kNever = 0;
constexpr BYTE kRequired = 2;
constexpr const char* kNotOffered = "the server offers no encryption";
constexpr const char* kNotTrusted = "the server's certificate is not trusted";

std::mutex link_mutex;
std::condition_variable link_changed;
// Under link_mutex.
uint32_t link_generation = 0;
BYTE link_mode = 1;  // the account's "Encryption" as the session's start read it
Phase phase = Phase::none;
TlsChannel channel;
bool channel_open = false;
bool handshake_failed = false;  // of the latest upgrade; survives the session's end
// Long enough for a refusal that names two fingerprints.
char verdict[256] = "not connected";
bool verdict_refusal = false;

std::mutex write_mutex;
// Under write_mutex: the sealed records of one write.
BYTE* sealed = nullptr;
uint64_t sealed_capacity = 0;

// The handshake's answers, gathered under link_mutex and sent after it. A client's flights are a
// few hundred bytes; one that would not fit fails the handshake rather than being cut.
struct Tokens {
  BYTE bytes[8192];
  uint32_t length;
};

struct Intake {
  Tokens* tokens;
  TlsSink sink;
  void* sink_context;
};

bool gather(const BYTE* bytes, uint32_t count, void* context) {
  Tokens* tokens = static_cast<Intake*>(context)->tokens;
  if (count > sizeof tokens->bytes - tokens->length) return false;
  memcpy(tokens->bytes + tokens->length, bytes, count);
  tokens->length += count;
  return true;
}

void pass_on(const BYTE* bytes, uint32_t count, void* context) {
  auto* intake = static_cast<Intake*>(context);
  if (intake->sink != nullptr) intake->sink(bytes, count, intake->sink_context);
}

void close_channel_locked() {
  if (channel_open) tls_close(&channel);
  channel_open = false;
}

// A refusal's line stays worth telling after its session has gone; the others do not.
void set_verdict_locked(bool refusal, const char* format, const char* a = "", const char* b = "") {
  snprintf(verdict, sizeof verdict, format, a, b);
  verdict_refusal = refusal;
}

// The handshake's answers go out raw, and only on the connection they belong to.
bool send_tokens(uint32_t generation, const Tokens& tokens) {
  if (tokens.length == 0) return true;
  std::lock_guard lock(write_mutex);
  HANDLE connection = protocol_state.connection;
  if (connection == nullptr || receiver_generation() != generation) return false;
  return send_data(connection, reinterpret_cast<const char*>(tokens.bytes), static_cast<int>(tokens.length),
                   0) >= 0;
}

// Waits for the listener to end the handshake. The phase it ended in, or Phase::none when the
// session ended, Unload came or the time-out passed.
Phase wait_for_handshake(uint32_t generation) {
  const DWORD limit_ms = get_timeout() * 1000;
  const DWORD started = GetTickCount();
  std::unique_lock lock(link_mutex);
  for (;;) {
    if (link_generation != generation || receiver_generation() != generation || stop_requested())
      return handshake_failed ? Phase::failed : Phase::none;
    if (phase != Phase::handshaking) return phase;
    if (GetTickCount() - started >= limit_ms) return Phase::none;
    link_changed.wait_for(lock, std::chrono::milliseconds(100));
  }
}

// The certificate of a finished handshake: the system's trust, else the pin, else pinned now.
bool accept_certificate(uint32_t generation, const char* server_name) {
  BYTE fingerprint[TLS_FINGERPRINT_SIZE];
  char hex[2 * TLS_FINGERPRINT_SIZE + 1] = "";
  bool known = false;
  bool trusted = false;
  {
    std::lock_guard lock(link_mutex);
    if (link_generation != generation || phase != Phase::checking) return false;
    known = tls_fingerprint(&channel, fingerprint);
    if (known) trusted = tls_trusted_by_system(&channel);
  }
  if (!known) {
    mrim_log("TLS: the server's certificate cannot be read\n");
    std::lock_guard lock(link_mutex);
    set_verdict_locked(true, "not connected: %s (it cannot be read)", kNotTrusted);
    return false;
  }
  tls_fingerprint_hex(fingerprint, hex);
  // The pin as hex digits alone, for the refusal's line: the user compares it with the new one.
  char pinned_hex[2 * TLS_FINGERPRINT_SIZE + 1] = "";
  bool accepted = trusted;
  if (trusted) {
    mrim_log("TLS: the system trusts the certificate of %s (SHA-256 %s)\n", server_name, hex);
  } else {
    SettingVariant pin;
    bool pinned = mrim_read_text_setting(nullptr, protocol_state.module_name, "CertificatePin", &pin);
    bool empty = !pinned || pin.text[0] == '\0';
    if (empty) {
      write_setting_string(nullptr, protocol_state.module_name, "CertificatePin", hex);
      mrim_log("TLS: pinned the certificate of %s on first use: SHA-256 %s\n", server_name, hex);
      accepted = true;
    } else if (tls_pin_matches(pin.text, hex)) {
      mrim_log("TLS: the certificate of %s is the pinned one (SHA-256 %s)\n", server_name, hex);
      accepted = true;
    } else {
      mrim_log("TLS: the certificate of %s (SHA-256 %s) is not the pinned one (%s): refused\n", server_name,
               hex, pin.text);
      size_t digits = 0;
      for (const char* p = pin.text; *p != '\0' && digits + 1 < sizeof pinned_hex; ++p)
        if (isxdigit(static_cast<unsigned char>(*p)))
          pinned_hex[digits++] = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
      pinned_hex[digits] = '\0';
    }
    if (pinned) free_setting(&pin);
  }
  std::lock_guard lock(link_mutex);
  if (link_generation != generation || phase != Phase::checking) return false;
  if (accepted) {
    phase = Phase::secure;
    set_verdict_locked(false, "encrypted (TLS), certificate SHA-256 %s", hex);
  } else {
    char both[2 * sizeof hex + 32];
    snprintf(both, sizeof both, "SHA-256 %s; the pinned one is %s", hex, pinned_hex);
    set_verdict_locked(true, "not connected: %s (%s)", kNotTrusted, both);
  }
  return accepted;
}

int refuse(const char* reason) {
  mrim_log("TLS: log-in refused: %s\n", reason);
  return LOGINERR_WRONGPROTOCOL;
}

}  // namespace

bool tls_link_start(uint32_t generation) {
  const BYTE mode = get_setting_byte(nullptr, protocol_state.module_name, "Encryption", 1);
  {
    std::lock_guard lock(link_mutex);
    close_channel_locked();
    link_generation = generation;
    link_mode = mode;
    handshake_failed = false;
    set_verdict_locked(false, "not encrypted");
    phase = mode == kNever ? Phase::none : Phase::asking;
  }
  link_changed.notify_all();
  if (mode == kNever) mrim_log("TLS: not asked for (\"Encryption\" is 0)\n");
  return mode != kNever;
}

int tls_link_upgrade(uint32_t generation, const char* server_name, TlsOffer offer) {
  BYTE mode = kNever;
  {
    std::lock_guard lock(link_mutex);
    mode = link_mode;
  }
  if (offer == TLS_OFFER_NOT_ASKED) return 0;
  if (offer == TLS_OFFER_ENDED) return LOGINERR_NOSERVER;
  if (offer != TLS_OFFER_GO) {
    std::lock_guard lock(link_mutex);
    if (link_generation == generation) phase = Phase::none;
    if (mode == kRequired) {
      set_verdict_locked(true, "not connected: %s", kNotOffered);
      return refuse(kNotOffered);
    }
    mrim_log("TLS: the server offers no encryption, the session goes on in clear\n");
    return 0;
  }

  Tokens first{};
  {
    std::lock_guard lock(link_mutex);
    if (link_generation != generation || receiver_generation() != generation) return LOGINERR_NOSERVER;
    Intake intake{&first, nullptr, nullptr};
    if (!tls_open(&channel, server_name, gather, &intake)) {
      set_verdict_locked(true, "not connected: %s (the system's TLS cannot start)", kNotTrusted);
      return refuse(kNotTrusted);
    }
    channel_open = true;
    // Before the first flight goes: the server's answer must find the listener ready for it.
    phase = Phase::handshaking;
  }
  mrim_log("TLS: the server offers encryption, handshake started\n");
  if (!send_tokens(generation, first)) return LOGINERR_NOSERVER;

  Phase ended = wait_for_handshake(generation);
  if (ended == Phase::failed) {
    std::lock_guard lock(link_mutex);
    set_verdict_locked(true, "not connected: %s (the TLS handshake failed)", kNotTrusted);
    return refuse(kNotTrusted);
  }
  if (ended != Phase::checking) return LOGINERR_NOSERVER;
  if (!accept_certificate(generation, server_name)) {
    // A session that ended while its certificate was looked at is a lost connection.
    if (receiver_generation() != generation) return LOGINERR_NOSERVER;
    return refuse(kNotTrusted);
  }
  mrim_log("TLS: the session is encrypted\n");
  return 0;
}

TlsLinkReceive tls_link_receive(uint32_t generation, const BYTE* bytes, uint32_t count, TlsSink sink,
                                void* context) {
  Tokens answers;
  answers.length = 0;
  TlsLinkReceive outcome = TLS_LINK_TAKEN;
  {
    std::lock_guard lock(link_mutex);
    if (link_generation != generation || phase == Phase::none || phase == Phase::asking)
      return TLS_LINK_CLEAR;
    if (phase == Phase::failed) return TLS_LINK_FAILED;
    Intake intake{&answers, sink, context};
    const Phase before = phase;
    TlsResult result = tls_take(&channel, bytes, count, gather, pass_on, &intake);
    if (result == TLS_FAILED || result == TLS_CLOSED) {
      mrim_log("TLS: %s\n", result == TLS_CLOSED ? "the server ended TLS" : "the channel failed");
      if (before == Phase::handshaking) handshake_failed = true;
      phase = Phase::failed;
      close_channel_locked();
      outcome = TLS_LINK_FAILED;
    } else if (before == Phase::handshaking && channel.established) {
      phase = Phase::checking;
    }
  }
  link_changed.notify_all();
  // An alert that goes with a failure is sent all the same; the connection is dropped after it.
  if (!send_tokens(generation, answers)) outcome = TLS_LINK_FAILED;
  return outcome;
}

INT_PTR tls_link_send(HANDLE connection, const char* data, int length) {
  if (length < 0) return -1;
  std::lock_guard write_lock(write_mutex);
  // No lock of the link is held across the host's send: the host may call back into us.
  const char* bytes = data;
  int count = length;
  {
    std::lock_guard lock(link_mutex);
    bool in_clear = link_generation != receiver_generation() || phase == Phase::none;
    if (!in_clear && phase == Phase::failed) return -1;
    if (!in_clear && phase == Phase::asking) {
      // While the answer to the upgrade is awaited a keep-alive in clear would land where the
      // server expects the handshake: only the request itself goes.
      uint32_t code = 0;
      if (length >= static_cast<int>(MRIM_HEADER_SIZE))
        memcpy(&code, data + offsetof(MrimPacket, msg), sizeof code);
      if (code != MRIM_CS_STARTTLS) return length;
      in_clear = true;
    }
    // Until the certificate is accepted only the keep-alive can come here (the session's
    // packets wait for the connect thread, which is in the handshake): it is left out, as
    // it can be neither sealed yet nor sent in clear, and the connection is not dead for it.
    if (!in_clear && phase != Phase::secure) return length;
    if (!in_clear) {
      uint64_t needed = tls_sealed_size(&channel, static_cast<uint32_t>(length));
      if (needed > sealed_capacity) {
        void* larger = needed <= UINT32_MAX ? realloc(sealed, static_cast<size_t>(needed)) : nullptr;
        if (larger == nullptr) return -1;
        sealed = static_cast<BYTE*>(larger);
        sealed_capacity = needed;
      }
      uint32_t written = 0;
      if (!tls_seal(&channel, reinterpret_cast<const BYTE*>(data), static_cast<uint32_t>(length), sealed,
                    sealed_capacity, &written))
        return -1;
      bytes = reinterpret_cast<const char*>(sealed);
      count = static_cast<int>(written);
    }
  }
  // Every record of the packet in one send: servers take each packet from one read.
  INT_PTR sent = send_data(connection, bytes, count, 0);
  return sent < 0 ? -1 : length;
}

void tls_link_session_ended() {
  {
    std::lock_guard lock(link_mutex);
    if (link_generation != receiver_generation() && channel_open) {
      close_channel_locked();
      if (phase != Phase::failed) phase = Phase::none;
    }
  }
  link_changed.notify_all();
}

void tls_link_reset() {
  std::lock_guard write_lock(write_mutex);
  std::lock_guard lock(link_mutex);
  close_channel_locked();
  phase = Phase::none;
  link_generation = 0;
  handshake_failed = false;
  free(sealed);
  sealed = nullptr;
  sealed_capacity = 0;
  snprintf(verdict, sizeof verdict, "not connected");
  verdict_refusal = false;
}

bool tls_link_describe(char* out, size_t out_size) {
  if (out_size == 0) return false;
  std::lock_guard lock(link_mutex);
  bool current = link_generation == receiver_generation() && protocol_state.connection.load() != nullptr;
  snprintf(out, out_size, "%s", current || verdict_refusal ? verdict : "not connected");
  return current && phase == Phase::secure;
}

INT_PTR MRIM_ConnectionSecurity(WPARAM size, LPARAM buffer) {
  char line[sizeof verdict];
  bool secure = tls_link_describe(line, sizeof line);
  // The line is short; a larger buffer is not trusted for its size beyond it.
  const int room = size < sizeof line ? static_cast<int>(size) : static_cast<int>(sizeof line);
  if (buffer != 0 && room > 0) lstrcpynA(reinterpret_cast<char*>(buffer), line, room);
  return secure ? 1 : 0;
}

void tls_fingerprint_hex(const BYTE fingerprint[TLS_FINGERPRINT_SIZE], char* out) {
  static const char digits[] = "0123456789abcdef";
  for (uint32_t i = 0; i < TLS_FINGERPRINT_SIZE; ++i) {
    out[2 * i] = digits[fingerprint[i] >> 4];
    out[2 * i + 1] = digits[fingerprint[i] & 0x0F];
  }
  out[2 * TLS_FINGERPRINT_SIZE] = '\0';
}

// People paste fingerprints as "AB:CD:…" or in groups; only the hex digits count, in any case.
bool tls_pin_matches(const char* pin, const char* fingerprint_hex) {
  size_t matched = 0;
  for (const char* p = pin; *p != '\0'; ++p) {
    char c = *p;
    if (c == ':' || c == ' ' || c == '-') continue;
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (fingerprint_hex[matched] == '\0' || fingerprint_hex[matched] != c) return false;
    ++matched;
  }
  return fingerprint_hex[matched] == '\0';
}
