// Everything the server sends, end to end: the real MRIM.so in the host stand-in, logged in over
// loopback TCP to the MRIM server stand-in. The contact list with its numbers, nicknames and
// visibility; presence following another user's session; incoming messages, typing notices and
// authorization requests with their receipts; stored messages in every form, shown once and
// deleted; renames, deletions and visibility changes reaching the server; account notices and a
// forced log-out. Every wait is a wait for a condition with a generous bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/netlib.h"
#include "hostsim/profile.h"
#include "protocol/online.h"
#include "serversim/client.h"
#include "serversim/server.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"

namespace {

using hostsim::Handle;
using hostsim::Setting;
using testsupport::PluginSession;
namespace code = serversim::code;

constexpr int kWaitMs = 30000;
const char* const kEmail = "kim@mail.example";
const char* const kPassword = "kim-pw";
const char* const kAmy = "amy@mail.example";
const char* const kBob = "bob@mail.example";
const char* const kServerName = "mrim.test";
// A community server adds the list's Unicode mark to the flags it stores.
constexpr uint32_t kAddedUnicodeMark = 0x200;

serversim::Account kim_account() {
  serversim::Account a;
  a.email = kEmail;
  a.password = kPassword;
  a.nickname = "Kim";
  a.unread_mail = 3;
  a.total_mail = 12;
  a.info_style = serversim::UserInfoStyle::modern;
  a.groups = {{0, "Friends"}, {0, "Work"}};
  a.contacts.push_back(serversim::Contact{kAmy, 0, 0x08, 0, "Amy"});
  a.contacts.push_back(serversim::Contact{kBob, 1, 0, 0, ""});
  return a;
}

serversim::Account other_account(const std::string& email) {
  serversim::Account a;
  a.email = email;
  a.password = email + "-pw";
  a.contacts.push_back(serversim::Contact{kEmail, 0, 0, 0, "Kim"});
  return a;
}

class Incoming : public ::testing::Test {
 protected:
  virtual void configure(serversim::Account& kim) { (void)kim; }

  void SetUp() override {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    serversim::Account kim = kim_account();
    configure(kim);
    settings.accounts = {kim, other_account(kAmy), other_account(kBob)};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    testsupport::apply_write_style(settings.behavior);
    server = std::make_unique<serversim::Server>(settings);
    server->start();

    session = std::make_unique<PluginSession>("MRIM");
    auto& netlib = host().netlib();
    testsupport::route_plugin_to(netlib, *server, kServerName);
    session->set_account_text("EMail", kEmail);
    std::string password = kPassword;
    password.push_back('\0');
    host().call_service(MS_DB_CRYPT_ENCODESTRING, password.size(), reinterpret_cast<LPARAM>(password.data()));
    session->set_account_text("Password", password.c_str());
    ASSERT_TRUE(session->load());
  }

  void TearDown() override {
    session.reset();
    server->stop();
  }

  hostsim::Host& host() { return session->host(); }

  void go_online() {
    ASSERT_EQ(session->call("/SetStatus", ID_STATUS_ONLINE), 0);
    ASSERT_TRUE(wait([&] { return session->call("/GetStatus") == ID_STATUS_ONLINE; }));
    ASSERT_TRUE(server->wait_until([&] { return server->session_of(kEmail).has_value(); }));
  }
  // Online, with the whole contact list applied.
  void go_online_with_list() {
    go_online();
    ASSERT_TRUE(wait([&] {
      auto bob = contact(kBob);
      return bob && number(*bob) == 21u;
    })) << session->log();
    // Until the list is done, the user's renames are not sent (the list's own writes look alike).
    ASSERT_TRUE(session->wait_for_log("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled", kWaitMs));
  }

  bool wait(const std::function<bool()>& condition) { return host().wait_until(condition, kWaitMs); }

  std::optional<Handle> contact(const std::string& email) {
    for (Handle c : host().profile().contacts()) {
      if (host().profile().protocol(c) != "MRIM") continue;
      auto value = host().profile().setting(c, "MRIM", "EMail");
      if (value && value->text == email) return c;
    }
    return std::nullopt;
  }
  std::optional<Setting> setting(Handle c, const std::string& name, const std::string& module = "MRIM") {
    return host().profile().setting(c, module, name);
  }
  DWORD number(Handle c) {
    auto value = setting(c, "Number");
    return value ? value->number : 0;
  }
  WORD status_of(Handle c) {
    auto value = setting(c, "Status");
    return value ? static_cast<WORD>(value->number) : 0;
  }
  std::vector<hostsim::StoredEvent> events_of(Handle c) { return host().profile().events(c); }
  std::string text_of(const hostsim::StoredEvent& event) {
    return std::string(event.blob.begin(), event.blob.end());
  }

  // What the plug-in's session sent with this code.
  std::vector<serversim::Packet> received(uint32_t code) {
    std::vector<serversim::Packet> found;
    for (const auto& r : server->received())
      if (r.email == kEmail && r.packet.code == code) found.push_back(r.packet);
    return found;
  }

  std::optional<serversim::Contact> server_contact(const std::string& email) {
    auto account = server->account(kEmail);
    if (!account) return std::nullopt;
    for (const auto& c : account->contacts)
      if (c.email == email) return c;
    return std::nullopt;
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

TEST_F(Incoming, LoginBringsTheListWithNumbersNicknamesAndVisibility) {
  go_online_with_list();
  Handle amy = *contact(kAmy), bob = *contact(kBob);
  EXPECT_EQ(number(amy), 20u);
  EXPECT_EQ(number(bob), 21u);
  EXPECT_EQ(setting(amy, "MyHandle", "CList")->text, "Amy");
  EXPECT_EQ(setting(bob, "MyHandle", "CList")->text, kBob);
  EXPECT_EQ(setting(amy, "ApparentMode"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(setting(amy, "Flags"), Setting::dword(8));
  EXPECT_EQ(setting(amy, "NotOnList", "CList"), Setting::byte(0));
  EXPECT_EQ(status_of(amy), ID_STATUS_OFFLINE);
  EXPECT_EQ(host().profile().contacts().size(), 2u);
  EXPECT_TRUE(session->wait_for_log("MRIM_HSP: unread_mail == 3"));
  // Writing the list sent no renames back.
  EXPECT_TRUE(received(code::modify_contact).empty());
}

TEST_F(Incoming, PresenceFollowsAnotherUsersSession) {
  go_online_with_list();
  Handle amy = *contact(kAmy);
  serversim::Client client;
  ASSERT_TRUE(client.connect(server->mrim_port()));
  ASSERT_TRUE(client.hello());
  ASSERT_TRUE(client.login(kAmy, std::string(kAmy) + "-pw", MRIM_STATUS_ONLINE));
  EXPECT_TRUE(wait([&] { return status_of(amy) == ID_STATUS_ONLINE; }));
  client.request(code::change_status, serversim::Writer().ul(MRIM_STATUS_AWAY).take());
  EXPECT_TRUE(wait([&] { return status_of(amy) == ID_STATUS_AWAY; }));
  client.close();
  EXPECT_TRUE(wait([&] { return status_of(amy) == ID_STATUS_OFFLINE; }));
}

TEST_F(Incoming, MessageBecomesAnEventAndItsReceiptGoesBack) {
  go_online_with_list();
  Handle amy = *contact(kAmy);
  auto id = server->deliver_message(kEmail, kAmy, "hello kim");
  ASSERT_TRUE(id.has_value());
  ASSERT_TRUE(wait([&] { return events_of(amy).size() == 1; }));
  auto event = events_of(amy)[0];
  EXPECT_EQ(event.type, EVENTTYPE_MESSAGE);
  EXPECT_EQ(event.module, "MRIM");
  EXPECT_EQ(text_of(event), std::string("hello kim", 10));
  ASSERT_TRUE(server->wait_until([&] { return received(code::message_recv).size() == 1; }));
  auto receipt = received(code::message_recv)[0];
  EXPECT_EQ(receipt.seq, 0u);
  serversim::Reader reader(receipt.body);
  EXPECT_EQ(reader.lps(), kAmy);
  EXPECT_EQ(reader.ul(), *id);
}

// A list of 10,000 entries is one packet of about 600 KB: it arrives whole across
// several deliveries, and the message behind it in the stream still becomes an event.
class IncomingLargeList : public Incoming {
 protected:
  void configure(serversim::Account& kim) override {
    for (int i = 0; i < kLargeList; ++i)
      kim.contacts.push_back(
          serversim::Contact{"many" + std::to_string(i) + "@mail.example", 0, 0, 0, "Many"});
  }
  static constexpr int kLargeList = 10000;
};

TEST_F(IncomingLargeList, AListOverSixtyFourKiBIsAppliedAndALaterMessageArrives) {
  go_online_with_list();
  EXPECT_EQ(host().profile().contacts().size(), 2u + kLargeList);
  EXPECT_TRUE(contact("many" + std::to_string(kLargeList - 1) + "@mail.example").has_value());
  Handle amy = *contact(kAmy);
  ASSERT_TRUE(server->deliver_message(kEmail, kAmy, "after the list").has_value());
  ASSERT_TRUE(wait([&] { return events_of(amy).size() == 1; }));
  EXPECT_EQ(text_of(events_of(amy)[0]), std::string("after the list", 15));
}

TEST_F(Incoming, TypingNoticesAuthorizationRequestsAndSilentMessages) {
  go_online_with_list();
  Handle amy = *contact(kAmy);
  server->deliver_message(kEmail, kAmy, "", serversim::message_flag::notify);
  ASSERT_TRUE(wait([&] {
    auto typing = host().typing();
    return std::any_of(typing.begin(), typing.end(),
                       [&](const hostsim::TypingRecord& t) { return t.contact == amy && t.seconds == 11; });
  }));
  server->deliver_message(kEmail, kAmy, "quiet", serversim::message_flag::norecv);
  server->deliver_message(kEmail, "new@mail.example", "let me in", serversim::message_flag::authorize);
  ASSERT_TRUE(wait([&] {
    auto stranger = contact("new@mail.example");
    return stranger && events_of(*stranger).size() == 1 && events_of(amy).size() == 1;
  }));
  EXPECT_EQ(text_of(events_of(amy)[0]), std::string("quiet", 6));
  Handle stranger = *contact("new@mail.example");
  auto request = events_of(stranger)[0];
  EXPECT_EQ(request.type, EVENTTYPE_AUTHREQUEST);
  EXPECT_EQ(request.blob.size(), 2 * 16 + 9 + 13u);
  EXPECT_EQ(setting(stranger, "NotOnList", "CList"), Setting::byte(1));
  // Only the authorization request asked for a receipt.
  ASSERT_TRUE(server->wait_until([&] { return received(code::message_recv).size() == 1; }));
  EXPECT_EQ(serversim::Reader(received(code::message_recv)[0].body).lps(), "new@mail.example");
}

class StoredMessages : public Incoming {
 protected:
  void configure(serversim::Account& kim) override {
    uint64_t id = 1;
    for (auto form : {serversim::OfflineForm::plain, serversim::OfflineForm::boundary,
                      serversim::OfflineForm::modern, serversim::OfflineForm::utf8}) {
      serversim::OfflineMessage m;
      m.form = form;
      m.from = kAmy;
      m.text = "text " + std::to_string(id) + " Привет";  // and a Cyrillic word
      m.id = 0x100000000ull * id + id;
      kim.offline.push_back(m);
      ++id;
    }
  }
};

TEST_F(StoredMessages, EachFormIsShownOnceAndDeleted) {
  go_online_with_list();
  Handle amy = *contact(kAmy);
  ASSERT_TRUE(wait([&] { return events_of(amy).size() == 4; }));
  ASSERT_TRUE(server->wait_until([&] { return server->account(kEmail)->offline.empty(); }));
  std::vector<std::string> texts;
  for (const auto& event : events_of(amy)) texts.push_back(text_of(event));
  // Whatever the stored form, the host (which takes UTF-8) gets the word whole, marked UTF-8.
  const std::string word = " Привет";
  for (const auto& event : events_of(amy)) EXPECT_EQ(event.flags & DBEF_UTF8, DBEF_UTF8);
  EXPECT_EQ(texts,
            (std::vector<std::string>{std::string("text 1") + word + '\0', "text 2" + word + "\n" + '\0',
                                      "text 3" + word + '\0', "text 4" + word + '\0'}));
  // One deletion may wipe them all on a community server: the count tells that every one came.
  ASSERT_TRUE(server->wait_until([&] { return received(code::delete_offline_message).size() >= 4; }));
  auto deletions = received(code::delete_offline_message);
  ASSERT_EQ(deletions.size(), 4u);
  for (const auto& deletion : deletions) EXPECT_EQ(deletion.seq, 1u);

  // Offline and online again: nothing is stored any more, nothing is shown twice.
  ASSERT_EQ(session->call("/SetStatus", ID_STATUS_OFFLINE), 0);
  ASSERT_TRUE(server->wait_until([&] { return !server->session_of(kEmail).has_value(); }));
  size_t logins = session->log().find("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled");
  ASSERT_NE(logins, std::string::npos);
  go_online();
  ASSERT_TRUE(wait([&] {
    std::string log = session->log();
    return log.find("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled", logins + 1) != std::string::npos;
  }));
  EXPECT_EQ(events_of(amy).size(), 4u);
}

TEST_F(Incoming, RenameAndDeletionInTheHostReachTheServer) {
  go_online_with_list();
  Handle amy = *contact(kAmy), bob = *contact(kBob);
  host().write_setting(amy, "CList", "MyHandle", Setting::string("Amy Pond"));
  EXPECT_EQ(server_contact(kAmy)->nickname, "Amy Pond");
  EXPECT_EQ(server_contact(kAmy)->flags & ~kAddedUnicodeMark, 0x08u);
  ASSERT_TRUE(host().delete_contact(bob));
  EXPECT_FALSE(server_contact(kBob).has_value());
  auto modifications = received(code::modify_contact);
  ASSERT_EQ(modifications.size(), 2u);
  EXPECT_TRUE(session->wait_for_log("mrim_do_modify: ok"));
  if (!server->behavior().unanswered_edits) {
    EXPECT_TRUE(session->wait_for_log("mrim_do_remove: ended ok"));
  } else {
    // The deletion is never answered, yet the connection is not taken for dead.
    EXPECT_TRUE(session->wait_for_log("mrim_do_remove: the server did not answer", 60000));
    EXPECT_EQ(server->sessions().size(), 1u);
    EXPECT_EQ(session->call("/GetStatus"), ID_STATUS_ONLINE);
  }
}

TEST_F(Incoming, VisibilityChangesInBothDirections) {
  go_online_with_list();
  Handle amy = *contact(kAmy), bob = *contact(kBob);
  // Server to host: amy came on the visible list with the contact list.
  EXPECT_EQ(setting(amy, "ApparentMode"), Setting::word(ID_STATUS_ONLINE));
  // Host to server: bob goes on the invisible list, amy back to normal.
  ProtocolCall call{reinterpret_cast<HANDLE>(bob), "MRIM/SetApparentMode", ID_STATUS_OFFLINE, 0};
  EXPECT_EQ(session->call("/SetApparentMode", 0, reinterpret_cast<LPARAM>(&call)), 0);
  EXPECT_EQ(server_contact(kBob)->flags & ~kAddedUnicodeMark, 0x04u);
  EXPECT_EQ(setting(bob, "ApparentMode"), Setting::word(ID_STATUS_OFFLINE));
  call = ProtocolCall{reinterpret_cast<HANDLE>(amy), "MRIM/SetApparentMode", 0, 0};
  EXPECT_EQ(session->call("/SetApparentMode", 0, reinterpret_cast<LPARAM>(&call)), 0);
  EXPECT_EQ(server_contact(kAmy)->flags & ~kAddedUnicodeMark, 0u);
  EXPECT_EQ(setting(amy, "ApparentMode"), Setting::word(0));
}

TEST_F(Incoming, AccountNoticesOnRequest) {
  go_online_with_list();
  ASSERT_TRUE(server->set_unread(kEmail, 9));
  // Some servers never send the mailbox's counter.
  if (!server->behavior().no_mailbox_status) {
    EXPECT_TRUE(session->wait_for_log("MRIM_HSP: unread_mail == 9"));
  }
  ASSERT_TRUE(server->send_connection_params(kEmail, 45));
  EXPECT_TRUE(session->wait_for_log("MRIM_HSP: ping_period == 45"));
}

TEST_F(Incoming, ForcedLogoutTakesTheAccountOffline) {
  go_online_with_list();
  Handle amy = *contact(kAmy);
  serversim::Client client;
  ASSERT_TRUE(client.connect(server->mrim_port()));
  ASSERT_TRUE(client.hello());
  ASSERT_TRUE(client.login(kAmy, std::string(kAmy) + "-pw", MRIM_STATUS_ONLINE));
  ASSERT_TRUE(wait([&] { return status_of(amy) == ID_STATUS_ONLINE; }));

  ASSERT_TRUE(server->force_logout(kEmail, 0x10));
  EXPECT_TRUE(wait([&] { return session->call("/GetStatus") == ID_STATUS_OFFLINE; }));
  EXPECT_TRUE(session->wait_for_log("MRIM_HSP: reason == 16"));
  // Going offline marks every contact offline.
  EXPECT_TRUE(wait([&] { return status_of(amy) == ID_STATUS_OFFLINE; }));
  // The host hears it as a log-in that failed because the account logged in elsewhere.
  EXPECT_TRUE(wait([&] {
    for (const hostsim::AckRecord& ack : host().acks())
      if (ack.type == ACKTYPE_LOGIN && ack.result == ACKRESULT_FAILED && ack.param == LOGINERR_OTHERLOCATION)
        return true;
    return false;
  }));
}

TEST_F(Incoming, NothingAfterALogoutInTheSameDeliveryIsApplied) {
  go_online_with_list();
  Handle amy = *contact(kAmy);
  ASSERT_EQ(status_of(amy), ID_STATUS_OFFLINE);
  // One write: the log-out, then news of amy that belongs to the session that just ended.
  serversim::Bytes bytes = serversim::encode({code::logout, 0, serversim::Writer().ul(0x10).take()});
  serversim::Bytes presence =
      serversim::encode({code::user_status, 0, serversim::Writer().ul(MRIM_STATUS_ONLINE).lps(kAmy).take()});
  bytes.insert(bytes.end(), presence.begin(), presence.end());
  ASSERT_TRUE(server->send_raw(*server->session_of(kEmail), bytes));
  EXPECT_TRUE(wait([&] { return session->call("/GetStatus") == ID_STATUS_OFFLINE; }));
  // The listener has either dropped the presence or applied it.
  // (The log is a file; nothing announces its growth, so it is looked at often.)
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  auto decided = [&] {
    std::string log = session->log();
    return log.find("the rest of the delivery is dropped") != std::string::npos ||
           log.find("MRIM_CS_USER_STATUS handled") != std::string::npos;
  };
  while (!decided() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(decided()) << session->log();
  EXPECT_EQ(status_of(amy), ID_STATUS_OFFLINE) << "a contact set online after the account went offline";
}

}  // namespace
