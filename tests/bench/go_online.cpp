// Benchmark: the time from "/SetStatus" online to the host's status acknowledgement, with the
// real MRIM.so in the host stand-in and the server stand-in on loopback. One round is the whole
// connect sequence: the address query, the dial, MRIM_CS_HELLO and MRIM_CS_LOGIN2 with their
// replies, MRIM_CS_CHANGE_STATUS and the acknowledgement; then "/SetStatus" offline ends the
// round. A second figure times a status change on the open connection (address query and
// MRIM_CS_CHANGE_STATUS). Prints median, 99th percentile and maximum. The plug-in writes its
// diagnostic log throughout, as the diagnostic build always does.
//
//   go_online_bench [rounds]   (default 500)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hostsim/netlib.h"
#include "protocol/online.h"
#include "serversim/server.h"
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

void report(const char* label, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("%-34s %5zu rounds: median %7.3f ms   p99 %7.3f ms   max %7.3f ms\n", label, times.size(), at(0.5),
         at(0.99), times.back());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 500;
  if (rounds < 1) rounds = 500;

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
    double to_away = to_online < 0 ? -1 : timed_status_change(session, ID_STATUS_AWAY);
    if (to_online < 0 || to_away < 0) {
      fprintf(stderr, "round %d: no status acknowledgement\n", i);
      return 1;
    }
    session.call("/SetStatus", ID_STATUS_OFFLINE);
    if (i >= warm_up) {
      online.push_back(to_online);
      change.push_back(to_away);
    }
  }
  report("SetStatus online -> ack (connect)", online);
  report("SetStatus away -> ack (connected)", change);
  session.unload();
  server.stop();
  return 0;
}
