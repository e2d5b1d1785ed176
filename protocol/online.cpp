// Going online: mrim_go_online reads the account and starts MRIM_ConnectAndLoginThread, which
// asks the address service for the MRIM server, opens the connection and its receiver, greets
// the server, logs in and announces the requested status; plus the status mappings and the
// keep-alive period. How this is kept apart from going offline is explained in status.h.
#include "protocol/online.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/text.h"
#include "core/unix_time.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/late_address.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/request.h"
#include "protocol/send.h"
#include "protocol/server_choice.h"
#include "protocol/session.h"
#include "protocol/session_server.h"
#include "protocol/tls_link.h"
#include "protocol/wire_text.h"

std::atomic<uint32_t> ping_period{MRIM_DEFAULT_PING_PERIOD};

namespace {

// One connect sequence at a time (see session.h). Held by the connect thread for its whole run.
std::mutex connect_mutex;

// The packet buffers of the connect sequence's requests. Only the connect thread builds into them, and
// connect_mutex lets one run at a time, so they are never shared.
MrimPacket starttls_packet;
MrimPacket hello_packet;
MrimPacket login_packet;
MrimPacket status_packet;
std::mutex status_packet_mutex;

// The capacities the replies are received with: the greeting's reply is one UL (three from 1.20:
// the period, the server's time and 0), the log-in's reply is not read but may carry a reason
// text.
constexpr uint32_t kHelloCapacity = MRIM_HEADER_SIZE + 12;
// The answers to the request for TLS are header-only.
constexpr uint32_t kStartTlsCapacity = MRIM_HEADER_SIZE + 4;
constexpr uint32_t kLoginCapacity = MRIM_HEADER_SIZE + 4096;

// The host's records are as wide as its pointers: a 64-bit host refuses a record of the 32-bit
// size (host/host_api.h pins both layouts).
constexpr int kPacketRecordSize = sizeof(NetlibPacketRecver);

// The locale a modern log-in names: the network's own language.
constexpr const char* kLocale = "ru";

const char* status_uri(uint32_t status) {
  switch (status) {
    case MRIM_STATUS_ONLINE:
      return "STATUS_ONLINE";
    case MRIM_STATUS_AWAY:
      return "STATUS_AWAY";
    case MRIM_STATUS_INVISIBLE:
      return "STATUS_INVISIBLE";
    default:
      return "STATUS_OFFLINE";
  }
}

// The account's own status text setting, cut to the characters servers keep (a UTF-8 host
// text counts characters, not bytes, and is never cut inside one).
void own_status_text(const char* setting, size_t max_characters, char* out, size_t out_size) {
  out[0] = '\0';
  SettingVariant value;
  if (!mrim_read_text_setting(nullptr, protocol_state.module_name, setting, &value)) return;
  size_t used = 0;
  size_t characters = 0;
  bool utf8 = host_takes_utf8();
  for (const char* p = value.text; *p != '\0' && used + 1 < out_size; ++p) {
    bool starts_character = !utf8 || (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    if (starts_character && characters++ == max_characters) break;
    out[used++] = *p;
  }
  // A cut that left a character's first bytes without the rest drops them.
  while (utf8 && used > 0 && (static_cast<unsigned char>(out[used - 1]) & 0x80) != 0) {
    size_t start = used - 1;
    while (start > 0 && (static_cast<unsigned char>(out[start]) & 0xC0) == 0x80) --start;
    unsigned char lead = static_cast<unsigned char>(out[start]);
    size_t whole = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (used - start == whole) break;
    used = start;
  }
  out[used] = '\0';
  free_setting(&value);
}

// The status's URI, title and description and the features, as a modern session's log-in and
// status change carry them.
int append_status_texts(MrimPacket* packet, uint32_t status) {
  char title[4 * MRIM_STATUS_TITLE_MAX + 1];
  char description[4 * MRIM_STATUS_DESC_MAX + 1];
  own_status_text("StatusTitle", MRIM_STATUS_TITLE_MAX, title, sizeof title);
  own_status_text("StatusDesc", MRIM_STATUS_DESC_MAX, description, sizeof description);
  bool unicode = mrim_session_unicode();
  return mrim_append_lps(packet, status_uri(status)) | mrim_append_text(packet, title, unicode) |
         mrim_append_text(packet, description, unicode) | mrim_append_ul(packet, MRIM_FEATURES);
}

void release_request(ConnectRequest* request) {
  if (request->password.type == DBVT_ASCIIZ && request->password.text != nullptr) {
    // The decoded password leaves no copy behind in freed memory.
    memset(request->password.text, 0, strlen(request->password.text));
  }
  free_setting(&request->password);
  free_setting(&request->email);
  free(request);
}

void close_stored(std::atomic<HANDLE>& field) {
  HANDLE handle = field.exchange(nullptr);
  if (handle != nullptr) close_handle(handle);
}

// What one connect sequence tried and how each try ended, in words for the user when no
// server was found: a mistyped address must be recognisable in it.
struct ConnectTrail {
  char text[512];
};

void trail_add(ConnectTrail* trail, const char* format, ...) {
  size_t used = strlen(trail->text);
  if (used + 3 >= sizeof trail->text) return;
  if (used > 0) {
    memcpy(trail->text + used, "; ", 3);
    used += 2;
  }
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(trail->text + used, sizeof trail->text - used, format, arguments);
  va_end(arguments);
}

// A log-in that failed for want of a server, not for the account's or the encryption's sake.
bool no_server_found(int reason) { return reason == LOGINERR_NOSERVER || reason == LOGINERR_TIMEOUT; }

// Why a dial failed, as far as the host tells: read right after the failed open.
const char* dial_failure_words() {
  constexpr DWORD kConnectionRefused = 10061;  // WSAECONNREFUSED
  return GetLastError() == kConnectionRefused ? "refused the connection" : "could not be reached";
}

// Steps 2 and 3 of the connect sequence: asks the address service which MRIM server to use
// (the account's, else the build's; read afresh for every connect, as a change on the options
// page takes effect at the next one). server_address keeps the fallback unless the reply names
// a server. A port that stays open and silent is an MRIM server itself (users type the server's
// own port there): its connection is returned, for the log-in to go on over it without a
// second dial; nullptr otherwise. service receives "host:port" of what was asked.
HANDLE query_server_address(char* server_address, char* service, size_t service_size, ConnectTrail* trail) {
  char service_host[MRIM_HOST_NAME_MAX + 1];
  NetlibOpenConnection record{};
  mrim_address_service(service_host, sizeof service_host, &record.port);
  snprintf(service, service_size, "%s:%u", service_host, static_cast<unsigned>(record.port));
  record.host = service_host;
  record.flags = 0;
  protocol_state.redirect_connection = open_connection(&record);
  HANDLE connection = protocol_state.redirect_connection;
  if (connection == nullptr) {
    trail_add(trail, "%s %s", service, dial_failure_words());
    return nullptr;
  }

  mrim_log("MRIM_ConnectAndLoginThread: connected to %s:%u\n", service_host,
           static_cast<unsigned>(record.port));
  protocol_state.redirect_receiver = create_receiver(connection, MRIM_ADDRESS_RECEIVER_SIZE);
  HANDLE receiver = protocol_state.redirect_receiver;
  bool silent = false;
  // Unload closes the receiver to cut the wait short; looking at the stop signal after storing
  // it means that either we see the stop or Unload sees the receiver.
  if (receiver != nullptr && !stop_requested()) {
    NetlibPacketRecver packets{};
    packets.size = kPacketRecordSize;
    packets.timeout = MRIM_ADDRESS_QUERY_TIMEOUT_MS;
    // One call, whatever its result: what has arrived by then is the answer.
    SetLastError(ERROR_SUCCESS);
    INT_PTR waited = call_service(MS_NETLIB_GETMOREPACKETS, reinterpret_cast<WPARAM>(receiver),
                                  reinterpret_cast<LPARAM>(&packets));
    const DWORD wait_error = GetLastError();
    // Unload may have closed the receiver (and the host freed its buffer) meanwhile; then
    // nothing is read. The host's figures are trusted only as far as the receiver's own size.
    char delivered[MRIM_ADDRESS_RECEIVER_SIZE];
    int available = receiver_copy_delivery(protocol_state.redirect_receiver, receiver, &packets,
                                           reinterpret_cast<BYTE*>(delivered), MRIM_ADDRESS_RECEIVER_SIZE);
    char reply[MRIM_ADDRESS_RECEIVER_SIZE + 1];
    mrim_address_reply_text(delivered, available, reply);
    mrim_log("MRIM_ConnectAndLoginThread: received [%s]\n", reply);
    if (mrim_parse_address_reply(reply, server_address, MRIM_SERVER_ADDRESS_SIZE) == 0) {
      mrim_log("MRIM_ConnectAndLoginThread: server address is %s\n", server_address);
    } else if (available <= 0 && waited < 0 && receive_timed_out(wait_error) && !stop_requested()) {
      silent = true;
    } else {
      trail_add(trail, available > 0 ? "%s gave an unusable address reply" : "no address reply from %s",
                service);
    }
  }
  receiver_close(receiver_take(protocol_state.redirect_receiver));
  if (silent) {
    // Nothing was read from it, so the session's own receiver starts where the server does.
    HANDLE kept = protocol_state.redirect_connection.exchange(nullptr);
    if (kept != nullptr) {
      mrim_log("MRIM_ConnectAndLoginThread: %s sent no address; it is taken for the MRIM server\n", service);
      return kept;
    }
  }
  close_stored(protocol_state.redirect_connection);
  return nullptr;
}

// Steps 5 to 10 of the connect sequence for one log-in attempt, over `opened` when the address
// service's port turned out to be the MRIM server (it is this function's to close), else over a
// connection to request->server_address. 0 when the account went online or the attempt was
// given up (its result is then someone else's to give); otherwise the reason the log-in failed.
// No lock is held across a host call (see session.h). *failure_words says, for the user, how a
// try that found no server ended.
int connect_and_login(ConnectRequest* request, HANDLE opened, const char** failure_words) {
  *failure_words = "did not answer as an MRIM server";
  const uint32_t attempt = request->attempt;
  if (!session_attempt_wanted(attempt)) {
    if (opened != nullptr) close_handle(opened);
    return 0;
  }
  HANDLE connection = opened;
  if (connection == nullptr) {
    NetlibOpenConnection record{};
    record.flags = 0;
    char host[MRIM_SERVER_ADDRESS_SIZE];
    mrim_split_server_address(request->server_address, host, sizeof host, &record.port);
    record.host = host;
    // Dialling may take long, so it happens outside session_mutex; the connection and its
    // receiver join the session together, and only while the attempt is still wanted.
    connection = open_connection(&record);
    if (connection == nullptr) {
      *failure_words = dial_failure_words();
      return LOGINERR_NOSERVER;
    }
    mrim_log("MRIM_ConnectAndLoginThread: connected to server\n");
    session_server_host_set(host);
  }
  HANDLE receiver = create_receiver(connection, MRIM_RECEIVER_SIZE);
  if (receiver == nullptr) {
    close_handle(connection);
    return LOGINERR_NOSERVER;
  }
  late_address_watch(opened != nullptr ? receiver : nullptr);
  // Every packet of the session, the greeting included, carries the revision it speaks.
  protocol_state.wire_revision = mrim_wanted_revision();
  // The certificate must be good for the server the user chose, whatever host the address
  // service's reply (which comes in clear) named. The record exists before any write can find
  // the connection.
  char chosen[MRIM_HOST_NAME_MAX + 1];
  WORD chosen_port = 0;
  mrim_address_service(chosen, sizeof chosen, &chosen_port);
  // The picture service lives beside the MRIM server: the one dialled, or, when the address
  // service's own port was the server, that host.
  if (opened != nullptr) session_server_host_set(chosen);
  tls_link_prepare(connection, chosen,
                   get_setting_byte(nullptr, protocol_state.module_name, "Encryption", 1));
  if (!session_attempt_store(attempt, connection, receiver)) {
    receiver_close(receiver);
    tls_link_close(connection);
    return 0;
  }
  const uint32_t generation = receiver_generation();
  // Encryption comes first: a server starts a fresh session state after it.
  const bool asks = tls_link_start(generation);
  // The listener starts receiving at once instead of at its next look.
  listener_wake();
  TlsOffer offer = asks ? mrim_do_starttls() : TLS_OFFER_NOT_ASKED;
  int refused = tls_link_upgrade(generation, offer);
  if (refused != 0) return refused;

  if (mrim_do_hello() != 0) return LOGINERR_TIMEOUT;
  mrim_log("MRIM_ConnectAndLoginThread: MRIM_do_hello() ok\n");
  int reason = LOGINERR_TIMEOUT;
  int status = session_attempt_goal(attempt);
  if (mrim_do_login(request->email.text, request->password.text, mrim_status_from_host(status), &reason) != 0)
    return reason;
  mrim_log("MRIM_ConnectAndLoginThread: MRIM_do_login() ok\n");
  mrim_send_gate_open(generation);

  // The goal may have moved while the log-in was under way: the newest one is announced.
  status = session_attempt_goal(attempt);
  if (!session_attempt_wanted(attempt)) return 0;
  if (mrim_do_changestatus(mrim_status_from_host(status)) != 0) {
    // The session cannot carry the announcement, so it is of no use.
    return LOGINERR_NOSERVER;
  }
  // The session may have ended between the log-in and here (the connection dropped right
  // after the log-in's answer): that is a failed log-in, not a silent one.
  return session_attempt_online(attempt, status) ? 0 : LOGINERR_NOSERVER;
}

}  // namespace

int mrim_go_online(int host_status, uint32_t attempt) {
  auto* request = static_cast<ConnectRequest*>(calloc(1, sizeof(ConnectRequest)));
  if (request == nullptr) return 1;
  if (!mrim_read_text_setting(nullptr, protocol_state.module_name, "EMail", &request->email)) {
    free(request);
    return 1;
  }
  if (!mrim_read_raw_text_setting(nullptr, protocol_state.module_name, "Password", &request->password)) {
    free_setting(&request->email);
    free(request);
    return 1;
  }
  char* password = request->password.text;
  call_service(MS_DB_CRYPT_DECODESTRING, strlen(password) + 1, reinterpret_cast<LPARAM>(password));
  request->requested_status = host_status;
  request->attempt = attempt;
  if (thread_start_short(MRIM_ConnectAndLoginThread, request) != 0) {
    release_request(request);
    return 1;
  }
  return 0;
}

DWORD WINAPI MRIM_ConnectAndLoginThread(LPVOID parameter) {
  auto* request = static_cast<ConnectRequest*>(parameter);
  std::lock_guard connect_lock(connect_mutex);
  mrim_log("MRIM_ConnectAndLoginThread: started\n");
  lstrcpynA(request->server_address, MRIM_FALLBACK_SERVER_ADDRESS, sizeof request->server_address);
  if (session_attempt_wanted(request->attempt)) {
    ConnectTrail trail{};
    char service[MRIM_HOST_NAME_MAX + 8];
    HANDLE silent = query_server_address(request->server_address, service, sizeof service, &trail);
    protocol_state.login_in_progress = 1;
    int reason = 0;
    const char* last_step_words = "";
    if (silent != nullptr) {
      reason = connect_and_login(request, silent, &last_step_words);
      if (no_server_found(reason)) {
        // A busy service's line that came after the wait names the server to dial after all.
        if (late_address_take(request->server_address, sizeof request->server_address))
          mrim_log("MRIM_ConnectAndLoginThread: server address is %s\n", request->server_address);
        else
          trail_add(&trail, "%s sent no address and did not answer as an MRIM server", service);
      }
    }
    // A port that was silent and no MRIM server either leaves the fallback, as a service that
    // gave no address does.
    if (silent == nullptr || (no_server_found(reason) && session_attempt_wanted(request->attempt))) {
      reason = connect_and_login(request, nullptr, &last_step_words);
      if (no_server_found(reason)) {
        if (strcmp(request->server_address, MRIM_FALLBACK_SERVER_ADDRESS) == 0)
          trail_add(&trail, "the fallback %s %s", request->server_address, last_step_words);
        else
          trail_add(&trail, "%s named %s, which %s", service, request->server_address, last_step_words);
      }
    }
    if (no_server_found(reason)) {
      mrim_log("MRIM_ConnectAndLoginThread: no server found: %s\n", trail.text);
      // Kept before the failure is reported, so that whoever hears of it can read it.
      tls_link_note_unreached(trail.text);
    }
    // Exactly one result per attempt: the session owner drops this one when the attempt's
    // result was given already (going offline, a forced log-out) or Unload is under way.
    if (reason != 0) session_attempt_failed(request->attempt, reason);
    protocol_state.login_in_progress = 0;
  }
  release_request(request);
  return 0;
}

TlsOffer mrim_do_starttls() {
  mrim_packet_init(&starttls_packet, MRIM_CS_STARTTLS, mrim_next_seq());
  const MrimRequestKind kind{"mrim_do_starttls",
                             MRIM_CS_STARTTLS_ACK,
                             "MRIM_CS_STARTTLS_ACK",
                             kStartTlsCapacity,
                             false,
                             true,
                             false};
  uint32_t position = 0;
  uint32_t unused = 0;
  MrimRequestResult result =
      mrim_request(&starttls_packet, kind, &position, &unused, "mrim_do_starttls: sended MRIM_CS_STARTTLS\n");
  if (result == MRIM_REQUEST_OK || result == MRIM_REQUEST_NO_STATUS) return TLS_OFFER_GO;
  if (result == MRIM_REQUEST_SESSION_ENDED) return TLS_OFFER_ENDED;
  // The refusal's code is in the buffer when it came.
  if (result == MRIM_REQUEST_FAILED && starttls_packet.msg == MRIM_CS_STARTTLS_REJ) return TLS_OFFER_REFUSED;
  return TLS_OFFER_NO_ANSWER;
}

int mrim_do_hello() {
  mrim_log("mrim_do_hello: started\n");
  mrim_packet_init(&hello_packet, MRIM_CS_HELLO, mrim_next_seq());
  // Servers in use today may answer with seq 0 instead of the hello's own number.
  const MrimRequestKind kind{
      "mrim_do_hello", MRIM_CS_HELLO_ACK, "MRIM_CS_HELLO_ACK", kHelloCapacity, true, true, true};
  uint32_t position = 0;
  uint32_t period = 0;
  MrimRequestResult result =
      mrim_request(&hello_packet, kind, &position, &period, "mrim_do_hello: sended MRIM_CS_HELLO\n");
  // An acknowledgement without its period (fewer than 4 body bytes) still greets us; the
  // period in force is kept.
  if (result == MRIM_REQUEST_OK) ping_period = period;
  // The server's clock, from 1.20; without it, times the server gives are taken as ours.
  uint32_t server_time = 0;
  if (result == MRIM_REQUEST_OK && mrim_session_microblog() &&
      mrim_read_ul(&position, &hello_packet, &server_time) == 0 && server_time != 0)
    server_clock_heard(server_time);
  else
    server_clock_offset = 0;
  if (result == MRIM_REQUEST_OK || result == MRIM_REQUEST_NO_STATUS) {
    mrim_log("mrim_do_hello: ended ok\n");
    return 0;
  }
  mrim_log("mrim_do_hello: ended with error\n");
  return 1;
}

// A modern log-in carries the status it starts with, as CHANGE_STATUS would announce it.
int mrim_do_login(const char* email, const char* password, uint32_t status, int* failure_reason) {
  mrim_log("mrim_do_login: started\n");
  int ignored = 0;
  int& reason = failure_reason != nullptr ? *failure_reason : ignored;
  // The account's texts that cannot be sent must be changed by the user, like a wrong password.
  reason = LOGINERR_WRONGPASSWORD;
  mrim_packet_init(&login_packet, MRIM_CS_LOGIN2, mrim_next_seq());
  // The account's texts could in principle overflow the body; a request that does not fit is
  // not sent at all.
  int built = mrim_append_lps(&login_packet, email) | mrim_append_lps(&login_packet, password) |
              mrim_append_ul(&login_packet, status);
  if (mrim_session_status_texts()) {
    built |=
        append_status_texts(&login_packet, status) | mrim_append_lps(&login_packet, MRIM_CLIENT_ATTRIBUTES);
    if (mrim_session_unicode()) built |= mrim_append_lps(&login_packet, kLocale);
  }
  built |= mrim_append_lps(&login_packet, MRIM_CLIENT_DESCRIPTION);
  if (built != 0) {
    memset(login_packet.body, 0, login_packet.dlen);  // no copy of the password stays
    mrim_log("mrim_do_login: ended with error\n");
    return 1;
  }
  reason = LOGINERR_TIMEOUT;  // until an answer says otherwise
  // The helper wipes the body once it is sent: the buffer is reused for the reply, and the
  // password must not linger in it meanwhile. The reply is not read, only its code.
  const MrimRequestKind kind{
      "mrim_do_login", MRIM_CS_LOGIN_ACK, "MRIM_CS_LOGIN_ACK", kLoginCapacity, false, true, true};
  uint32_t position = 0;
  uint32_t unused = 0;
  MrimRequestResult result = mrim_request(&login_packet, kind, &position, &unused,
                                          "mrim_do_login: MRIM_CS_LOGIN2(%s,<pass>,%lu,%s) sended\n", email,
                                          static_cast<unsigned long>(status), MRIM_CLIENT_DESCRIPTION);
  if (result == MRIM_REQUEST_OK || result == MRIM_REQUEST_NO_STATUS) {
    mrim_log("mrim_do_login: ended ok\n");
    return 0;
  }
  // Any other answer is no usable answer to the log-in, as if none had come; a refusal (its
  // code is in the buffer when it came) tells the user to look at the password.
  if (login_packet.msg == MRIM_CS_LOGIN_REJ) reason = LOGINERR_WRONGPASSWORD;
  mrim_log("mrim_do_login: ended with error\n");
  return 1;
}

// The server does not answer a status change, but it goes in line with the requests: it is
// written only while no request awaits its answer, so it never shares a read with one. It does
// not wait for requests that are merely queued (see send.h): a host thread waits here, for one
// answer at most. When its session ends before its turn, it is not written and fails here.
int mrim_do_changestatus(uint32_t status) {
  // The connect thread announces the log-in's status, host threads change it later.
  std::lock_guard lock(status_packet_mutex);
  mrim_log("mrim_do_changestatus: started\n");
  mrim_packet_init(&status_packet, MRIM_CS_CHANGE_STATUS, mrim_next_seq());
  int built = mrim_append_ul(&status_packet, status);
  if (mrim_session_status_texts()) built |= append_status_texts(&status_packet, status);
  if (built != 0 || mrim_send(&status_packet, MRIM_SEND_ORDERED) != MRIM_SEND_WRITTEN) {
    mrim_log("mrim_do_changestatus: ended with error\n");
    return 1;
  }
  mrim_log("mrim_do_changestatus: MRIM_CS_CHANGE_STATUS(%lu) sended\n", static_cast<unsigned long>(status));
  mrim_log("mrim_do_changestatus: ended ok\n");
  return 0;
}

uint32_t mrim_status_from_host(int host_status) {
  switch (host_status) {
    case ID_STATUS_ONLINE:
      return MRIM_STATUS_ONLINE;
    case ID_STATUS_AWAY:
      return MRIM_STATUS_AWAY;
    case ID_STATUS_INVISIBLE:
      return MRIM_STATUS_INVISIBLE;
    default:
      return MRIM_STATUS_OFFLINE;
  }
}

int host_status_from_mrim(uint32_t mrim_status) {
  switch (mrim_status) {
    case MRIM_STATUS_ONLINE:
    case MRIM_STATUS_FLAG_INVISIBLE:  // the flag alone: present, shown as online
    case MRIM_STATUS_USER_DEFINED:    // its title tells the rest
      return ID_STATUS_ONLINE;
    case MRIM_STATUS_AWAY:
      return ID_STATUS_AWAY;
    case MRIM_STATUS_INVISIBLE:
      return ID_STATUS_INVISIBLE;
    default:
      return ID_STATUS_OFFLINE;
  }
}

// The port is the digits after the colon up to the first other character; a number beyond a
// port's range cannot name a port and gives 0 like a missing one.
void mrim_split_server_address(const char* address, char* host, size_t host_size, WORD* port) {
  *port = 0;
  if (host_size == 0) return;
  HostPort parts = split_host_port(address, strlen(address));
  copy_cut(host, host_size, address, parts.host_length);
  *port = static_cast<WORD>(parts.port);
}
