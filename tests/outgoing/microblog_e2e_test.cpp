// Microblog posts end to end between two accounts of the real plug-in: a post stored by the
// server reaches a contact whose session speaks 1.20 and not one of 1.19, comes again with the
// list at the next log-in, and is dated on this machine's clock whatever the server's says.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "core/unix_time.h"
#include "outgoing/two_accounts.h"

namespace {

using twoaccounts::address_of;
using twoaccounts::Handle;
using twoaccounts::kAlice;
using twoaccounts::kBob;
using twoaccounts::kWaitMs;
using twoaccounts::Setting;
using twoaccounts::TwoAccounts;

class Microblog : public TwoAccounts {
 protected:
  void configure(serversim::Settings& settings) override {
    // The server's clock runs two hours ahead of this machine's.
    settings.behavior.clock_offset = std::chrono::hours(2);
    for (serversim::Account& account : settings.accounts) {
      const std::string other = account.email == address_of(kAlice) ? address_of(kBob) : address_of(kAlice);
      account.contacts.push_back(serversim::Contact{other, 0, 0, serversim::mrim_status::offline, other});
    }
  }
  INT_PTR post(const std::string& module, const std::string& text) {
    return call(module, "/PostMicroblog", 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  std::optional<hostsim::AckRecord> post_ack(const std::string& module, INT_PTR id) {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == module && ack.type == ACKTYPE_MICROBLOG && ack.process == static_cast<uintptr_t>(id))
        return ack;
    return std::nullopt;
  }
  std::vector<hostsim::StoredEvent> posts_at(const std::string& module) {
    return events_from(module, address_of(kAlice), EVENTTYPE_MICROBLOG);
  }
  void go_offline(const std::string& module) {
    call(module, "/SetStatus", ID_STATUS_OFFLINE);
    ASSERT_TRUE(server_->wait_until([&] { return !server_->session_of(address_of(module)).has_value(); }));
  }
};

TEST_F(Microblog, APostReachesContactsOf120AndComesBackWithTheList) {
  EXPECT_EQ(post(kAlice, "too early"), MICROBLOG_REFUSED_OFFLINE);
  go_online(kAlice);
  go_online(kBob);
  EXPECT_EQ(post(kAlice, std::string(501, 'x')), MICROBLOG_REFUSED_TOO_LONG);
  EXPECT_EQ(post(kAlice, ""), MICROBLOG_REFUSED_EMPTY);

  INT_PTR id = post(kAlice, "Back from the hills 🏔");
  ASSERT_GT(id, 0);
  ASSERT_TRUE(host_.wait_until([&] { return post_ack(kAlice, id).has_value(); }, kWaitMs)) << log(kAlice);
  EXPECT_EQ(post_ack(kAlice, id)->result, ACKRESULT_SUCCESS);
  ASSERT_TRUE(host_.wait_until([&] { return posts_at(kBob).size() == 1; }, kWaitMs)) << log(kBob);
  EXPECT_EQ(text_of(posts_at(kBob)[0]), "Back from the hills 🏔");
  // Dated on this machine's clock: now, not two hours ahead.
  const int64_t skew = static_cast<int64_t>(posts_at(kBob)[0].timestamp) - unix_time_now();
  EXPECT_LE(std::abs(skew), 60) << skew;
  EXPECT_EQ(host_.setting(0, kAlice, "PostText")->text, "Back from the hills 🏔");

  // Bob at 1.19 hears of no post; back at 1.20 the list brings the latest one, once.
  go_offline(kBob);
  account_number(kBob, "ProtocolRevision", Setting::dword(19));
  go_online(kBob);
  id = post(kAlice, "Second post");
  ASSERT_TRUE(host_.wait_until([&] { return post_ack(kAlice, id).has_value(); }, kWaitMs));
  EXPECT_EQ(call(kBob, "/PostMicroblog", 0, reinterpret_cast<LPARAM>("from 1.19")),
            MICROBLOG_REFUSED_REVISION);
  go_offline(kBob);
  EXPECT_EQ(posts_at(kBob).size(), 1u);
  account_number(kBob, "ProtocolRevision", Setting::dword(20));
  go_online(kBob);
  ASSERT_TRUE(host_.wait_until([&] { return posts_at(kBob).size() == 2; }, kWaitMs)) << log(kBob);
  EXPECT_EQ(text_of(posts_at(kBob)[1]), "Second post");
  const Handle alice = *contact_of(kBob, address_of(kAlice));
  EXPECT_EQ(host_.setting(alice, kBob, "PostText")->text, "Second post");
}

}  // namespace
