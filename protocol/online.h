// Going online: the connect-and-login thread with its address query, the greeting, the log-in,
// the status announcement, the keep-alive period the server sets, and the two mappings between
// the host's status codes and MRIM status values.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "host/host_api.h"
#include "protocol/address_reply.h"
#include "protocol/server_choice.h"
#include "protocol/tls_link.h"
#include "protocol/wire.h"
#include "resources/version.h"

#define MRIM_STRINGIFY_(x) #x
#define MRIM_STRINGIFY(x) MRIM_STRINGIFY_(x)
// The client descriptions sent with the log-in: the legacy revision's free text, and the
// modern one's attributes (which the log-in also carries in the free form, for older servers).
#define MRIM_CLIENT_NAME "Vortel MRIM plug-in"
#define MRIM_CLIENT_DESCRIPTION MRIM_CLIENT_NAME " " MRIM_VERSION_TEXT
#define MRIM_CLIENT_ATTRIBUTES                                   \
  "client=\"" MRIM_CLIENT_NAME "\" version=\"" MRIM_VERSION_TEXT \
  "\" build=\"" MRIM_STRINGIFY(MRIM_VERSION_BUILD) "\""
// The features a modern log-in and status announce: the value clients of this revision send.
constexpr uint32_t MRIM_FEATURES = 0x2FF;
// The longest status title and description servers keep, in characters.
constexpr size_t MRIM_STATUS_TITLE_MAX = 33;
constexpr size_t MRIM_STATUS_DESC_MAX = 127;

// How long the address service's port may stay silent before it is taken for an MRIM server
// (which says nothing until the client speaks), and the log-in goes on over that connection.
// An address service writes its line as soon as it accepts, so the line comes one round trip
// after the connect: well under a second even over a slow mobile link. Three seconds also
// cover a lost segment of the line sent again (a first resend waits one second, the next two
// more), while a user who typed the MRIM server's own port waits only that long.
constexpr DWORD MRIM_ADDRESS_QUERY_TIMEOUT_MS = 3000;
constexpr int MRIM_RECEIVER_SIZE = 65536;
constexpr uint32_t MRIM_DEFAULT_PING_PERIOD = 30;

// Seconds between keep-alive pings: 30 at load (Load resets it), then as the server sets it in
// MRIM_CS_HELLO_ACK and MRIM_CS_CONNECTION_PARAMS. Read by WatchDogThread.
extern std::atomic<uint32_t> ping_period;

// What mrim_go_online hands to the connect thread; the thread owns and frees it, so the
// thread's identifier is not kept in it (see thread_start_short).
struct ConnectRequest {
  SettingVariant email;
  SettingVariant password;  // decoded in place
  int requested_status;
  uint32_t attempt;                               // the session owner's number for this log-in attempt
  char server_address[MRIM_SERVER_ADDRESS_SIZE];  // "host:port"
};

// Reads the account, starts MRIM_ConnectAndLoginThread for log-in attempt `attempt` (numbered
// by the session owner, protocol/session.h, which calls this). 0 when the thread was started, 1
// when nothing started (no memory, "EMail" or "Password" missing, no thread).
int mrim_go_online(int host_status, uint32_t attempt);
DWORD WINAPI MRIM_ConnectAndLoginThread(LPVOID request);

// The request for TLS that comes before the greeting, and what the server said to it.
TlsOffer mrim_do_starttls();
// One request each on the open connection; 0 on success, 1 otherwise. A failed log-in also
// gives its reason for the host when failure_reason is not null: LOGINERR_WRONGPASSWORD when
// the server refused it (or the account's texts cannot even be sent), LOGINERR_TIMEOUT when no
// usable answer came.
int mrim_do_hello();
int mrim_do_login(const char* email, const char* password, uint32_t status, int* failure_reason = nullptr);
int mrim_do_changestatus(uint32_t status);

uint32_t mrim_status_from_host(int host_status);
int host_status_from_mrim(uint32_t mrim_status);

// Splits "host:port" into host (out_size bytes) and port: 0 when there is no colon or no digits.
void mrim_split_server_address(const char* address, char* host, size_t host_size, WORD* port);
