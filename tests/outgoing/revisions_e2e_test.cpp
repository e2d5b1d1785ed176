// Two accounts on a host that takes UTF-8, one on the modern revision and one on the legacy
// one, through the server stand-in: texts in every script cross whole between modern sessions,
// the legacy side gets "?" for what code page 1251 lacks and nothing else is lost, and names
// with emoji survive the list, a rename and a move.
#include <gtest/gtest.h>

#include "outgoing/two_accounts.h"

namespace {

using namespace twoaccounts;

const std::string kHello = "Привет 🙂 héllo ✓";

class Revisions : public TwoAccounts {
 protected:
  void configure(serversim::Settings& settings) override {
    for (serversim::Account& account : settings.accounts) {
      if (account.email != address_of(kAlice)) continue;
      account.groups = {serversim::Group{0, "Друзья 🎉"}};
      serversim::Contact carol;
      carol.email = address_of("carol");
      carol.nickname = "Кэрол 🐻";
      account.contacts.push_back(carol);
    }
  }
  void configure_host() override { host_.set_version(0x00080000); }

  // Each on the other's list before going online, as the host's contacts already are.
  void both_online() {
    add_contact(kAlice, address_of(kBob));
    add_contact(kBob, address_of(kAlice));
    go_online(kAlice);
    go_online(kBob);
  }

  // Sends UTF-8 text as a host of UTF-8 does, and waits for the server's confirmation.
  void send(const std::string& from, const std::string& to, const std::string& text) {
    Handle contact = contact_of(from, address_of(to)).value_or(0);
    ProtocolCall record{reinterpret_cast<HANDLE>(contact), "/SendMsg", PREF_UTF,
                        reinterpret_cast<LPARAM>(text.c_str())};
    INT_PTR id = call(from, "/SendMsg", PREF_UTF, reinterpret_cast<LPARAM>(&record));
    ASSERT_NE(id, 0);
    ASSERT_TRUE(host_.wait_until(
        [&] {
          for (const hostsim::AckRecord& ack : host_.acks())
            if (ack.module == from && ack.type == ACKTYPE_MESSAGE &&
                ack.process == static_cast<uintptr_t>(id))
              return ack.result == ACKRESULT_SUCCESS;
          return false;
        },
        kWaitMs))
        << log(from);
  }
  // The texts of the messages the account got from the address, as the host shows them.
  bool received(const std::string& module, const std::string& from, const std::string& text) {
    return host_.wait_until(
        [&] {
          for (const hostsim::StoredEvent& event : events_from(module, address_of(from), EVENTTYPE_MESSAGE))
            if ((event.flags & DBEF_UTF8) != 0 && text_of(event) == text) return true;
          return false;
        },
        kWaitMs);
  }
  std::optional<Setting> list_setting(Handle contact, const std::string& name) {
    return host_.profile().setting(contact, "CList", name);
  }
};

TEST_F(Revisions, EveryScriptCrossesWholeBetweenModernSessions) {
  both_online();
  send(kAlice, kBob, kHello);
  EXPECT_TRUE(received(kBob, kAlice, kHello)) << log(kBob);
  send(kBob, kAlice, "Пока ✓");
  EXPECT_TRUE(received(kAlice, kBob, "Пока ✓")) << log(kAlice);
}

TEST_F(Revisions, TheLegacySideLosesOnlyWhatCodePage1251Lacks) {
  account_number(kBob, "LegacyProtocol", Setting::byte(1));
  both_online();
  EXPECT_EQ(server_->session(*server_->session_of(address_of(kBob)))->version, MRIM_PROTO_VERSION_LEGACY);
  send(kAlice, kBob, kHello);
  EXPECT_TRUE(received(kBob, kAlice, "Привет ? h?llo ?")) << log(kBob);
  send(kBob, kAlice, "Пока ✓");
  EXPECT_TRUE(received(kAlice, kBob, "Пока ?")) << log(kAlice);
}

TEST_F(Revisions, NamesWithEmojiSurviveTheListARenameAndAMove) {
  go_online(kAlice);
  std::optional<Handle> carol;
  ASSERT_TRUE(host_.wait_until([&] { return (carol = contact_of(kAlice, address_of("carol"))).has_value(); },
                               kWaitMs));
  // The name is written after the group; the list's end comes after both, and until then
  // the user's renames are not sent (the list's own writes look alike).
  ASSERT_TRUE(host_.wait_until(
      [&] { return log(kAlice).find("MRIM_CS_CONTACT_LIST2 handled") != std::string::npos; }, kWaitMs));
  EXPECT_EQ(list_setting(*carol, "Group"), Setting::utf8("Друзья 🎉"));
  EXPECT_EQ(list_setting(*carol, "MyHandle"), Setting::utf8("Кэрол 🐻"));

  ASSERT_TRUE(host_.write_setting(*carol, "CList", "MyHandle", Setting::utf8("Кэрол 🐻🐻")));
  ASSERT_TRUE(host_.write_setting(*carol, "CList", "Group", Setting::utf8("Работа 💼")));
  std::optional<serversim::Account> account;
  ASSERT_TRUE(server_->wait_until([&] {
    account = server_->account(address_of(kAlice));
    for (const serversim::Contact& c : account->contacts)
      if (c.email == address_of("carol"))
        return c.nickname == "Кэрол 🐻🐻" && account->groups.size() == 2 && c.group == 1;
    return false;
  })) << log(kAlice);
  EXPECT_EQ(account->groups[1].name, "Работа 💼");
}

}  // namespace
