// Benchmark: a burst of messages through the real MRIM.so in the host stand-in, against the
// server stand-in taking one packet per read as servers in use do. The messages go to an account
// that is not logged in, so the server stores each and reports it delivered; nothing else uses
// the connection. Two figures, each from "/SendMsg" to the host's acknowledgement:
//  - one message alone (median, p99 and maximum over the rounds);
//  - a burst: N messages asked for back to back, until the last one's acknowledgement (median
//    and maximum over the bursts), and that time per message.
// Every message must be acknowledged as delivered and the server must have dropped nothing;
// otherwise the program fails. The plug-in writes its diagnostic log throughout, as the
// diagnostic build always does.
//
//   message_burst_bench [bursts] [messages per burst] [single rounds]   (default 5, 100, 200)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "hostsim/netlib.h"
#include "protocol/online.h"
#include "serversim/server.h"
#include "support/plugin_session.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The acknowledgements of these message numbers: how many came, and how many said delivered.
struct Outcome {
  size_t acknowledged = 0;
  size_t delivered = 0;
};
Outcome outcome(hostsim::Host& host, const std::set<uintptr_t>& ids) {
  Outcome result;
  for (const hostsim::AckRecord& ack : host.acks()) {
    if (ack.type != ACKTYPE_MESSAGE || ids.count(ack.process) == 0) continue;
    ++result.acknowledged;
    if (ack.result == ACKRESULT_SUCCESS) ++result.delivered;
  }
  return result;
}

// Asks for `count` messages back to back and returns the time until the last acknowledgement, or
// a negative value when one did not come or was not a delivery.
double timed_burst(testsupport::PluginSession& session, HANDLE contact, int count, int round) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i)
    texts.push_back("round " + std::to_string(round) + " message " + std::to_string(i));
  std::set<uintptr_t> ids;
  auto start = Clock::now();
  for (const std::string& text : texts) {
    ProtocolCall record{contact, "/SendMsg", 0, reinterpret_cast<LPARAM>(text.c_str())};
    INT_PTR id = session.call("/SendMsg", 0, reinterpret_cast<LPARAM>(&record));
    if (id == 0) return -1;
    ids.insert(static_cast<uintptr_t>(id));
  }
  hostsim::Host& host = session.host();
  if (!host.wait_until([&] { return outcome(host, ids).acknowledged == ids.size(); }, 60000)) return -1;
  double took = milliseconds(Clock::now() - start);
  Outcome result = outcome(host, ids);
  if (result.delivered != ids.size()) {
    fprintf(stderr, "round %d: %zu of %zu delivered\n", round, result.delivered, ids.size());
    return -1;
  }
  return took;
}

void report(const char* label, int per_round, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("%-28s %4d message(s), %4zu rounds: median %9.3f ms   p99 %9.3f ms   max %9.3f ms   %7.3f ms each\n",
         label, per_round, times.size(), at(0.5), at(0.99), times.back(), at(0.5) / per_round);
}

}  // namespace

int main(int argc, char** argv) {
  int bursts = argc > 1 ? atoi(argv[1]) : 5;
  if (bursts < 1) bursts = 5;
  int per_burst = argc > 2 ? atoi(argv[2]) : 100;
  if (per_burst < 1) per_burst = 100;
  int singles = argc > 3 ? atoi(argv[3]) : 200;
  if (singles < 1) singles = 200;

  serversim::Settings settings;
  serversim::Account sender, recipient;
  sender.email = "bench@mail.example";
  sender.password = "bench-pw";
  recipient.email = "away@mail.example";
  recipient.password = "away-pw";
  settings.accounts = {sender, recipient};
  settings.behavior.address_reply = "bench.mrim.test:443\r\n";
  settings.behavior.send_after_login = false;
  settings.behavior.one_packet_per_read = true;
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
    fprintf(stderr, "cannot load the plug-in: %s\n", host.error().c_str());
    return 1;
  }
  session.call("/SetStatus", ID_STATUS_ONLINE);
  if (!host.wait_until([&] { return session.call("/GetStatus") == ID_STATUS_ONLINE; }, 30000)) {
    fprintf(stderr, "the account did not go online\n");
    return 1;
  }
  hostsim::Handle contact = host.profile().add_contact();
  host.profile().set_protocol(contact, "MRIM");
  host.profile().write_setting(contact, "MRIM", "EMail", hostsim::Setting::string(recipient.email));
  auto handle = reinterpret_cast<HANDLE>(contact);

  std::vector<double> single, burst;
  const int warm_up = singles / 10 + 1;
  for (int i = 0; i < warm_up + singles; ++i) {
    double took = timed_burst(session, handle, 1, i);
    if (took < 0) {
      fprintf(stderr, "single message %d: not acknowledged as delivered\n", i);
      return 1;
    }
    if (i >= warm_up) single.push_back(took);
  }
  for (int i = 0; i < bursts; ++i) {
    double took = timed_burst(session, handle, per_burst, warm_up + singles + i);
    if (took < 0) {
      fprintf(stderr, "burst %d: not every message was acknowledged as delivered\n", i);
      return 1;
    }
    burst.push_back(took);
  }
  report("one message, to its ack", 1, single);
  report("burst, to the last ack", per_burst, burst);
  const int dropped = server.dropped_packets();
  printf("packets the server dropped: %d\n", dropped);
  session.unload();
  server.stop();
  return dropped == 0 ? 0 : 1;
}
