// Benchmark: what TLS costs the account. The real MRIM.so in the host stand-in against the server
// stand-in on loopback, which offers TLS; the account's "Encryption" switches between 0 (in clear)
// and 1 (inside TLS) for alternate blocks, so that both meet the same conditions of the machine.
// Each block goes online (timed from "/SetStatus" to the acknowledgement: the upgrade and its
// handshake are part of it), then times messages to an account that is offline, from "/SendMsg"
// to the acknowledgement of the server's MESSAGE_STATUS: one request's round trip through the
// send line, the seal, the wire, the listener's decryption and the reply queue. Prints median,
// 99th percentile and maximum of both and the ratio of the round trips' medians.
//
//   tls_round_trip_bench [blocks] [messages per block]   (default 20 and 100)
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

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

size_t acks_of(hostsim::Host& host, int type) {
  size_t count = 0;
  for (const hostsim::AckRecord& ack : host.acks())
    if (ack.type == type) ++count;
  return count;
}

// The time until the status is acknowledged; negative when it was not within 10 s.
double timed_status(testsupport::PluginSession& session, int code) {
  hostsim::Host& host = session.host();
  size_t before = acks_of(host, ACKTYPE_STATUS);
  auto start = Clock::now();
  session.call("/SetStatus", static_cast<WPARAM>(code));
  if (!host.wait_until([&] { return acks_of(host, ACKTYPE_STATUS) > before; }, 10000)) return -1;
  return microseconds(Clock::now() - start);
}

double timed_message(testsupport::PluginSession& session, HANDLE contact) {
  hostsim::Host& host = session.host();
  size_t before = acks_of(host, ACKTYPE_MESSAGE);
  static const char text[] = "How long does a message take inside TLS?";
  ProtocolCall call{contact, "MRIM/SendMsg", 0, reinterpret_cast<LPARAM>(text)};
  auto start = Clock::now();
  if (host.call_service("MRIM/SendMsg", 0, reinterpret_cast<LPARAM>(&call)) == 0) return -1;
  if (!host.wait_until([&] { return acks_of(host, ACKTYPE_MESSAGE) > before; }, 10000)) return -1;
  return microseconds(Clock::now() - start);
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void report(const char* label, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("%-28s %6zu rounds: median %9.1f us   p99 %9.1f us   max %9.1f us\n", label, times.size(), at(0.5),
         at(0.99), times.back());
}

}  // namespace

int main(int argc, char** argv) {
  int blocks = argc > 1 ? atoi(argv[1]) : 20;
  int messages = argc > 2 ? atoi(argv[2]) : 100;
  if (blocks < 2) blocks = 20;
  if (messages < 1) messages = 100;

  serversim::Settings settings;
  serversim::Account sender;
  sender.email = "bench@mail.example";
  sender.password = "bench-pw";
  serversim::Account away;
  away.email = "away@mail.example";
  away.password = "away-pw";
  settings.accounts = {sender, away};
  settings.behavior.address_reply = "bench.mrim.test:443\r\n";
  settings.behavior.send_after_login = false;
  settings.behavior.tls = true;
  serversim::Server server(settings);
  server.start();

  testsupport::PluginSession session("MRIM");
  hostsim::Host& host = session.host();
  host.netlib().add_route(MRIM_DEFAULT_SERVER_HOST, MRIM_DEFAULT_SERVER_PORT, "127.0.0.1",
                          server.address_port());
  host.netlib().add_route("bench.mrim.test", 443, "127.0.0.1", server.mrim_port());
  session.set_account_text("EMail", sender.email);
  session.set_account_password(sender.password);
  if (!session.load()) {
    fprintf(stderr, "the plug-in did not load\n");
    return 1;
  }
  hostsim::Handle contact = host.add_contact("MRIM");
  host.write_setting(contact, "MRIM", "EMail", hostsim::Setting::string(away.email));

  std::vector<double> online[2], trips[2];
  for (int block = 0; block < blocks; ++block) {
    const int tls = block % 2;
    host.write_setting(0, "MRIM", "Encryption", hostsim::Setting::byte(static_cast<BYTE>(tls)));
    double time = timed_status(session, ID_STATUS_ONLINE);
    if (time < 0) {
      fprintf(stderr, "block %d did not go online\n", block);
      return 1;
    }
    online[tls].push_back(time);
    for (int i = 0; i < messages; ++i) {
      time = timed_message(session, reinterpret_cast<HANDLE>(contact));
      if (time < 0) {
        fprintf(stderr, "message %d of block %d was not acknowledged\n", i, block);
        return 1;
      }
      trips[tls].push_back(time);
    }
    if (timed_status(session, ID_STATUS_OFFLINE) < 0) return 1;
  }
  report("going online, in clear", online[0]);
  report("going online, inside TLS", online[1]);
  report("round trip, in clear", trips[0]);
  report("round trip, inside TLS", trips[1]);
  printf("round trip ratio TLS / clear (medians): %.2f\n", median(trips[1]) / median(trips[0]));
  session.unload();
  server.stop();
  return 0;
}
