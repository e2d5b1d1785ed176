// End to end against a server that takes only the first packet of each read and drops the rest,
// as servers in use do: a burst of messages, a rename and a search, all asked for at once, all
// reach the server and are confirmed, and the server drops nothing.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "outgoing/two_accounts.h"

namespace {

using twoaccounts::address_of;
using twoaccounts::Handle;
using twoaccounts::kAlice;
using twoaccounts::kBob;
using twoaccounts::kWaitMs;
using twoaccounts::Setting;

constexpr int kMessages = 10;

class Burst : public twoaccounts::TwoAccounts {
 protected:
  void configure(serversim::Settings& settings) override {
    settings.behavior.one_packet_per_read = true;
    for (serversim::Account& account : settings.accounts) {
      if (account.email != address_of(kAlice)) continue;
      serversim::Contact bob;
      bob.email = address_of(kBob);
      bob.nickname = "Bob";
      account.contacts.push_back(bob);
    }
  }

  bool confirmed(Handle contact, INT_PTR id) {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == kAlice && ack.type == ACKTYPE_MESSAGE && ack.contact == contact &&
          ack.process == static_cast<uintptr_t>(id))
        return ack.result == ACKRESULT_SUCCESS;
    return false;
  }
  bool received(const std::string& text) {
    for (const hostsim::StoredEvent& event : events_from(kBob, address_of(kAlice), EVENTTYPE_MESSAGE))
      if (text_of(event) == text) return true;
    return false;
  }
  std::vector<hostsim::AckRecord> search_acks(INT_PTR search) {
    std::vector<hostsim::AckRecord> found;
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == kAlice && ack.type == ACKTYPE_SEARCH && ack.process == static_cast<uintptr_t>(search))
        found.push_back(ack);
    return found;
  }
};

TEST_F(Burst, MessagesARenameAndASearchAtOnceAllArriveAndAreConfirmed) {
  go_online(kBob);
  go_online(kAlice);
  Handle bob = 0;
  ASSERT_TRUE(host_.wait_until(
      [&] {
        bob = contact_of(kAlice, address_of(kBob)).value_or(0);
        return bob != 0 && host_.profile().setting(bob, kAlice, "Number") == Setting::dword(20);
      },
      kWaitMs))
      << log(kAlice);

  std::vector<INT_PTR> ids;
  std::vector<std::string> texts;
  for (int i = 0; i < kMessages; ++i) {
    texts.push_back("burst message " + std::to_string(i));
    ProtocolCall record{reinterpret_cast<HANDLE>(bob), "/SendMsg", 0,
                        reinterpret_cast<LPARAM>(texts[i].c_str())};
    ids.push_back(call(kAlice, "/SendMsg", 0, reinterpret_cast<LPARAM>(&record)));
    ASSERT_NE(ids.back(), 0);
  }
  // The rename waits for its answer on the thread that wrote the setting, as a host's would.
  std::thread rename([&] { host_.write_setting(bob, "CList", "MyHandle", Setting::string("Bobby")); });
  const std::string bob_address = address_of(kBob);
  INT_PTR search = call(kAlice, "/SearchByEmail", 0, reinterpret_cast<LPARAM>(bob_address.c_str()));
  ASSERT_NE(search, 0);
  rename.join();

  for (int i = 0; i < kMessages; ++i) {
    EXPECT_TRUE(host_.wait_until([&] { return confirmed(bob, ids[i]); }, kWaitMs)) << texts[i] << log(kAlice);
    EXPECT_TRUE(host_.wait_until([&] { return received(texts[i]); }, kWaitMs)) << texts[i] << log(kBob);
  }
  EXPECT_EQ(server_->account(address_of(kAlice))->contacts.at(0).nickname, "Bobby");
  ASSERT_TRUE(host_.wait_until([&] { return search_acks(search).size() == 2; }, kWaitMs)) << log(kAlice);
  EXPECT_EQ(search_acks(search)[0].search_email, bob_address);
  EXPECT_EQ(search_acks(search)[1].result, ACKRESULT_SUCCESS);
  // Bob's receipts, written by his listener one after another, were each taken too.
  EXPECT_TRUE(
      server_->wait_until([&] { return from(kBob, serversim::code::message_recv).size() == kMessages; }));
  EXPECT_EQ(server_->dropped_packets(), 0);
}

}  // namespace
