// Benchmark: what pictures cost a log-in. A list of 1,000 contacts, every one online and every
// one with a picture on the stand-in's picture service; each round is a fresh host (so a cold
// picture cache) going online. Timed from "/SetStatus" until the list is applied (the last of
// its contacts is written online), with pictures off and on, and with them on, until the last picture is
// announced. The ratio of the two list times is the figure that matters: the fetches must wait for the
// network, never the list. Also prints how many pictures a second log-in fetches (none: the
// cache holds them). The diagnostic build logs throughout, as in every end-to-end benchmark.
//
//   avatar_login_bench [rounds] [contacts]   (default 7 and 1000)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/netlib.h"
#include "protocol/online.h"
#include "serversim/server.h"
#include "support/plugin_session.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kListDone = "MRIM_CS_CONTACT_LIST2 handled";

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

size_t avatar_acks(hostsim::Host& host) {
  size_t count = 0;
  for (const hostsim::AckRecord& ack : host.acks())
    if (ack.type == ACKTYPE_AVATAR && ack.result == ACKRESULT_SUCCESS) ++count;
  return count;
}

std::unique_ptr<testsupport::PluginSession> new_session(const serversim::Server& server, bool pictures) {
  auto session = std::make_unique<testsupport::PluginSession>("MRIM");
  hostsim::Host& host = session->host();
  host.netlib().add_route(MRIM_DEFAULT_SERVER_HOST, MRIM_DEFAULT_SERVER_PORT, "127.0.0.1",
                          server.address_port());
  host.netlib().add_route("bench.mrim.test", 443, "127.0.0.1", server.mrim_port());
  session->set_account_text("EMail", "bench@mrim.example");
  session->set_account_password("bench-pw");
  session->set_account_text(
      "AvatarServer", pictures ? "127.0.0.1:" + std::to_string(server.avatar_port()) : std::string("off"));
  if (!session->load()) return nullptr;
  return session;
}

struct Round {
  double list_ms = -1;
  double pictures_ms = -1;
};

Round timed_log_in(testsupport::PluginSession& session, bool pictures, int contacts) {
  Round round;
  hostsim::Host& host = session.host();
  // The list is applied when the last of its contacts is shown online: timed in the host's own
  // hook on that write, not by looking now and then.
  std::atomic<int> online_written{0};
  std::atomic<int64_t> list_applied{0};
  hostsim::Handle hook = host.hook_event(ME_DB_CONTACT_SETTINGCHANGED, [&](WPARAM, LPARAM l) -> INT_PTR {
    auto* write = reinterpret_cast<const SettingWrite*>(l);
    if (write != nullptr && std::strcmp(write->setting, "Status") == 0 &&
        write->value.word_value == ID_STATUS_ONLINE && ++online_written == contacts)
      list_applied = Clock::now().time_since_epoch().count();
    return 0;
  });
  auto start = Clock::now();
  session.call("/SetStatus", ID_STATUS_ONLINE);
  const bool applied = host.wait_until([&] { return list_applied != 0; }, 60000);
  host.unhook_event(hook);
  if (!applied) return round;
  round.list_ms = milliseconds(Clock::time_point(Clock::duration(list_applied.load())) - start);
  if (pictures) {
    if (!host.wait_until([&] { return avatar_acks(host) >= static_cast<size_t>(contacts); }, 120000))
      return round;
    round.pictures_ms = milliseconds(Clock::now() - start);
  }
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 7;
  if (rounds < 1) rounds = 7;
  int contacts = argc > 2 ? atoi(argv[2]) : 1000;
  if (contacts < 1) contacts = 1000;

  serversim::Settings settings;
  serversim::Account account;
  account.email = "bench@mrim.example";
  account.password = "bench-pw";
  account.groups.push_back(serversim::Group{0, "General"});
  for (int i = 0; i < contacts; ++i)
    account.contacts.push_back(serversim::Contact{"contact" + std::to_string(i) + "@mrim.example", 0, 0,
                                                  serversim::mrim_status::online,
                                                  "Contact " + std::to_string(i)});
  settings.accounts = {account};
  settings.behavior.address_reply = "bench.mrim.test:443\r\n";
  serversim::Server server(settings);
  server.start();
  for (const serversim::Contact& contact : account.contacts)
    server.set_avatar(contact.email, serversim::AvatarKind::picture);

  std::vector<double> off, on, all;
  int second_fetches = -1;
  for (int i = 0; i < rounds; ++i) {
    for (bool pictures : {false, true}) {
      auto session = new_session(server, pictures);
      if (!session) {
        fprintf(stderr, "cannot load the plug-in\n");
        return 1;
      }
      Round round = timed_log_in(*session, pictures, contacts);
      if (round.list_ms < 0 || (pictures && round.pictures_ms < 0)) {
        fprintf(stderr, "round %d: the list or the pictures did not come\n", i);
        return 1;
      }
      (pictures ? on : off).push_back(round.list_ms);
      if (pictures) all.push_back(round.pictures_ms);
      if (pictures && i == 0) {
        // Offline and online again in the same host: the cache holds every picture.
        session->call("/SetStatus", ID_STATUS_OFFLINE);
        const int before = server.avatar_requests();
        const size_t logged = session->log().size();
        session->call("/SetStatus", ID_STATUS_ONLINE);
        for (int waited = 0; waited < 600 && session->log().find(kListDone, logged) == std::string::npos;
             ++waited)
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Long enough for any fetch the list might have started to be answered.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        second_fetches = server.avatar_requests() - before;
      }
    }
  }
  const double ratio = median(on) / median(off);
  printf("log-in of %d online contacts, %d rounds each, fresh host and cold cache:\n", contacts, rounds);
  printf("  list applied, pictures off   median %8.1f ms\n", median(off));
  printf("  list applied, pictures on    median %8.1f ms   (%.2fx, goal under 1.2x)\n", median(on), ratio);
  printf("  every picture announced      median %8.1f ms   (%d fetches, at most 2 at a time)\n", median(all),
         contacts);
  printf("  a second log-in fetched      %d pictures\n", second_fetches);
  return 0;
}
