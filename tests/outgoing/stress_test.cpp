// A bounded stress run, meant for the TSan configuration: going online and offline, the server
// logging the account out, message sends and searches race each other for a few seconds, and the
// plug-in is unloaded while its own threads are still busy. It must end, with every connection
// closed; under TSan any data race fails the program. The sessions run inside TLS, so that the
// connection record's locks (writes, the listener's handshake answers, closes under a write) are
// taken in every order the threads can make: TSan reports any inversion of their order.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "two_accounts.h"

namespace {

using namespace twoaccounts;

constexpr int kCycles = 40;                         // per racing thread
constexpr auto kLongest = std::chrono::seconds(6);  // however slow the machine

class Stress : public TwoAccounts {
  void configure(serversim::Settings& settings) override { settings.behavior.tls = true; }
};

TEST_F(Stress, StatusLogoutMessagesSearchesAndUnloadRaceWithoutHarm) {
  account_number(kAlice, "Timeout", Setting::dword(2));
  go_online(kBob);
  Handle bob = add_contact(kAlice, address_of(kBob));
  const std::string bob_address = address_of(kBob);
  const auto deadline = std::chrono::steady_clock::now() + kLongest;
  auto keep_going = [&](int cycle) { return cycle < kCycles && std::chrono::steady_clock::now() < deadline; };
  auto pause = [](int cycle) { std::this_thread::sleep_for(std::chrono::milliseconds(1 + cycle % 7)); };

  std::vector<std::thread> racers;
  racers.emplace_back([&] {
    for (int i = 0; keep_going(i); ++i) {
      call(kAlice, "/SetStatus",
           i % 3 == 2 ? ID_STATUS_OFFLINE : (i % 2 ? ID_STATUS_AWAY : ID_STATUS_ONLINE));
      pause(i);
    }
  });
  racers.emplace_back([&] {
    for (int i = 0; keep_going(i); ++i) {
      server_->force_logout(address_of(kAlice), 0x10);
      pause(i * 3);
    }
  });
  racers.emplace_back([&] {
    for (int i = 0; keep_going(i); ++i) {
      std::string text = "message " + std::to_string(i);
      ProtocolCall record{reinterpret_cast<HANDLE>(bob), "/SendMsg", 0,
                          reinterpret_cast<LPARAM>(text.c_str())};
      call(kAlice, "/SendMsg", 0, reinterpret_cast<LPARAM>(&record));
      pause(i);
    }
  });
  racers.emplace_back([&] {
    for (int i = 0; keep_going(i); ++i) {
      call(kAlice, "/SearchByEmail", 0, reinterpret_cast<LPARAM>(bob_address.c_str()));
      pause(i);
    }
  });
  for (std::thread& racer : racers) racer.join();

  // After the storm the account is not stuck: asked once more, it logs in, while the last
  // sends and searches are still being served.
  call(kAlice, "/SetStatus", ID_STATUS_ONLINE);
  EXPECT_TRUE(server_->wait_until([&] { return server_->session_of(address_of(kAlice)).has_value(); }));
  host_.unload_plugins();
  EXPECT_EQ(host_.netlib().open_connections(), 0);
}

}  // namespace
