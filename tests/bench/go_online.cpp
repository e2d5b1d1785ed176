// Benchmark: the time from "/SetStatus" online to the host's status acknowledgement, with the
// real MRIM.so in the host stand-in and the server stand-in on loopback. One round is the whole
// connect sequence: the address query, the dial, MRIM_CS_HELLO and MRIM_CS_LOGIN2 with their
// replies, MRIM_CS_CHANGE_STATUS and the acknowledgement; then "/SetStatus" offline ends the
// round. A second figure times a status change on the open connection (one MRIM_CS_CHANGE_STATUS
// and nothing else: the counts of address queries and packets are checked and printed). A third
// times the way back after the server drops the connection: from the drop to the account's
// acknowledgement online again, less the back-off the plug-in chose (its first step, about 1 s:
// each such round starts from the user's own request, which starts the back-off afresh).
// Prints median, 99th percentile and maximum. The plug-in writes its diagnostic log throughout,
// as the diagnostic build always does.
//
//   go_online_bench [rounds] [drop rounds]   (default 500 and 20)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/netlib.h"
#include "protocol/online.h"
#include "protocol/send.h"
#include "serversim/server.h"
#include "serversim/wire.h"
#include "support/plugin_session.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

size_t status_acks(hostsim::Host& host) {
  size_t count = 0;
  for (const hostsim::AckRecord& ack : host.acks())
    if (ack.type == ACKTYPE_STATUS) ++count;
  return count;
}

// Asks for the status and returns the time until its acknowledgement, or a negative value when
// none came within 10 s.
double timed_status_change(testsupport::PluginSession& session, int code) {
  hostsim::Host& host = session.host();
  size_t before = status_acks(host);
  auto start = Clock::now();
  session.call("/SetStatus", static_cast<WPARAM>(code));
  if (!host.wait_until([&] { return status_acks(host) > before; }, 10000)) return -1;
  return milliseconds(Clock::now() - start);
}

size_t change_status_packets(const serversim::Server& server) {
  size_t count = 0;
  for (const serversim::Received& r : server.received())
    if (r.packet.code == serversim::code::change_status) ++count;
  return count;
}

void report(const char* label, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("%-34s %5zu rounds: median %7.3f ms   p99 %7.3f ms   max %7.3f ms\n", label, times.size(), at(0.5),
         at(0.99), times.back());
}

// The back-off of the last planned reconnect, as the plug-in logged it; -1 when none.
double last_backoff_ms(const std::string& log) {
  const std::string marker = "MRIM_ReconnectThread: next try in ";
  size_t at = log.rfind(marker);
  return at == std::string::npos ? -1 : atof(log.c_str() + at + marker.size());
}

// Online, then the server drops the connection: the time from the drop until the account is
// acknowledged online again, less the back-off. Negative when something did not happen.
double timed_comeback(testsupport::PluginSession& session, serversim::Server& server,
                      const std::string& email) {
  hostsim::Host& host = session.host();
  if (timed_status_change(session, ID_STATUS_ONLINE) < 0) return -1;
  std::optional<serversim::SessionId> id = server.session_of(email);
  if (!id) return -1;
  size_t before = status_acks(host);
  auto start = Clock::now();
  if (!server.inject(*id, serversim::Fault::close)) return -1;
  // Offline first, then online again.
  if (!host.wait_until([&] { return status_acks(host) >= before + 2; }, 10000)) return -1;
  double total = milliseconds(Clock::now() - start);
  double backoff = last_backoff_ms(session.log());
  session.call("/SetStatus", ID_STATUS_OFFLINE);
  return backoff < 0 ? -1 : total - backoff;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 500;
  if (rounds < 1) rounds = 500;
  int drop_rounds = argc > 2 ? atoi(argv[2]) : 20;
  if (drop_rounds < 1) drop_rounds = 20;

  serversim::Settings settings;
  serversim::Account account;
  account.email = "bench@mail.example";
  account.password = "bench-pw";
  settings.accounts = {account};
  settings.behavior.address_reply = "bench.mrim.test:443\r\n";
  settings.behavior.send_after_login = false;  // only the exchange that going online waits for
  serversim::Server server(settings);
  server.start();

  testsupport::PluginSession session("MRIM");
  hostsim::Host& host = session.host();
  host.netlib().add_route(MRIM_DEFAULT_SERVER_HOST, MRIM_DEFAULT_SERVER_PORT, "127.0.0.1",
                          server.address_port());
  host.netlib().add_route("bench.mrim.test", 443, "127.0.0.1", server.mrim_port());
  session.set_account_text("EMail", account.email);
  std::string password = account.password;
  host.call_service(MS_DB_CRYPT_ENCODESTRING, password.size() + 1, reinterpret_cast<LPARAM>(password.data()));
  session.set_account_text("Password", password);
  if (!session.load()) {
    fprintf(stderr, "cannot load the plug-in: %s\n", host.error().c_str());
    return 1;
  }

  std::vector<double> online, change;
  const int warm_up = rounds / 10 + 1;
  for (int i = 0; i < warm_up + rounds; ++i) {
    double to_online = timed_status_change(session, ID_STATUS_ONLINE);
    if (to_online < 0) {
      fprintf(stderr, "round %d: no status acknowledgement\n", i);
      return 1;
    }
    session.call("/SetStatus", ID_STATUS_OFFLINE);
    if (i >= warm_up) online.push_back(to_online);
  }
  report("SetStatus online -> ack (connect)", online);

  // Changes on one open connection, away and back in turn.
  if (timed_status_change(session, ID_STATUS_ONLINE) < 0) return 1;
  // The log-in's own announcement is counted before, not among the changes.
  server.wait_until([&] {
    auto id = server.session_of(account.email);
    return id && server.session(*id)->status == serversim::mrim_status::online;
  });
  const int queries_before = server.address_queries();
  const size_t packets_before = change_status_packets(server);
  for (int i = 0; i < warm_up + rounds; ++i) {
    // A user's changes come seconds apart. Back to back, each would first wait out the gap the
    // plug-in keeps after a packet nobody answers (the message burst benchmark shows pacing);
    // this figure is the change itself.
    std::this_thread::sleep_for(std::chrono::milliseconds(MRIM_SEND_GAP_MS + 5));
    double took = timed_status_change(session, i % 2 == 0 ? ID_STATUS_AWAY : ID_STATUS_ONLINE);
    if (took < 0) {
      fprintf(stderr, "change %d: no status acknowledgement\n", i);
      return 1;
    }
    if (i >= warm_up) change.push_back(took);
  }
  const size_t changes = static_cast<size_t>(warm_up + rounds);
  server.wait_until([&] { return change_status_packets(server) >= packets_before + changes; });
  report("SetStatus away/online -> ack (connected)", change);
  printf("%-34s %5zu changes: %.2f status packets and %.2f address queries per change\n",
         "status change while online", changes,
         double(change_status_packets(server) - packets_before) / double(changes),
         double(server.address_queries() - queries_before) / double(changes));
  session.call("/SetStatus", ID_STATUS_OFFLINE);

  std::vector<double> comeback;
  for (int i = 0; i < drop_rounds; ++i) {
    double beyond = timed_comeback(session, server, account.email);
    if (beyond < 0) {
      fprintf(stderr, "drop round %d: the account did not come back\n", i);
      return 1;
    }
    comeback.push_back(beyond);
  }
  report("back online after a drop - backoff", comeback);
  session.unload();
  server.stop();
  return 0;
}
