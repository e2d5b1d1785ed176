// The account's connection record (see tls_link.h).
//
// Who does what: the connect thread makes the record, asks for TLS, opens the channel and sends
// its first flight, then waits; the listener, the only reader, hands every delivery here, so the
// rest of the handshake runs on the listener thread, which sends the handshake's answers itself;
// when the handshake ends the connect thread checks the certificate and only then lets the
// session's packets through, the ones held meanwhile first.
//
// Locks, always taken in this order: write_mutex, then link_mutex.
//  - write_mutex keeps one write at a time on the wire, so that records go out in the order they
//    were sealed (TLS numbers them), and keeps a connection from being closed under a write.
//  - link_mutex guards the record: its phase, its channel, what it holds. The system's TLS makes
//    no promise for a context used by two threads at once, so every call on the channel is
//    under it.
// The host is never called with link_mutex held: a writer seals under both and sends with only
// write_mutex held; the listener takes link_mutex alone and collects the handshake's answers to
// send them after letting go of it. Settings are read and written with neither held: a write
// raises the host's setting-changed event, whose handlers may send.
#include "protocol/tls_link.h"

#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/receivers.h"
#include "protocol/server_choice.h"

namespace {

enum class Phase {
  clear,        // the session is in clear: the account never asks, or the server offers none
  asking,       // the request for TLS is (about to be) out: only it may go, only its answer come
  answered,     // its answer came; the connect thread decides; nothing more may come in clear
  handshaking,  // the channel is open and the handshake under way
  checking,     // the handshake is over; the connect thread looks at the certificate
  secure,       // the certificate was accepted: the session runs inside TLS
  failed,       // TLS broke, was refused or attacked: nothing more goes either way
};

constexpr BYTE kNever = 0;
constexpr BYTE kRequired = 2;
// A session's writes while its upgrade runs can only be keep-alives (its requests wait for the
// log-in, which waits for the upgrade): a few of them fit, more is no session worth keeping.
constexpr uint32_t kHeldWriteLimit = 4096;
// Plaintext that arrives before the certificate is accepted: a server has no cause to send any
// before our greeting, so one receiver's worth is plenty.
constexpr uint32_t kHeldReadLimit = 65536;

constexpr const char* kNotOffered = "the server offers no encryption";
constexpr const char* kNoLongerOffered =
    "the server no longer offers encryption, which it offered before (clear the pinned certificate to accept "
    "that)";
constexpr const char* kNotTrusted = "the server's certificate is not trusted";
constexpr const char* kSystemUnable =
    "the system's TLS cannot speak TLS 1.2, and this account is encrypted with its server (or requires it)";
constexpr const char* kAttack =
    "bytes came in clear where only the answer to the request for encryption may come; the connection was "
    "dropped as an attack on the upgrade";

struct Record {
  HANDLE connection = nullptr;  // the socket handle the record was made for
  uint32_t generation = 0;      // the session it is bound to; 0 until then
  BYTE mode = 1;                // the account's "Encryption" as the record's start read it
  bool pinned = false;          // the account held a pin for the chosen server then
  bool system_unable = false;   // the system's TLS cannot speak TLS 1.2 (an older Windows)
  char chosen_name[MRIM_HOST_NAME_MAX + 1] = "";
  Phase phase = Phase::clear;
  TlsChannel channel{};
  bool channel_open = false;
  bool handshake_failed = false;  // of the latest upgrade
  bool request_sent = false;      // the request for TLS went out, under request_seq
  uint32_t request_seq = 0;
  BYTE answer[MRIM_HEADER_SIZE] = {};  // its answer as it comes, possibly over several deliveries
  uint32_t answer_length = 0;
  BYTE held_out[kHeldWriteLimit] = {};
  uint32_t held_out_length = 0;
  BYTE held_in[kHeldReadLimit] = {};
  uint32_t held_in_length = 0;
  bool held_in_overflow = false;
};

// Learnt when a channel cannot be opened and the system then says it cannot speak TLS 1.2: the
// system's TLS is asked only then, since asking costs a handshake's start on every connect.
std::atomic<bool> system_found_unable{false};

std::mutex write_mutex;
std::mutex link_mutex;
std::condition_variable link_changed;
// Under link_mutex.
Record record;
// Long enough for a line that names two fingerprints and the longest host name.
char verdict[512] = "not connected";
bool verdict_refusal = false;
// The refusal was made on the latest connection (since tls_link_prepare): it tells more than a
// note of what was tried, and stays.
bool refused_on_connection = false;
// Under write_mutex: the sealed records of one write.
BYTE* sealed = nullptr;
uint64_t sealed_capacity = 0;
// Under link_mutex: the thread whose write is under way, and a close that came from inside that
// write (the host may run the plug-in's code from inside its send, which may end the session):
// the write closes the handle once the host's send has returned.
std::thread::id writer;
HANDLE close_after_write = nullptr;

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

// The sink of a session whose certificate is not accepted yet (under link_mutex).
void hold_plain(const BYTE* bytes, uint32_t count, void*) {
  if (count > kHeldReadLimit - record.held_in_length) {
    record.held_in_overflow = true;
    return;
  }
  memcpy(record.held_in + record.held_in_length, bytes, count);
  record.held_in_length += count;
}

void close_channel_locked() {
  if (record.channel_open) tls_close(&record.channel);
  record.channel_open = false;
}

// A refusal's line stays worth telling after its session has gone; the others do not.
void set_verdict_locked(bool refusal, const char* format, const char* a = "", const char* b = "") {
  snprintf(verdict, sizeof verdict, format, a, b);
  verdict_refusal = refusal;
  refused_on_connection = refusal;
}

// What the record held for its session goes with it; the log says how much never went out.
void drop_held_locked(const char* why) {
  if (record.held_out_length > 0)
    mrim_log("TLS: %lu held bytes were not sent: %s\n", static_cast<unsigned long>(record.held_out_length),
             why);
  record.held_out_length = 0;
  memset(record.held_in, 0, record.held_in_length);  // decrypted text never lingers
  record.held_in_length = 0;
  record.held_in_overflow = false;
}

void fail_locked(const char* reason) {
  record.phase = Phase::failed;
  close_channel_locked();
  drop_held_locked(reason);
  set_verdict_locked(true, "not connected: %s", reason);
}

bool bound_locked(uint32_t generation) {
  return record.generation != 0 && record.generation == generation && receiver_generation() == generation;
}

// The record's own connection while it is the session's: null when either has moved on.
HANDLE current_connection_locked() {
  HANDLE connection = protocol_state.connection;
  return connection != nullptr && connection == record.connection ? connection : nullptr;
}

bool has_code(const char* data, int length, uint32_t wanted) {
  if (length < static_cast<int>(MRIM_HEADER_SIZE)) return false;
  uint32_t code = 0;
  memcpy(&code, data + offsetof(MrimPacket, msg), sizeof code);
  return code == wanted;
}

// The host's send, with write_mutex held (and link_mutex not).
INT_PTR write_locked(HANDLE connection, const char* bytes, int count) {
  {
    std::lock_guard lock(link_mutex);
    writer = std::this_thread::get_id();
  }
  INT_PTR sent = send_data(connection, bytes, count, 0);
  HANDLE closing = nullptr;
  {
    std::lock_guard lock(link_mutex);
    writer = std::thread::id();
    closing = close_after_write;
    close_after_write = nullptr;
  }
  if (closing != nullptr) close_handle(closing);
  return sent;
}

// Seals plaintext into `sealed` (under both locks). False when it cannot be.
bool seal_locked(const BYTE* plain, uint32_t length, const char** bytes, int* count) {
  uint64_t needed = tls_sealed_size(&record.channel, length);
  if (needed == 0 || needed > INT32_MAX) return false;
  if (needed > sealed_capacity) {
    void* larger = realloc(sealed, static_cast<size_t>(needed));
    if (larger == nullptr) return false;
    sealed = static_cast<BYTE*>(larger);
    sealed_capacity = needed;
  }
  uint32_t written = 0;
  if (!tls_seal(&record.channel, plain, length, sealed, sealed_capacity, &written)) return false;
  *bytes = reinterpret_cast<const char*>(sealed);
  *count = static_cast<int>(written);
  return true;
}

// The phase a decision of the connect thread leaves the session in: what it held goes out now,
// before any later write, sealed in a secure session and in clear in a clear one.
void enter_phase(uint32_t generation, Phase next) {
  std::lock_guard write_lock(write_mutex);
  const char* bytes = nullptr;
  int count = 0;
  BYTE clear_copy[kHeldWriteLimit];
  HANDLE connection = nullptr;
  {
    std::lock_guard lock(link_mutex);
    if (!bound_locked(generation) || record.phase == Phase::failed) return;
    record.phase = next;
    connection = current_connection_locked();
    if (connection == nullptr || record.held_out_length == 0) return;
    if (next == Phase::secure) {
      if (!seal_locked(record.held_out, record.held_out_length, &bytes, &count)) return;
    } else {
      memcpy(clear_copy, record.held_out, record.held_out_length);
      bytes = reinterpret_cast<const char*>(clear_copy);
      count = static_cast<int>(record.held_out_length);
    }
    record.held_out_length = 0;
  }
  // A failure shows at the session's next write or read; the held writes counted as taken.
  write_locked(connection, bytes, count);
}

// The handshake's answers go out raw, and only on the connection they belong to.
bool send_tokens(uint32_t generation, const Tokens& tokens) {
  if (tokens.length == 0) return true;
  std::lock_guard write_lock(write_mutex);
  HANDLE connection = nullptr;
  {
    std::lock_guard lock(link_mutex);
    if (!bound_locked(generation)) return false;
    connection = current_connection_locked();
  }
  if (connection == nullptr) return false;
  return write_locked(connection, reinterpret_cast<const char*>(tokens.bytes),
                      static_cast<int>(tokens.length)) >= 0;
}

// Waits for the listener to end the handshake. The phase it ended in, or Phase::clear when the
// session ended, Unload came or the time-out passed.
Phase wait_for_handshake(uint32_t generation) {
  const DWORD limit_ms = get_timeout() * 1000;
  const DWORD started = GetTickCount();
  std::unique_lock lock(link_mutex);
  for (;;) {
    if (!bound_locked(generation) || stop_requested())
      return record.handshake_failed ? Phase::failed : Phase::clear;
    if (record.phase != Phase::handshaking) return record.phase;
    if (GetTickCount() - started >= limit_ms) return Phase::clear;
    link_changed.wait_for(lock, std::chrono::milliseconds(100));
  }
}

// The answer to the request for TLS, as its bytes come in clear: exactly one header-only packet
// under the request's number, saying go ahead or not offered, and not a byte more.
enum class Answer { incomplete, complete, attack };
Answer take_answer_locked(const BYTE* bytes, uint32_t count, TlsSink sink, void* context) {
  if (!record.request_sent || count > MRIM_HEADER_SIZE - record.answer_length) return Answer::attack;
  memcpy(record.answer + record.answer_length, bytes, count);
  record.answer_length += count;
  if (record.answer_length < MRIM_HEADER_SIZE) return Answer::incomplete;
  MrimPacket header;
  memcpy(&header, record.answer, MRIM_HEADER_SIZE);
  if (header.magic != MRIM_MAGIC || header.dlen != 0 || header.seq != record.request_seq ||
      (header.msg != MRIM_CS_STARTTLS_ACK && header.msg != MRIM_CS_STARTTLS_REJ))
    return Answer::attack;
  record.phase = Phase::answered;
  sink(record.answer, MRIM_HEADER_SIZE, context);
  return Answer::complete;
}

int refuse(const char* reason) {
  mrim_log("TLS: log-in refused: %s\n", reason);
  return LOGINERR_WRONGPROTOCOL;
}

int refuse_session(uint32_t generation, const char* reason) {
  {
    std::lock_guard lock(link_mutex);
    if (bound_locked(generation)) {
      record.phase = Phase::failed;
      close_channel_locked();
      drop_held_locked(reason);
    }
    set_verdict_locked(true, "not connected: %s", reason);
  }
  link_changed.notify_all();
  return refuse(reason);
}

// A text setting of the account, empty when missing.
void read_account_text(const char* name, char* out, size_t out_size) {
  out[0] = '\0';
  SettingVariant value;
  if (!mrim_read_text_setting(nullptr, protocol_state.module_name, name, &value)) return;
  lstrcpynA(out, value.text, static_cast<int>(out_size));
  free_setting(&value);
}

// Host names compare without regard to (ASCII) case.
bool same_host(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

struct Pin {
  char fingerprint[2 * TLS_FINGERPRINT_SIZE + 1];  // hex digits only, lower case; empty for none
  bool typed_in;                                   // the setting held something, for this server or not
  bool for_server;  // made for the chosen server (or for no server in particular)
  bool has_server;  // the server it was made for is known
};

// The account's pin, if it was made for the chosen server. A pin the user typed is read as its
// hex digits; one with more digits than a fingerprint can match nothing, and is kept as typed.
Pin read_pin(const char* chosen_name) {
  Pin pin{};
  char typed[512];
  char host[MRIM_HOST_NAME_MAX + 1];
  read_account_text("CertificatePin", typed, sizeof typed);
  read_account_text("CertificatePinHost", host, sizeof host);
  size_t digits = 0;
  bool too_long = false;
  for (const char* p = typed; *p != '\0'; ++p) {
    if (!isxdigit(static_cast<unsigned char>(*p))) continue;
    if (digits + 1 >= sizeof pin.fingerprint) {
      too_long = true;
      break;
    }
    pin.fingerprint[digits++] = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  }
  pin.fingerprint[digits] = '\0';
  pin.typed_in = typed[0] != '\0';
  // Anything typed counts as a pin, even one that can never match: it is the user's word.
  if (pin.typed_in && (digits == 0 || too_long)) snprintf(pin.fingerprint, sizeof pin.fingerprint, "%s", "?");
  pin.has_server = host[0] != '\0';
  pin.for_server = pin.typed_in && (!pin.has_server || same_host(host, chosen_name));
  return pin;
}

void write_pin(const char* fingerprint_hex, const char* chosen_name) {
  write_setting_string(nullptr, protocol_state.module_name, "CertificatePin", fingerprint_hex);
  write_setting_string(nullptr, protocol_state.module_name, "CertificatePinHost", chosen_name);
}

// The certificate of a finished handshake, by the trust rule of tls_link.h. On acceptance the
// session turns secure; otherwise the refusal's line is set.
bool accept_certificate(uint32_t generation) {
  BYTE fingerprint[TLS_FINGERPRINT_SIZE];
  char hex[2 * TLS_FINGERPRINT_SIZE + 1] = "";
  char chosen[MRIM_HOST_NAME_MAX + 1];
  PCCERT_CONTEXT certificate = nullptr;
  {
    std::lock_guard lock(link_mutex);
    if (!bound_locked(generation) || record.phase != Phase::checking) return false;
    lstrcpynA(chosen, record.chosen_name, sizeof chosen);
    certificate = tls_peer_certificate(&record.channel);
  }
  // Building the chain may take the system a while (and on Windows may go to the network): it
  // is done on the certificate's own reference, with the record free for the listener.
  bool known = certificate != nullptr && tls_certificate_fingerprint(certificate, fingerprint);
  bool trusted = known && tls_certificate_trusted(certificate, chosen);
  if (certificate != nullptr) CertFreeCertificateContext(certificate);
  if (!known) {
    mrim_log("TLS: the server's certificate cannot be read\n");
    std::lock_guard lock(link_mutex);
    set_verdict_locked(true, "not connected: %s (it cannot be read)", kNotTrusted);
    return false;
  }
  tls_fingerprint_hex(fingerprint, hex);
  Pin pin = read_pin(chosen);
  if (pin.typed_in && !pin.for_server)
    mrim_log("TLS: the pinned certificate was made for another server; %s starts afresh\n", chosen);
  char line[sizeof verdict];
  bool accepted = true;
  if (pin.for_server && strcmp(pin.fingerprint, hex) == 0) {
    mrim_log("TLS: the certificate of %s is the pinned one (SHA-256 %s)\n", chosen, hex);
    if (trusted)
      snprintf(line, sizeof line, "encrypted (TLS), certificate SHA-256 %s; the system trusts it for %s", hex,
               chosen);
    else
      snprintf(line, sizeof line, "encrypted (TLS), certificate SHA-256 %s; accepted by its pin", hex);
    // A pin of an older profile learns its server; the pin itself stays as the user typed it.
    if (!pin.has_server)
      write_setting_string(nullptr, protocol_state.module_name, "CertificatePinHost", chosen);
  } else if (pin.for_server && trusted) {
    mrim_log(
        "TLS: the certificate of %s changed from SHA-256 %s to %s, which the system trusts for %s: "
        "the pin moved to it\n",
        chosen, pin.fingerprint, hex, chosen);
    snprintf(
        line, sizeof line,
        "encrypted (TLS), certificate SHA-256 %s; the system trusts it for %s; it replaces the pinned %s",
        hex, chosen, pin.fingerprint);
    write_pin(hex, chosen);
  } else if (pin.for_server) {
    mrim_log("TLS: the certificate of %s (SHA-256 %s) is not the pinned one (%s): refused\n", chosen, hex,
             pin.fingerprint);
    char both[2 * sizeof hex + 32];
    snprintf(both, sizeof both, "SHA-256 %s; the pinned one is %.64s", hex, pin.fingerprint);
    snprintf(line, sizeof line, "not connected: %s (%s)", kNotTrusted, both);
    accepted = false;
  } else {
    // The first certificate accepted is pinned, trusted or not: otherwise the first self-signed
    // one an attacker shows later would be.
    mrim_log("TLS: pinned the certificate of %s on first use: SHA-256 %s%s\n", chosen, hex,
             trusted ? " (the system trusts it)" : "");
    if (trusted)
      snprintf(line, sizeof line, "encrypted (TLS), certificate SHA-256 %s; the system trusts it for %s", hex,
               chosen);
    else
      snprintf(line, sizeof line, "encrypted (TLS), certificate SHA-256 %s; pinned on first use", hex);
    write_pin(hex, chosen);
  }
  {
    std::lock_guard lock(link_mutex);
    if (!bound_locked(generation) || record.phase != Phase::checking) return false;
    set_verdict_locked(!accepted, "%s", line);
    if (!accepted) {
      record.phase = Phase::failed;
      drop_held_locked(kNotTrusted);
    }
  }
  if (accepted) enter_phase(generation, Phase::secure);
  return accepted;
}

}  // namespace

void tls_link_prepare(HANDLE connection, const char* chosen_name, BYTE mode) {
  const Pin pin = read_pin(chosen_name);
  const bool system_unable = mode != kNever && system_found_unable.load();
  std::lock_guard write_lock(write_mutex);
  std::lock_guard lock(link_mutex);
  close_channel_locked();
  drop_held_locked("a new connection");
  record.connection = connection;
  record.generation = 0;
  record.mode = mode;
  record.pinned = pin.for_server;
  record.system_unable = system_unable;
  lstrcpynA(record.chosen_name, chosen_name, sizeof record.chosen_name);
  refused_on_connection = false;
  record.phase = mode == kNever ? Phase::clear : Phase::asking;
  record.handshake_failed = false;
  record.request_sent = false;
  record.request_seq = 0;
  record.answer_length = 0;
}

bool tls_link_start(uint32_t generation) {
  BYTE mode = kNever;
  bool unable = false;
  {
    std::lock_guard lock(link_mutex);
    record.generation = generation;
    mode = record.mode;
    unable = record.system_unable;
    // Where the system's TLS cannot speak to the server, an account that merely wants encryption
    // and was never encrypted with this server goes on in clear, and says so, rather than ask for
    // what it cannot do; any other account is refused by tls_link_upgrade.
    if (unable && mode != kRequired && !record.pinned) {
      record.phase = Phase::clear;
      set_verdict_locked(false, "not encrypted (the system's TLS cannot speak TLS 1.2)");
    } else {
      set_verdict_locked(false, "not encrypted");
    }
  }
  link_changed.notify_all();
  if (mode == kNever) mrim_log("TLS: not asked for (\"Encryption\" is 0)\n");
  if (mode != kNever && unable) mrim_log("TLS: the system's TLS cannot speak TLS 1.2\n");
  return mode != kNever && !unable;
}

int tls_link_upgrade(uint32_t generation, TlsOffer offer) {
  BYTE mode = kNever;
  bool pinned = false;
  char chosen[MRIM_HOST_NAME_MAX + 1];
  {
    std::lock_guard lock(link_mutex);
    mode = record.mode;
    pinned = record.pinned;
    lstrcpynA(chosen, record.chosen_name, sizeof chosen);
  }
  switch (offer) {
    case TLS_OFFER_NOT_ASKED: {
      bool unable = false;
      {
        std::lock_guard lock(link_mutex);
        unable = record.system_unable && record.phase != Phase::clear;
      }
      if (unable) return refuse_session(generation, kSystemUnable);
      return 0;
    }
    case TLS_OFFER_ENDED:
      return LOGINERR_NOSERVER;
    case TLS_OFFER_NO_ANSWER:
      // Silence proves nothing about what the server offers: it is a server that cannot be
      // reached now, and is tried again like one.
      mrim_log("TLS: no answer to the request for encryption\n");
      return LOGINERR_NOSERVER;
    case TLS_OFFER_REFUSED:
      if (mode == kRequired) return refuse_session(generation, kNotOffered);
      // Being encrypted once means staying encrypted: a refusal now is what an attacker on the
      // path would forge.
      if (pinned) return refuse_session(generation, kNoLongerOffered);
      mrim_log("TLS: the server offers no encryption, the session goes on in clear\n");
      enter_phase(generation, Phase::clear);
      return 0;
    case TLS_OFFER_GO:
      break;
  }

  Tokens first{};
  {
    std::lock_guard lock(link_mutex);
    if (!bound_locked(generation) || record.phase != Phase::answered) return LOGINERR_NOSERVER;
    Intake intake{&first, nullptr, nullptr};
    if (!tls_open(&record.channel, chosen, gather, &intake)) {
      if (!tls_system_supported()) {
        // The server expects a handshake now: the session cannot go on in clear. The next
        // connect knows not to ask (tls_link_start), or is refused before anything is sent.
        system_found_unable = true;
        if (record.mode != kRequired && !record.pinned) {
          fail_locked("the system's TLS cannot speak TLS 1.2; connecting again without asking for it");
          mrim_log("TLS: the system's TLS cannot speak TLS 1.2: connecting again without asking for it\n");
          return LOGINERR_NOSERVER;
        }
        fail_locked(kSystemUnable);
        return refuse(kSystemUnable);
      }
      fail_locked("the server's certificate is not trusted (the system's TLS cannot start)");
      return refuse(kNotTrusted);
    }
    record.channel_open = true;
    // Before the first flight goes: the server's answer must find the listener ready for it.
    record.phase = Phase::handshaking;
  }
  mrim_log("TLS: the server offers encryption, handshake started\n");
  if (!send_tokens(generation, first)) return LOGINERR_NOSERVER;

  Phase ended = wait_for_handshake(generation);
  if (ended == Phase::failed) {
    {
      std::lock_guard lock(link_mutex);
      set_verdict_locked(true, "not connected: %s (the TLS handshake failed)", kNotTrusted);
    }
    return refuse(kNotTrusted);
  }
  // Cut off by the network or the clock: a server that cannot be reached now.
  if (ended != Phase::checking) {
    mrim_log("TLS: the handshake did not end\n");
    return LOGINERR_NOSERVER;
  }
  if (!accept_certificate(generation)) {
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
    // A session in clear reads as it always has (the listener drops what is not its session's).
    if (record.phase == Phase::clear && (record.generation == 0 || record.generation == generation))
      return TLS_LINK_CLEAR;
    // Nothing was written on a connection that asks for TLS before its record was bound: a
    // server that speaks first is no server of this network.
    if (!bound_locked(generation)) return TLS_LINK_FAILED;
    switch (record.phase) {
      case Phase::clear:
        return TLS_LINK_CLEAR;
      case Phase::failed:
        return TLS_LINK_FAILED;
      case Phase::asking:
        if (take_answer_locked(bytes, count, sink, context) != Answer::attack) break;
        [[fallthrough]];
      case Phase::answered:
        mrim_log(
            "TLS: %lu bytes came in clear after the request for encryption, other than its answer: "
            "dropped as an attack\n",
            static_cast<unsigned long>(count));
        fail_locked(kAttack);
        outcome = TLS_LINK_FAILED;
        break;
      case Phase::handshaking:
      case Phase::checking:
      case Phase::secure: {
        const Phase before = record.phase;
        const bool accepted = before == Phase::secure;
        if (accepted && record.held_in_length > 0) {
          sink(record.held_in, record.held_in_length, context);
          memset(record.held_in, 0, record.held_in_length);
          record.held_in_length = 0;
        }
        // Until the certificate is accepted, what the records carry waits in the record.
        Intake intake{&answers, accepted ? sink : hold_plain, context};
        TlsResult result = tls_take(&record.channel, bytes, count, gather, pass_on, &intake);
        if (result == TLS_FAILED || result == TLS_CLOSED || record.held_in_overflow) {
          const char* why = result == TLS_CLOSED      ? "the server ended TLS"
                            : record.held_in_overflow ? "too much came before the certificate was accepted"
                                                      : "the channel failed";
          mrim_log("TLS: %s\n", why);
          if (before == Phase::handshaking) record.handshake_failed = true;
          record.phase = Phase::failed;
          close_channel_locked();
          drop_held_locked(why);
          outcome = TLS_LINK_FAILED;
        } else if (before == Phase::handshaking && record.channel.established) {
          record.phase = Phase::checking;
        }
        break;
      }
    }
  }
  link_changed.notify_all();
  // An alert that goes with a failure is sent all the same; the connection is dropped after it.
  if (!send_tokens(generation, answers)) outcome = TLS_LINK_FAILED;
  return outcome;
}

INT_PTR tls_link_send(const char* data, int length) {
  if (length < 0) return -1;
  std::lock_guard write_lock(write_mutex);
  const char* bytes = data;
  int count = length;
  HANDLE connection = nullptr;
  {
    std::lock_guard lock(link_mutex);
    // A write that finds no connection, or one that is not the record's, fails.
    connection = current_connection_locked();
    if (connection == nullptr) return -1;
    switch (record.phase) {
      case Phase::clear:
        break;
      case Phase::asking:
        if (!record.request_sent && has_code(data, length, MRIM_CS_STARTTLS)) {
          record.request_sent = true;
          memcpy(&record.request_seq, data + offsetof(MrimPacket, seq), sizeof record.request_seq);
          break;
        }
        [[fallthrough]];
      case Phase::answered:
      case Phase::handshaking:
      case Phase::checking:
        // Neither sealed yet nor sent in clear: a keep-alive is held until the session's
        // encryption is decided. Nothing else belongs before the log-in (servers end a session
        // for it), so anything else, such as a request of a session that ended meanwhile, fails.
        if (!has_code(data, length, MRIM_CS_PING)) return -1;
        if (static_cast<uint32_t>(length) > kHeldWriteLimit - record.held_out_length) return -1;
        memcpy(record.held_out + record.held_out_length, data, static_cast<size_t>(length));
        record.held_out_length += static_cast<uint32_t>(length);
        return length;
      case Phase::secure:
        if (!seal_locked(reinterpret_cast<const BYTE*>(data), static_cast<uint32_t>(length), &bytes, &count))
          return -1;
        break;
      case Phase::failed:
        return -1;
    }
  }
  // Every record of the packet in one send: servers take each packet from one read.
  INT_PTR sent = write_locked(connection, bytes, count);
  return sent < 0 ? -1 : length;
}

void tls_link_close(HANDLE connection) {
  if (connection == nullptr) return;
  {
    std::lock_guard lock(link_mutex);
    if (writer == std::this_thread::get_id()) {
      // From inside this thread's own write: the write closes it once the host's send returns.
      if (record.connection == connection) {
        record.connection = nullptr;
        drop_held_locked("the connection closed");
      }
      close_after_write = connection;
      return;
    }
  }
  {
    // Taking the write lock waits for a write under way on this connection; from then on none
    // finds it.
    std::lock_guard write_lock(write_mutex);
    Tokens farewell{};
    {
      std::lock_guard lock(link_mutex);
      if (record.connection == connection) {
        record.connection = nullptr;
        drop_held_locked("the connection closed");
        // A session inside TLS ends with close_notify, so the server can tell our going from a
        // connection cut by someone on the path.
        if (record.phase == Phase::secure && record.channel_open) {
          Intake intake{&farewell, nullptr, nullptr};
          tls_shutdown(&record.channel, gather, &intake);
        }
      }
    }
    if (farewell.length > 0)
      write_locked(connection, reinterpret_cast<const char*>(farewell.bytes),
                   static_cast<int>(farewell.length));
  }
  close_handle(connection);
}

void tls_link_session_ended() {
  {
    std::lock_guard lock(link_mutex);
    // The record of a session whose connection closed; a record made for a newer connection
    // already let go of the old channel.
    if (record.connection == nullptr) {
      close_channel_locked();
      if (record.phase != Phase::clear) record.phase = Phase::failed;
    }
  }
  link_changed.notify_all();
}

void tls_link_reset() {
  system_found_unable = false;
  std::lock_guard write_lock(write_mutex);
  std::lock_guard lock(link_mutex);
  close_channel_locked();
  drop_held_locked("unloading");
  record.connection = nullptr;
  record.generation = 0;
  record.phase = Phase::clear;
  record.handshake_failed = false;
  free(sealed);
  sealed = nullptr;
  sealed_capacity = 0;
  snprintf(verdict, sizeof verdict, "not connected");
  verdict_refusal = false;
  refused_on_connection = false;
}

bool tls_link_describe(char* out, size_t out_size) {
  if (out_size == 0) return false;
  std::lock_guard lock(link_mutex);
  bool current = bound_locked(record.generation) && current_connection_locked() != nullptr;
  snprintf(out, out_size, "%s", current || verdict_refusal ? verdict : "not connected");
  return current && record.phase == Phase::secure;
}

void tls_link_note_unreached(const char* what) {
  std::lock_guard lock(link_mutex);
  if (refused_on_connection) return;
  set_verdict_locked(true, "not connected: %s", what);
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
