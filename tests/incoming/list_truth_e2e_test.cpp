// The contact list stays true to the server, end to end: the real MRIM.so in the host stand-in
// against the server stand-in. Group indices with gaps, visibility that a later edit keeps, a
// second log-in whose list is shorter, a contact awaiting authorization that the server leaves
// out, and addresses that differ only in case.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serversim/server.h"
#include "serversim/wire.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"

namespace {

using hostsim::Handle;
using hostsim::Setting;
using testsupport::PluginSession;
namespace code = serversim::code;

constexpr int kWaitMs = 30000;
const char* const kKim = "kim@mail.example";
const char* const kPassword = "kim-pw";

serversim::Contact contact(const std::string& email, uint32_t group, const std::string& nickname) {
  return serversim::Contact{email, group, 0, 1, nickname};
}

class ListTruth : public ::testing::Test {
 protected:
  virtual void configure(serversim::Account&, serversim::Behavior&) {}

  void SetUp() override {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    serversim::Account kim;
    kim.email = kKim;
    kim.password = kPassword;
    kim.nickname = "Kim";
    kim.groups = {serversim::Group{0, "General"}, serversim::Group{0, "Friends"}};
    kim.contacts = {contact("amy@mail.example", 1, "Amy"), contact("bob@mail.example", 0, "Bob")};
    configure(kim, settings.behavior);
    settings.accounts = {kim};
    // Contacts are users of the server (and so is lee, whom tests add): a community server
    // refuses to add a stranger and leaves an edit naming one unanswered.
    std::vector<std::string> others{"lee@mail.example"};
    for (const serversim::Contact& c : kim.contacts) others.push_back(c.email);
    for (const std::string& email : others) {
      serversim::Account other;
      other.email = email;
      other.password = "other-pw";
      settings.accounts.push_back(other);
    }
    settings.behavior.address_reply = "mrim.test:443\r\n";
    server = std::make_unique<serversim::Server>(settings);
    server->start();
    session = std::make_unique<PluginSession>("MRIM");
    testsupport::route_plugin_to(host().netlib(), *server, "mrim.test");
    session->set_account_text("EMail", kKim);
    session->set_account_password(kPassword);
    ASSERT_TRUE(session->load());
  }
  void TearDown() override {
    session.reset();
    server->stop();
  }

  hostsim::Host& host() { return session->host(); }
  bool wait(const std::function<bool()>& condition) { return host().wait_until(condition, kWaitMs); }

  // Online, with the server's list applied (the n-th list of this test).
  void log_in(size_t nth = 1) {
    ASSERT_EQ(session->call("/SetStatus", ID_STATUS_ONLINE), 0);
    ASSERT_TRUE(wait([&] {
      return lists_handled() >= nth && session->call("/GetStatus") == ID_STATUS_ONLINE;
    })) << session->log();
  }
  void log_out() {
    ASSERT_EQ(session->call("/SetStatus", ID_STATUS_OFFLINE), 0);
    ASSERT_TRUE(server->wait_until([&] { return !server->session_of(kKim); }));
  }
  size_t lists_handled() {
    const std::string log = session->log(), line = "MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled";
    size_t count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
    return count;
  }

  std::vector<Handle> contacts_of(const std::string& address) {
    std::vector<Handle> found;
    for (Handle c : host().profile().contacts()) {
      auto email = host().setting(c, "MRIM", "EMail");
      if (email && strcasecmp(email->text.c_str(), address.c_str()) == 0) found.push_back(c);
    }
    return found;
  }
  Handle only(const std::string& address) {
    auto found = contacts_of(address);
    EXPECT_EQ(found.size(), 1u) << address;
    return found.empty() ? 0 : found[0];
  }
  uint32_t number(Handle c, const char* name, const char* module = "MRIM") {
    auto value = host().setting(c, module, name);
    return value ? value->number : 0;
  }
  std::string text(Handle c, const char* name, const char* module) {
    auto value = host().setting(c, module, name);
    return value ? value->text : "";
  }
  std::optional<serversim::Contact> on_server(const std::string& address) {
    std::optional<serversim::Account> kim = server->account(kKim);
    for (const serversim::Contact& c : kim->contacts)
      if (c.email == address) return c;
    return std::nullopt;
  }
  size_t modifications() {
    size_t count = 0;
    for (const serversim::Received& r : server->received())
      if (r.packet.code == code::modify_contact) ++count;
    return count;
  }
  INT_PTR set_visibility(Handle c, WPARAM mode) {
    ProtocolCall call{reinterpret_cast<HANDLE>(c), "MRIM/SetApparentMode", mode, 0};
    return session->call("/SetApparentMode", 0, reinterpret_cast<LPARAM>(&call));
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

class GroupsWithGaps : public ListTruth {
  void configure(serversim::Account& kim, serversim::Behavior&) override {
    // Another client deleted groups 1 to 4: "Friends" keeps index 5.
    kim.groups = {serversim::Group{0, "General", 0}, serversim::Group{0, "Friends", 5}};
    kim.contacts = {contact("amy@mail.example", 5, "Amy"), contact("bob@mail.example", 0, "Bob")};
  }
};

TEST_F(GroupsWithGaps, ContactsStandInTheGroupOfTheServersIndex) {
  log_in();
  Handle amy = only("amy@mail.example");
  EXPECT_EQ(text(amy, "Group", "CList"), "Friends");
  EXPECT_EQ(number(amy, "GroupIndex"), 5u);
  host().write_setting(amy, "CList", "MyHandle", Setting::string("Amy R."));
  ASSERT_TRUE(server->wait_until([&] { return on_server("amy@mail.example")->nickname == "Amy R."; }));
  EXPECT_EQ(on_server("amy@mail.example")->group, 5u) << "a rename keeps the contact where it is";
}

TEST_F(ListTruth, VisibilitySurvivesALaterMove) {
  log_in();
  Handle amy = only("amy@mail.example");
  EXPECT_EQ(set_visibility(amy, ID_STATUS_OFFLINE), 0);
  EXPECT_EQ(set_visibility(amy, 0), 0);
  EXPECT_EQ(set_visibility(amy, ID_STATUS_ONLINE), 0);
  host().write_setting(amy, "CList", "Group", Setting::string("General"));
  ASSERT_TRUE(server->wait_until([&] { return on_server("amy@mail.example")->group == 0; }));
  EXPECT_EQ(on_server("amy@mail.example")->flags & 0x0C, 0x08u) << "still on the visible list";
}

TEST_F(ListTruth, TheListsUnicodeMarkIsNeverSentBack) {
  log_in();
  Handle amy = only("amy@mail.example");
  // As an older build stored them: the list's mark beside the visible-list bit. A server that
  // adds flags instead of setting them would keep an echoed mark as another bit.
  host().write_setting(amy, "MRIM", "Flags", Setting::dword(0x200 | 0x08));
  host().write_setting(amy, "CList", "MyHandle", Setting::string("Amy Pond"));
  ASSERT_TRUE(server->wait_until([&] { return on_server("amy@mail.example")->nickname == "Amy Pond"; }));
  std::optional<uint32_t> sent;
  for (const serversim::Received& r : server->received()) {
    if (r.packet.code != code::modify_contact) continue;
    serversim::Reader reader(r.packet.body);
    reader.ul();
    sent = reader.ul();
  }
  ASSERT_TRUE(sent.has_value());
  EXPECT_EQ(*sent, 0x08u);
}

TEST_F(ListTruth, ASecondLogInWithAShorterListTakesTheOldNumbersAway) {
  log_in();
  EXPECT_EQ(number(only("bob@mail.example"), "Number"), 21u);
  log_out();
  serversim::Account kim = *server->account(kKim);
  kim.contacts.erase(kim.contacts.begin());  // amy left the list elsewhere: bob is number 20 now
  server->add_account(kim);
  log_in(2);
  Handle amy = only("amy@mail.example"), bob = only("bob@mail.example");
  EXPECT_EQ(number(bob, "Number"), 20u);
  EXPECT_EQ(number(amy, "Number"), 0u);
  EXPECT_EQ(number(amy, "NotOnList", "CList"), 1u) << "shown as not on the server list";
  size_t before = modifications();
  host().write_setting(amy, "CList", "MyHandle", Setting::string("Amy"));
  host().write_setting(bob, "CList", "MyHandle", Setting::string("Robert"));
  ASSERT_TRUE(server->wait_until([&] { return on_server("bob@mail.example")->nickname == "Robert"; }));
  EXPECT_EQ(modifications(), before + 1) << "nothing goes out for amy, whose old number is bob's";
}

class AwaitingAuthorization : public ListTruth {
  void configure(serversim::Account&, serversim::Behavior& behavior) override {
    behavior.list_only_authorized = true;
  }
};

TEST_F(AwaitingAuthorization, AnAddedContactSurvivesALogInAndGetsItsPlaceOnceListed) {
  log_in();
  Handle lee = host().add_contact("MRIM");
  host().write_setting(lee, "MRIM", "EMail", Setting::string("lee@mail.example"));
  host().write_setting(lee, "CList", "Group", Setting::string("Friends"));
  SearchResult result{};
  result.size = sizeof result;
  result.nick = const_cast<char*>("lee@mail.example");
  result.email = result.nick;
  ASSERT_NE(session->call("/AddToList", 0, reinterpret_cast<LPARAM>(&result)), 0);
  // Some servers answer the add with number 0: its place is known from the next list only.
  ASSERT_TRUE(wait([&] { return number(lee, "AuthPending") == 1; })) << session->log();
  EXPECT_TRUE(on_server("lee@mail.example")->pending);

  log_out();
  log_in(2);  // the server leaves lee out
  EXPECT_EQ(contacts_of("lee@mail.example"), std::vector<Handle>{lee});
  EXPECT_EQ(number(lee, "AuthPending"), 1u);
  EXPECT_EQ(number(lee, "Number"), 0u);
  EXPECT_EQ(number(lee, "NotOnList", "CList"), 0u);
  EXPECT_EQ(text(lee, "Group", "CList"), "Friends");

  log_out();
  serversim::Account kim = *server->account(kKim);
  for (serversim::Contact& c : kim.contacts) c.pending = false;  // lee authorized kim meanwhile
  server->add_account(kim);
  log_in(3);
  EXPECT_EQ(number(lee, "Number"), 22u);
  EXPECT_EQ(number(lee, "AuthPending"), 0u);
  EXPECT_EQ(text(lee, "Group", "CList"), "Friends");
}

class AddAnsweredWithZero : public ListTruth {
  void configure(serversim::Account&, serversim::Behavior& behavior) override {
    behavior.list_only_authorized = true;
    behavior.add_ack_id_zero = true;
  }
};

TEST_F(AddAnsweredWithZero, TheAddCarriesNameAndGroupAndALaterEditWaitsForTheList) {
  log_in();
  Handle lee = host().add_contact("MRIM");
  host().write_setting(lee, "MRIM", "EMail", Setting::string("lee@mail.example"));
  host().write_setting(lee, "CList", "MyHandle", Setting::string("Lee"));
  // A group the server does not have yet: made there first, so that the add goes into it.
  host().write_setting(lee, "CList", "Group", Setting::string("Climbing"));
  SearchResult result{};
  result.size = sizeof result;
  result.nick = const_cast<char*>("lee@mail.example");
  result.email = result.nick;
  ASSERT_NE(session->call("/AddToList", 0, reinterpret_cast<LPARAM>(&result)), 0);
  ASSERT_TRUE(wait([&] { return number(lee, "AuthPending") == 1; })) << session->log();
  EXPECT_EQ(on_server("lee@mail.example")->nickname, "Lee");
  const std::vector<serversim::Group> groups = server->account(kKim)->groups;
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[2].name, "Climbing");
  EXPECT_EQ(on_server("lee@mail.example")->group, 2u);
  EXPECT_EQ(number(lee, "GroupIndex"), 2u);

  // No number yet: the rename is kept, not reported sent.
  const size_t before = modifications();
  host().write_setting(lee, "CList", "MyHandle", Setting::string("Lee Park"));
  EXPECT_EQ(number(lee, "PendingEdit"), 1u);
  EXPECT_EQ(modifications(), before);

  log_out();
  serversim::Account kim = *server->account(kKim);
  for (serversim::Contact& c : kim.contacts) c.pending = false;  // lee authorized kim meanwhile
  server->add_account(kim);
  log_in(2);
  ASSERT_TRUE(server->wait_until([&] { return on_server("lee@mail.example")->nickname == "Lee Park"; }))
      << session->log();
  EXPECT_TRUE(wait([&] { return number(lee, "PendingEdit") == 0; }));
  EXPECT_EQ(text(lee, "MyHandle", "CList"), "Lee Park");
  EXPECT_EQ(text(lee, "Group", "CList"), "Climbing");
}

class MixedCase : public ListTruth {
  void configure(serversim::Account& kim, serversim::Behavior&) override {
    kim.contacts = {contact("Amy@Mail.Example", 1, "Amy")};
  }
};

TEST_F(MixedCase, AddressesThatDifferInCaseAreOneContact) {
  log_in();
  Handle amy = only("amy@mail.example");
  ASSERT_TRUE(server->deliver_message(kKim, "amy@mail.example", "hello"));
  ASSERT_TRUE(wait([&] { return !host().profile().events(amy).empty(); })) << session->log();
  EXPECT_EQ(contacts_of("amy@mail.example").size(), 1u) << "no second contact for the other spelling";
}

}  // namespace
