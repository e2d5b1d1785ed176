// mrim-console end to end, as a program drives it: the built console runs as a child process
// in --json mode, commands go down a pipe, events come back one JSON object per line. The
// server stand-in runs in the test process (so two consoles can share it, and the test can
// watch it), or inside the console (--server embedded). Every wait is for a particular event.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console_process.h"
#include "hostsim/profile.h"
#include "hostsim/profile_store.h"
#include "protocol/online.h"
#include "protocol/server_choice.h"
#include "serversim/server.h"
#include "serversim/wire.h"

namespace {

using consoletest::ConsoleProcess;
using consoletest::is;
using consoletest::Json;
using consoletest::TempFolder;

const char* const kKim = "kim@mail.example";
const char* const kAmy = "amy@mail.example";
const char* const kBob = "bob@mail.example";

serversim::Account account(const std::string& email, const std::string& password,
                           std::vector<serversim::Contact> contacts) {
  serversim::Account a;
  a.email = email;
  a.password = password;
  a.nickname = email.substr(0, email.find('@'));
  a.groups.push_back(serversim::Group{0, "Friends"});
  a.contacts = std::move(contacts);
  return a;
}

serversim::Contact contact(const std::string& email, uint32_t status, const std::string& nickname) {
  serversim::Contact c;
  c.email = email;
  c.status = status;
  c.nickname = nickname;
  return c;
}

class Console : public ::testing::Test {
 protected:
  void SetUp() override {
    serversim::Settings settings;
    settings.accounts = {
        // Bob's nickname is code page 1251 on the wire: "Боб".
        account(kKim, "kim-pw",
                {contact(kAmy, serversim::mrim_status::offline, "Amy Pond"),
                 contact(kBob, serversim::mrim_status::away, "\xC1\xEE\xE1")}),
        account(kAmy, "amy-pw", {contact(kKim, serversim::mrim_status::offline, "Kim")}),
        account(kBob, "bob-pw", {contact(kKim, serversim::mrim_status::offline, "Kim")}),
    };
    settings.accounts.at(1).directory = {
        {"FirstName", "Amy"}, {"Birthday", "1990-07-15"}, {"Sex", "2"}, {"Location", "Riga"}};
    // The address service names a server on port 443, as the plug-in requires; the console's
    // --route takes that name to the MRIM service.
    settings.behavior.address_reply = "mrim.test:443\r\n";
    settings_ = settings;
    server = std::make_unique<serversim::Server>(settings);
    server->start();
  }

  // The server gone, as a restart takes it, and back on the same ports with the same accounts.
  void restart_server(const std::function<void()>& while_down) {
    settings_.address_listen = "127.0.0.1:" + std::to_string(server->address_port());
    settings_.mrim_listen = "127.0.0.1:" + std::to_string(server->mrim_port());
    server->stop();
    while_down();
    server = std::make_unique<serversim::Server>(settings_);
    server->start();
  }

  void TearDown() override {
    for (auto& c : consoles) {
      int status = c->finish();
      EXPECT_EQ(status, 0) << c->transcript();
    }
    consoles.clear();
    server->stop();
  }

  std::vector<std::string> server_args() const {
    return {"--server", "127.0.0.1:" + std::to_string(server->address_port()),
            "--route",  "mrim.test:443=127.0.0.1:" + std::to_string(server->mrim_port()),
            "--plugin", MRIM_PLUGIN_PATH};
  }

  // Kim's account on the test's server.
  std::vector<std::string> kim_args() const {
    std::vector<std::string> args = server_args();
    args.insert(args.end(), {"--account", kKim, "--password", "kim-pw"});
    return args;
  }

  // A console on the test's server; with an account unless `email` is empty.
  ConsoleProcess& start(const std::string& email, const std::string& password, const std::string& profile,
                        const TempFolder& folder) {
    std::vector<std::string> args = server_args();
    if (!email.empty()) args.insert(args.end(), {"--account", email, "--password", password});
    args.insert(args.end(), {"--profile", profile});
    consoles.push_back(std::make_unique<ConsoleProcess>(args, folder.path()));
    return *consoles.back();
  }

  // Goes online and waits for the status change.
  static void go_online(ConsoleProcess& c) {
    Json answer = c.command("status online");
    ASSERT_EQ(answer.value("event", ""), "ok") << c.transcript();
    ASSERT_TRUE(c.await(is("status", "status", "online"))) << c.transcript();
  }

  static bool contact_shows(ConsoleProcess& c, const std::string& address, const std::string& status) {
    return c
        .await([&](const Json& e) {
          return e.value("event", "") == "contact" && e.value("address", "") == address &&
                 e.value("status", "") == status;
        })
        .has_value();
  }

  serversim::Settings settings_;
  std::unique_ptr<serversim::Server> server;
  std::vector<std::unique_ptr<ConsoleProcess>> consoles;
};

// A message outside the open conversation is unread until shown, and counted meanwhile; one
// inside it is read as it comes. Coming back from away sums them up once.
TEST_F(Console, UnreadMessagesAreCountedListedAndSummedUp) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  go_online(kim);
  ASSERT_TRUE(contact_shows(kim, kBob, "away")) << kim.transcript();
  kim.command("chat amy@mail.example");
  kim.command("/status away");
  ASSERT_TRUE(kim.next(is("status", "status", "away"))) << kim.transcript();
  ASSERT_TRUE(server->deliver_message(kKim, kAmy, "in the conversation"));
  ASSERT_TRUE(server->deliver_message(kKim, kBob, "one"));
  ASSERT_TRUE(server->deliver_message(kKim, kBob, "two"));
  std::optional<Json> counted = kim.next([](const Json& e) {
    return e.value("event", "") == "unread_count" && e.value("messages", int64_t{0}) == 2;
  });
  ASSERT_TRUE(counted) << kim.transcript();
  kim.command("/status online");
  std::optional<Json> summary = kim.next(is("unread_summary"));
  ASSERT_TRUE(summary) << kim.transcript();
  EXPECT_EQ((*summary).value("messages", int64_t{0}), 2);
  EXPECT_EQ((*summary).value("contacts", int64_t{0}), 1);
  kim.command("/list");
  for (const Json& c : kim.all(is("list")).back().value("contacts", Json()))
    EXPECT_EQ(c.value("unread", int64_t{0}), c.value("address", "") == kBob ? 2 : 0) << c.dump();
  kim.command("/unread");
  Json senders = kim.all(is("unread")).back().value("senders", Json());
  ASSERT_EQ(senders.size(), 1u) << kim.transcript();
  EXPECT_EQ(senders.at(0).value("messages", Json()).size(), 2u);
  kim.command("/unread");
  EXPECT_TRUE(kim.all(is("unread")).back().value("senders", Json()).empty()) << kim.transcript();
}

// Typed while the server is away, messages wait in the outbox and go once it is back: each
// once, in the order typed.
TEST_F(Console, MessagesTypedWhileTheServerIsAwayGoOnceEachWhenItIsBack) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", folder.file("profile.sqlite"), folder);
  go_online(kim);
  restart_server([&] {
    ASSERT_TRUE(kim.await(is("status", "status", "offline"))) << kim.transcript();
    for (const char* text : {"one", "two", "three"}) {
      Json answer = kim.command(std::string("msg amy@mail.example ") + text);
      EXPECT_TRUE(answer.value("queued", false)) << kim.transcript();
    }
    kim.command("outbox");
    EXPECT_EQ(kim.all(is("outbox")).back().value("entries", Json()).size(), 3u) << kim.transcript();
  });
  std::vector<std::string> delivered;
  for (int i = 0; i < 3; ++i) {
    std::optional<Json> ack = kim.next(is("delivered"));
    ASSERT_TRUE(ack) << kim.transcript();
    EXPECT_TRUE((*ack).value("delivered", false)) << (*ack).dump();
    delivered.push_back((*ack).value("text", ""));
  }
  EXPECT_EQ(delivered, (std::vector<std::string>{"one", "two", "three"}));
  std::vector<std::string> stored;
  std::optional<serversim::Account> amy = server->account(kAmy);
  ASSERT_TRUE(amy);
  for (const serversim::OfflineMessage& m : amy->offline) stored.push_back(m.text);
  EXPECT_EQ(stored, (std::vector<std::string>{"one", "two", "three"}));
  kim.command("outbox");
  EXPECT_TRUE(kim.all(is("outbox")).back().value("entries", Json()).empty()) << kim.transcript();
}

TEST_F(Console, ContactListAndPresenceArrive) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  std::optional<Json> ready = kim.next(is("ready"));
  ASSERT_TRUE(ready) << kim.transcript();
  EXPECT_EQ((*ready).value("account", ""), kKim);
  EXPECT_EQ((*ready).value("module", ""), "MRIM");
  go_online(kim);

  // Each contact of the server's list shows up once with its presence and name; the code page
  // 1251 nickname arrives as UTF-8.
  ASSERT_TRUE(contact_shows(kim, kAmy, "offline")) << kim.transcript();
  ASSERT_TRUE(contact_shows(kim, kBob, "away")) << kim.transcript();
  kim.command("list");
  std::vector<Json> lists = kim.all(is("list"));
  ASSERT_EQ(lists.size(), 1u);
  const Json& contacts = lists.at(0).value("contacts", Json());
  ASSERT_EQ(contacts.size(), 2u) << kim.transcript();
  std::map<std::string, const Json*> by_address;
  for (const Json& c : contacts) by_address[c.value("address", "")] = &c;
  ASSERT_TRUE(by_address.count(kAmy) && by_address.count(kBob));
  EXPECT_EQ((*by_address[kAmy]).value("name", ""), "Amy Pond");
  EXPECT_EQ((*by_address[kBob]).value("name", ""), "\xD0\x91\xD0\xBE\xD0\xB1");  // "Боб"
  EXPECT_EQ((*by_address[kBob]).value("status", ""), "away");
  EXPECT_TRUE((*by_address[kAmy]).value("on_list", false));

  // A presence change is shown as a change of that contact.
  server->announce_status(kAmy, serversim::mrim_status::online);
  std::optional<Json> change = kim.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("address", "") == kAmy &&
           e.value("status", "") == "online";
  });
  ASSERT_TRUE(change) << kim.transcript();
  EXPECT_FALSE((*change).value("new", false));
  ASSERT_EQ((*change).value("changed", Json()).size(), 1u);
  EXPECT_EQ((*change).value("changed", Json()).at(0).get<std::string>(), "status");
  // The texts of a status, in any script, come with the presence.
  const std::string title = "At the gym \xF0\x9F\x99\x82";
  server->announce_status(kAmy, serversim::mrim_status::online, {"", title, "back at 5"});
  ASSERT_TRUE(kim.await([&](const Json& e) {
    return e.value("event", "") == "contact" && e.value("address", "") == kAmy &&
           e.value("status_title", "") == title && e.value("status_desc", "") == "back at 5";
  })) << kim.transcript();

  // Going offline marks every contact offline again.
  kim.command("status offline");
  ASSERT_TRUE(kim.await(is("status", "status", "offline"))) << kim.transcript();
  EXPECT_TRUE(contact_shows(kim, kBob, "offline")) << kim.transcript();
}

TEST_F(Console, TwoConsolesExchangeAMessageEachWay) {
  TempFolder kim_folder, amy_folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", kim_folder);
  ConsoleProcess& amy = start(kAmy, "amy-pw", ":memory:", amy_folder);
  go_online(kim);
  go_online(amy);
  ASSERT_TRUE(contact_shows(kim, kAmy, "online")) << kim.transcript();
  ASSERT_TRUE(contact_shows(amy, kKim, "online")) << amy.transcript();

  Json sent = kim.command("msg amy@mail.example Hello, Amy!");
  ASSERT_EQ(sent.value("event", ""), "ok") << kim.transcript();
  int64_t ack = sent.value("ack", int64_t{0});
  EXPECT_NE(ack, 0);
  std::optional<Json> got = amy.await(is("message", "from", kKim));
  ASSERT_TRUE(got) << amy.transcript();
  EXPECT_EQ((*got).value("text", ""), "Hello, Amy!");
  EXPECT_EQ((*got).value("name", ""), "Kim");
  std::optional<Json> delivered = kim.await(is("delivered"));
  ASSERT_TRUE(delivered) << kim.transcript();
  EXPECT_EQ((*delivered).value("ack", int64_t{0}), ack);
  EXPECT_EQ((*delivered).value("to", ""), kAmy);
  EXPECT_TRUE((*delivered).value("delivered", false));

  // Typed in UTF-8, carried in code page 1251, shown in UTF-8 again.
  const std::string reply = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, Kim!";  // "Привет, Kim!"
  ASSERT_EQ(amy.command("msg kim@mail.example " + reply).value("event", ""), "ok") << amy.transcript();
  std::optional<Json> answer = kim.await(is("message", "from", kAmy));
  ASSERT_TRUE(answer) << kim.transcript();
  EXPECT_EQ((*answer).value("text", ""), reply);

  // Kim's history holds both, the sent one once it was delivered.
  kim.command("history amy@mail.example");
  std::optional<Json> history = kim.await(is("history"));
  ASSERT_TRUE(history);
  const Json& entries = (*history).value("entries", Json());
  ASSERT_EQ(entries.size(), 2u) << kim.transcript();
  EXPECT_EQ(entries.at(0).value("direction", ""), "out");
  EXPECT_EQ(entries.at(0).value("text", ""), "Hello, Amy!");
  EXPECT_EQ(entries.at(1).value("direction", ""), "in");
  EXPECT_EQ(entries.at(1).value("text", ""), reply);
}

// A post of Kim's reaches Amy as it is made, and stays as Kim's last post in Amy's list and
// history; one too long is refused before it goes, with its length.
TEST_F(Console, APostReachesTheOtherConsolesPosts) {
  TempFolder kim_folder, amy_folder;
  // The server's clock runs three hours ahead of this machine's.
  serversim::Behavior ahead = server->behavior();
  ahead.clock_offset = std::chrono::hours(3);
  server->set_behavior(ahead);
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", kim_folder);
  ConsoleProcess& amy = start(kAmy, "amy-pw", ":memory:", amy_folder);
  go_online(kim);
  go_online(amy);
  ASSERT_TRUE(contact_shows(amy, kKim, "online")) << amy.transcript();

  Json refused = kim.command("post " + std::string(MRIM_POST_MAX + 1, 'x'));
  EXPECT_EQ(refused.value("message", ""), "a post has at most 500 characters; this one has 501")
      << kim.transcript();
  const std::string text = "Back from the hills \xE2\x9B\xB0";  // a mountain
  const int64_t before = std::time(nullptr);
  Json posted = kim.command("post " + text);
  ASSERT_EQ(posted.value("event", ""), "ok") << kim.transcript();
  EXPECT_EQ(posted.value("text", ""), text);
  EXPECT_EQ(kim.command("post").value("last", Json()).value("text", ""), text) << kim.transcript();

  std::optional<Json> came = amy.await(is("post", "address", kKim));
  ASSERT_TRUE(came) << amy.transcript();
  EXPECT_EQ((*came).value("text", ""), text);
  // Dated by this machine's clock, not the server's three hours ahead.
  EXPECT_NEAR(static_cast<double>((*came).value("time", int64_t{0})), static_cast<double>(before), 600);
  amy.command("posts");
  std::optional<Json> posts = amy.await(is("posts"));
  ASSERT_TRUE(posts) << amy.transcript();
  const Json& list = (*posts).value("posts", Json());
  ASSERT_EQ(list.size(), 1u) << amy.transcript();
  EXPECT_EQ(list.at(0).value("address", ""), kKim);
  EXPECT_EQ(list.at(0).value("name", ""), "Kim");
  EXPECT_EQ(list.at(0).value("text", ""), text);
  amy.command("history kim@mail.example");
  std::optional<Json> history = amy.await(is("history"));
  ASSERT_TRUE(history) << amy.transcript();
  const Json& entries = (*history).value("entries", Json());
  ASSERT_EQ(entries.size(), 1u) << amy.transcript();
  EXPECT_EQ(entries.at(0).value("type", ""), "post");
}

// The packets of one kind that a logged-in account sent to the server.
std::vector<serversim::Packet> sent_by(const serversim::Server& server, const std::string& email,
                                       uint32_t code) {
  std::vector<serversim::Packet> packets;
  for (const serversim::Received& r : server.received())
    if (r.email == email && r.packet.code == code) packets.push_back(r.packet);
  return packets;
}

TEST_F(Console, AMoveReachesTheServerAndTheGroupsFollow) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  go_online(kim);
  ASSERT_TRUE(contact_shows(kim, kBob, "away")) << kim.transcript();
  ASSERT_EQ(kim.command("move " + std::string(kAmy) + " Old friends").value("event", ""), "ok")
      << kim.transcript();
  std::optional<Json> moved = kim.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("group", "") == "Old friends";
  });
  ASSERT_TRUE(moved) << kim.transcript();
  EXPECT_EQ((*moved).value("address", ""), kAmy);
  // The move is carried out before the command is answered: the server made the group first.
  EXPECT_EQ(server->account(kKim)->groups.back().name, "Old friends");

  kim.command("groups");
  std::vector<Json> groups = kim.all(is("groups"));
  ASSERT_EQ(groups.size(), 1u) << kim.transcript();
  const Json& names = groups.at(0).value("groups", Json());
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back().value("name", ""), "Old friends");
  EXPECT_EQ(names.back().value("contacts", int64_t{0}), 1);
}

// Two consoles find each other in the directory, read each other's away message and client,
// and one renames, empties and deletes groups, as the server then keeps them.
TEST_F(Console, TwoConsolesFindEachOtherReadAwayMessagesAndEditGroups) {
  TempFolder kim_folder, amy_folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", kim_folder);
  ConsoleProcess& amy = start(kAmy, "amy-pw", ":memory:", amy_folder);
  go_online(kim);
  go_online(amy);
  ASSERT_EQ(amy.command("status online \"At lunch\" \"Back at two\"").value("event", ""), "ok")
      << amy.transcript();
  ASSERT_TRUE(kim.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("status_desc", "") == "Back at two";
  })) << kim.transcript();

  ASSERT_EQ(kim.command("search first=Amy city=Riga age=30-40 online").value("event", ""), "ok")
      << kim.transcript();
  std::optional<Json> hit = kim.await(is("search_result"));
  ASSERT_TRUE(hit) << kim.transcript();
  EXPECT_EQ((*hit).value("email", ""), kAmy);
  EXPECT_EQ((*hit).value("status", ""), "online");
  EXPECT_EQ((*hit).value("city", ""), "Riga");
  EXPECT_GE((*hit).value("age", int64_t{0}), 36);
  ASSERT_TRUE(kim.await(is("search_done"))) << kim.transcript();

  ASSERT_EQ(kim.command("away amy@mail.example").value("event", ""), "ok") << kim.transcript();
  std::optional<Json> away = kim.await(is("away_message"));
  ASSERT_TRUE(away) << kim.transcript();
  EXPECT_EQ((*away).value("text", ""), "At lunch\r\nBack at two");
  kim.command("list --long");
  bool client_shown = false;
  for (const Json& c : kim.all(is("list")).back().value("contacts", Json()))
    if (c.value("address", "") == kAmy) client_shown = c.value("client", "").rfind(MRIM_CLIENT_NAME, 0) == 0;
  EXPECT_TRUE(client_shown) << kim.transcript();

  // A contact sent, and added from what arrived with a text for its owner.
  ASSERT_EQ(kim.command("contacts amy@mail.example bob@mail.example").value("event", ""), "ok")
      << kim.transcript();
  std::optional<Json> got = amy.await(is("contacts"));
  ASSERT_TRUE(got) << amy.transcript();
  ASSERT_EQ((*got).value("contacts", Json()).size(), 1u);
  EXPECT_EQ((*got).value("contacts", Json()).at(0).value("address", ""), kBob);
  ASSERT_EQ(amy.command("add bob@mail.example -- Hi Bob, it's Amy").value("event", ""), "ok")
      << amy.transcript();
  std::optional<serversim::Account> amy_on_server = server->account(kAmy);
  ASSERT_TRUE(amy_on_server);
  EXPECT_TRUE(std::any_of(amy_on_server->contacts.begin(), amy_on_server->contacts.end(),
                          [](const serversim::Contact& c) { return c.email == kBob; }));

  // Ignored: the flag is on the server's list, and off again.
  ASSERT_EQ(kim.command("ignore amy@mail.example").value("event", ""), "ok") << kim.transcript();
  EXPECT_EQ(server->account(kKim)->contacts.at(0).flags & 0x10, 0x10u);
  ASSERT_EQ(kim.command("unignore amy@mail.example").value("event", ""), "ok") << kim.transcript();
  EXPECT_EQ(server->account(kKim)->contacts.at(0).flags & 0x10, 0u);

  // The first group renamed with its contacts in it, then a group emptied and deleted.
  ASSERT_EQ(kim.command("group rename Friends Pals").value("event", ""), "ok") << kim.transcript();
  EXPECT_EQ(kim.command("group delete Pals").value("event", ""), "error");
  ASSERT_EQ(kim.command("move amy@mail.example Old").value("event", ""), "ok") << kim.transcript();
  ASSERT_EQ(kim.command("move amy@mail.example Pals").value("event", ""), "ok") << kim.transcript();
  ASSERT_EQ(kim.command("group delete Old").value("event", ""), "ok") << kim.transcript();
  std::optional<serversim::Account> on_server = server->account(kKim);
  ASSERT_TRUE(on_server);
  ASSERT_EQ(on_server->groups.size(), 1u);
  EXPECT_EQ(on_server->groups[0].name, "Pals");
  for (const serversim::Contact& c : on_server->contacts) EXPECT_EQ(c.group, 0u) << c.email;
  // The list of a new log-in says the same.
  ASSERT_EQ(kim.command("status offline").value("event", ""), "ok") << kim.transcript();
  ASSERT_TRUE(kim.await(is("status", "status", "offline"))) << kim.transcript();
  go_online(kim);
  kim.command("groups");
  const Json groups = kim.all(is("groups")).back().value("groups", Json());
  ASSERT_EQ(groups.size(), 1u) << kim.transcript();
  EXPECT_EQ(groups.at(0).value("name", ""), "Pals");
  EXPECT_EQ(groups.at(0).value("contacts", int64_t{0}), 2);
}

TEST_F(Console, SearchDetailsVisibilityAndDeletionGoThroughThePlugIn) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  go_online(kim);
  ASSERT_TRUE(contact_shows(kim, kBob, "away")) << kim.transcript();

  Json search = kim.command("search amy@mail.example");
  ASSERT_EQ(search.value("event", ""), "ok") << kim.transcript();
  int64_t id = search.value("id", int64_t{0});
  std::optional<Json> hit = kim.next(is("search_result"));
  ASSERT_TRUE(hit) << kim.transcript();
  EXPECT_EQ((*hit).value("id", int64_t{0}), id);
  EXPECT_EQ((*hit).value("email", ""), kAmy);
  std::optional<Json> done = kim.next(is("search_done"));
  ASSERT_TRUE(done) << kim.transcript();
  EXPECT_EQ((*done).value("id", int64_t{0}), id);
  EXPECT_EQ((*done).value("found", int64_t{0}), 1);
  kim.command("search ghost@mail.example");
  done = kim.next(is("search_done"));
  ASSERT_TRUE(done) << kim.transcript();
  EXPECT_EQ((*done).value("found", int64_t{0}), 0);

  // The details come before the command's answer, from the contact's settings.
  kim.send("info amy@mail.example");
  std::optional<Json> details = kim.next(is("details"));
  ASSERT_TRUE(details) << kim.transcript();
  EXPECT_TRUE((*details).value("ok", false));
  EXPECT_EQ((*details).value("fields", Json()).value("first_name", ""), "Amy");
  EXPECT_EQ((*details).value("fields", Json()).value("birthday", ""), "1990-07-15");
  EXPECT_EQ((*details).value("fields", Json()).value("gender", ""), "female");
  EXPECT_EQ((*details).value("fields", Json()).value("email", ""), kAmy);
  EXPECT_TRUE(kim.next(is("ok", "command", "info"))) << kim.transcript();

  Json visibility = kim.command("visibility amy@mail.example invisible");
  ASSERT_EQ(visibility.value("event", ""), "ok") << kim.transcript();
  ASSERT_TRUE(kim.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("address", "") == kAmy &&
           e.value("visibility", "") == "invisible";
  })) << kim.transcript();
  std::vector<serversim::Packet> modified = sent_by(*server, kKim, serversim::code::modify_contact);
  ASSERT_EQ(modified.size(), 1u);
  serversim::Reader r(modified.at(0).body);
  r.ul();                                        // the contact's number
  EXPECT_EQ(r.ul().value_or(0) & 0x04u, 0x04u);  // the invisible-list flag

  ASSERT_TRUE(server->deliver_message(kKim, kBob, "before the delete"));
  ASSERT_TRUE(kim.await(is("message", "from", kBob))) << kim.transcript();
  Json deleted = kim.command("delete bob@mail.example");
  ASSERT_EQ(deleted.value("event", ""), "ok") << kim.transcript();
  ASSERT_TRUE(kim.await(is("contact_removed", "address", kBob))) << kim.transcript();
  kim.command("list");
  std::optional<Json> list = kim.await(is("list"));
  ASSERT_TRUE(list);
  ASSERT_EQ((*list).value("contacts", Json()).size(), 1u) << kim.transcript();
  EXPECT_EQ((*list).value("contacts", Json()).at(0).value("address", ""), kAmy);
  // The history stays with the address, and its message is no news.
  ASSERT_EQ(kim.command("history bob@mail.example").value("event", ""), "ok") << kim.transcript();
  std::vector<Json> history = kim.all(is("history", "address", kBob));
  ASSERT_EQ(history.size(), 1u) << kim.transcript();
  ASSERT_EQ(history[0].value("entries", Json()).size(), 1u) << kim.transcript();
  EXPECT_EQ(history[0].value("entries", Json()).at(0).value("text", ""), "before the delete");
  EXPECT_EQ(kim.all(is("message", "from", kBob)).size(), 1u) << kim.transcript();
}

// The account's status texts, the protocol revision and the encryption choice, as each kind of
// host stores them: UTF-8 where the host takes it, else code page 1251 with "?" for what that
// lacks.
TEST_F(Console, StatusTextsAndTheRevisionAreStoredAsTheHostTakesThem) {
  const std::string title = "At the gym \xF0\x9F\x99\x82";                   // an emoji
  const std::string cyrillic = "\xD0\x92 \xD0\xB7\xD0\xB0\xD0\xBB\xD0\xB5";  // "В зале"
  TempFolder folder;
  struct Run {
    std::vector<std::string> options;
    std::string typed_title, shown_title;
    hostsim::Setting stored_title;
    BYTE legacy;
    BYTE encryption;
  };
  const Run runs[] = {
      {{}, title, title, hostsim::Setting::utf8(title), 0, 1},
      {{"--host-version", "0.6", "--protocol", "1.8", "--encryption", "never"},
       cyrillic + " \xF0\x9F\x99\x82",
       cyrillic + " ?",
       hostsim::Setting::string("\xC2 \xE7\xE0\xEB\xE5 ?"),
       1,
       0},
  };
  for (const Run& run : runs) {
    std::string profile = folder.file("profile" + std::to_string(run.legacy) + ".sqlite");
    std::vector<std::string> args = server_args();
    args.insert(args.end(), {"--account", kKim, "--password", "kim-pw", "--profile", profile});
    args.insert(args.end(), run.options.begin(), run.options.end());
    ConsoleProcess kim(args, folder.path());
    Json set = kim.command("status away \"" + run.typed_title + "\" back at 5");
    ASSERT_EQ(set.value("event", ""), "ok") << kim.transcript();
    Json shown = kim.command("status");
    EXPECT_EQ(shown.value("status_title", ""), run.shown_title) << kim.transcript();
    EXPECT_EQ(shown.value("status_desc", ""), "back at 5") << kim.transcript();
    if (run.legacy == 0) {
      // New texts under the same status go out and are said to; a title longer than servers
      // keep is cut here, with a word; a status alone keeps the texts, and "" clears them.
      ASSERT_TRUE(kim.await(is("status", "status", "away"))) << kim.transcript();
      const std::string long_title(52, 't');
      Json again = kim.command("status away \"" + long_title + "\"");
      EXPECT_TRUE(again.value("unchanged", false) && again.value("texts_changed", false)) << again.dump();
      EXPECT_EQ(again.value("status_title", ""), std::string(MRIM_STATUS_TITLE_MAX, 't')) << again.dump();
      ASSERT_EQ(again.value("cut", Json()).size(), 1u) << again.dump();
      EXPECT_EQ(kim.command("status away").value("status_title", ""),
                std::string(MRIM_STATUS_TITLE_MAX, 't'));
      Json cleared = kim.command("status away \"\"");
      EXPECT_TRUE(cleared.value("texts_changed", false)) << cleared.dump();
      EXPECT_EQ(cleared.value("status_title", "?"), "") << cleared.dump();
      kim.command("status away \"" + run.typed_title + "\" back at 5");
    }
    kim.send("quit");
    ASSERT_EQ(kim.finish(), 0) << kim.transcript();

    std::string error;
    std::unique_ptr<hostsim::ProfileStore> store = hostsim::ProfileStore::open(profile, error);
    ASSERT_TRUE(store) << error;
    hostsim::Profile stored;
    ASSERT_TRUE(store->load(stored, error)) << error;
    EXPECT_EQ(stored.setting(0, "MRIM", "StatusTitle"), run.stored_title);
    EXPECT_EQ(stored.setting(0, "MRIM", "LegacyProtocol"), hostsim::Setting::byte(run.legacy));
    EXPECT_EQ(stored.setting(0, "MRIM", "ProtocolRevision"), hostsim::Setting::dword(run.legacy ? 8 : 20));
    EXPECT_EQ(stored.setting(0, "MRIM", "Encryption"), hostsim::Setting::byte(run.encryption));
  }
}

TEST_F(Console, AuthorizationRequestsAreGrantedAndRefused) {
  TempFolder amy_folder, bob_folder;
  ConsoleProcess& amy = start(kAmy, "amy-pw", ":memory:", amy_folder);
  ConsoleProcess& bob = start(kBob, "bob-pw", ":memory:", bob_folder);
  go_online(amy);
  go_online(bob);

  // Adding Bob, into a group of its own, asks him for authorization; until he grants it the
  // list says so.
  auto bob_in_amys_list = [&] {
    amy.command("list");
    for (const Json& c : amy.all(is("list")).back().value("contacts", Json()))
      if (c.value("address", "") == kBob) return c;
    return Json();
  };
  Json added = amy.command("add bob@mail.example Old friends");
  ASSERT_EQ(added.value("event", ""), "ok") << amy.transcript();
  EXPECT_EQ(added.value("group", ""), "Old friends") << added.dump();
  EXPECT_EQ(bob_in_amys_list().value("group", ""), "Old friends") << amy.transcript();
  EXPECT_TRUE(bob_in_amys_list().value("auth_pending", false)) << amy.transcript();
  std::optional<Json> request = bob.await(is("auth_request", "from", kAmy));
  ASSERT_TRUE(request) << bob.transcript();
  EXPECT_FALSE((*request).value("text", "").empty());
  ASSERT_EQ(bob.command("authorize amy@mail.example").value("event", ""), "ok") << bob.transcript();
  ASSERT_TRUE(
      server->wait_until([&] { return !sent_by(*server, kBob, serversim::code::authorize).empty(); }));
  std::vector<serversim::Packet> granted = sent_by(*server, kBob, serversim::code::authorize);
  EXPECT_EQ(serversim::Reader(granted.at(0).body).lps().value_or(""), kAmy);
  EXPECT_TRUE(amy.await(is("authorized", "address", kBob))) << amy.transcript();
  EXPECT_FALSE(bob_in_amys_list().value("auth_pending", true)) << amy.transcript();

  // A stranger's request is refused: the stranger stays off the list and nothing is granted.
  ASSERT_TRUE(
      server->deliver_message(kBob, "eve@mail.example", "let me in", serversim::message_flag::authorize));
  ASSERT_TRUE(bob.await(is("auth_request", "from", "eve@mail.example"))) << bob.transcript();
  ASSERT_EQ(bob.command("deny eve@mail.example").value("event", ""), "ok") << bob.transcript();
  bob.command("list");
  std::optional<Json> list = bob.await(is("list"));
  ASSERT_TRUE(list);
  bool eve_listed = false;
  for (const Json& c : (*list).value("contacts", Json())) {
    if (c.value("address", "") != "eve@mail.example") continue;
    eve_listed = true;
    EXPECT_FALSE(c.value("on_list", false));
  }
  EXPECT_TRUE(eve_listed) << bob.transcript();
  EXPECT_EQ(sent_by(*server, kBob, serversim::code::authorize).size(), 1u);
  // Without a request there is nothing to refuse.
  Json again = bob.command("deny kim@mail.example");
  EXPECT_EQ(again.value("event", ""), "error");
  EXPECT_NE(again.value("message", "").find("no authorization request"), std::string::npos);
}

TEST_F(Console, StrangersAreWrittenToAndHeardFromThroughTemporaryContacts) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  go_online(kim);
  const std::string dan = "dan@mail.example";
  auto dan_on_list = [&](bool on_list) {
    return kim.await([&](const Json& e) {
      return e.value("event", "") == "contact" && e.value("address", "") == dan &&
             e.value("on_list", !on_list) == on_list;
    });
  };

  // Dan is on nobody's list: the message goes out through a contact that is not on the list.
  Json sent = kim.command("msg " + dan + " Hello, Dan!");
  ASSERT_EQ(sent.value("event", ""), "ok") << kim.transcript();
  ASSERT_TRUE(dan_on_list(false)) << kim.transcript();
  ASSERT_TRUE(server->wait_until([&] { return !sent_by(*server, kKim, serversim::code::message).empty(); }));
  std::vector<serversim::Packet> messages = sent_by(*server, kKim, serversim::code::message);
  serversim::Reader r(messages.at(0).body);
  r.ul();  // flags
  EXPECT_EQ(r.lps().value_or(""), dan);

  // Adding him later puts that same contact on the list.
  ASSERT_EQ(kim.command("add " + dan).value("event", ""), "ok") << kim.transcript();
  ASSERT_TRUE(dan_on_list(true)) << kim.transcript();
  kim.command("list");
  std::optional<Json> list = kim.await(is("list"));
  ASSERT_TRUE(list);
  int dans = 0;
  for (const Json& c : list->value("contacts", Json())) dans += c.value("address", "") == dan;
  EXPECT_EQ(dans, 1) << kim.transcript();

  // A message from a stranger shows who sent it, as a contact not on the list.
  ASSERT_TRUE(server->deliver_message(kKim, "zed@mail.example", "who are you?"));
  std::optional<Json> got = kim.await(is("message", "from", "zed@mail.example"));
  ASSERT_TRUE(got) << kim.transcript();
  EXPECT_EQ(got->value("text", ""), "who are you?");
  EXPECT_TRUE(kim.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("address", "") == "zed@mail.example" &&
           !e.value("on_list", true);
  })) << kim.transcript();
}

TEST_F(Console, TheServerOptionIsStoredAsTheAccountsServer) {
  TempFolder folder;
  std::string profile = folder.file("profile.sqlite");
  ConsoleProcess& kim = start(kKim, "kim-pw", profile, folder);
  // Nothing routes the built-in server: the account's own is asked.
  go_online(kim);
  EXPECT_EQ(server->address_queries(), 1);
  kim.send("quit");
  ASSERT_TRUE(kim.await(is("bye"))) << kim.transcript();
  ASSERT_EQ(kim.finish(), 0) << kim.transcript();

  std::string error;
  std::unique_ptr<hostsim::ProfileStore> store = hostsim::ProfileStore::open(profile, error);
  ASSERT_TRUE(store) << error;
  hostsim::Profile stored;
  ASSERT_TRUE(store->load(stored, error)) << error;
  EXPECT_EQ(stored.setting(0, "MRIM", "Server"), hostsim::Setting::string("127.0.0.1"));
  EXPECT_EQ(stored.setting(0, "MRIM", "Port"), hostsim::Setting::dword(server->address_port()));
}

// The server a profile holds is kept: a start without --server goes to it, not to the embedded one.
TEST_F(Console, ARestartWithoutTheServerOptionUsesTheProfilesServer) {
  TempFolder folder;
  std::string profile = folder.file("profile.sqlite");
  {
    ConsoleProcess& first = start(kKim, "kim-pw", profile, folder);
    first.send("quit");
    ASSERT_TRUE(first.await(is("bye"))) << first.transcript();
    ASSERT_EQ(first.finish(), 0) << first.transcript();
  }
  std::vector<std::string> args = server_args();
  args.erase(args.begin(), args.begin() + 2);  // no --server
  args.insert(args.end(), {"--profile", profile});
  consoles.push_back(std::make_unique<ConsoleProcess>(args, folder.path()));
  ConsoleProcess& second = *consoles.back();
  std::optional<Json> ready = second.next(is("ready"));
  ASSERT_TRUE(ready) << second.transcript();
  EXPECT_EQ((*ready).value("server", ""), "127.0.0.1:" + std::to_string(server->address_port()));
  go_online(second);
  EXPECT_EQ(server->address_queries(), 1);
}

// A profile an earlier console wrote holds the embedded server's address of that run and no
// note of it: it gets the embedded server again, not a dead loopback port. Its choice of 1.8
// stands in the byte of that time alone, and is kept.
TEST_F(Console, AnEarlierConsolesProfileKeepsTheEmbeddedServerAndItsRevision) {
  TempFolder folder;
  std::string profile = folder.file("profile.sqlite");
  {
    std::string error;
    std::unique_ptr<hostsim::ProfileStore> store = hostsim::ProfileStore::open(profile, error);
    ASSERT_TRUE(store) << error;
    hostsim::Profile old;
    old.write_setting(0, "MRIM", "EMail", hostsim::Setting::string("you@mrim.example"));
    old.write_setting(0, "MRIM", "Server", hostsim::Setting::string("127.0.0.1"));
    old.write_setting(0, "MRIM", "Port", hostsim::Setting::word(1));
    old.write_setting(0, "MRIM", "LegacyProtocol", hostsim::Setting::byte(1));
    ASSERT_TRUE(store->save(old, error)) << error;
  }
  consoles.push_back(std::make_unique<ConsoleProcess>(
      std::vector<std::string>{"--plugin", MRIM_PLUGIN_PATH, "--profile", profile, "--account",
                               "you@mrim.example", "--password", "demo"},
      folder.path()));
  ConsoleProcess& console = *consoles.back();
  std::optional<Json> ready = console.next(is("ready"));
  ASSERT_TRUE(ready) << console.transcript();
  EXPECT_EQ((*ready).value("server", ""), "embedded") << console.transcript();
  EXPECT_EQ((*ready).value("protocol", ""), "1.8") << console.transcript();
}

TEST_F(Console, TheProfileSurvivesARestart) {
  TempFolder folder;
  std::string profile = folder.file("profile.sqlite");
  {
    ConsoleProcess& first = start(kKim, "kim-pw", profile, folder);
    go_online(first);
    ASSERT_TRUE(contact_shows(first, kBob, "away")) << first.transcript();
    // "Привет" in code page 1251, as the server passes it on.
    ASSERT_TRUE(server->deliver_message(kKim, kAmy, "\xCF\xF0\xE8\xE2\xE5\xF2"));
    ASSERT_TRUE(first.await(is("message", "from", kAmy))) << first.transcript();
    first.command("rename bob@mail.example Bobby");
    first.send("quit");
    ASSERT_TRUE(first.await(is("bye"))) << first.transcript();
    ASSERT_EQ(first.finish(), 0) << first.transcript();
  }
  // No account options this time: the account, the list and the history come from the file.
  ConsoleProcess& second = start("", "", profile, folder);
  std::optional<Json> ready = second.next(is("ready"));
  ASSERT_TRUE(ready) << second.transcript();
  EXPECT_EQ((*ready).value("account", ""), kKim);
  second.command("list");
  std::optional<Json> list = second.await(is("list"));
  ASSERT_TRUE(list);
  ASSERT_EQ((*list).value("contacts", Json()).size(), 2u) << second.transcript();
  for (const Json& c : (*list).value("contacts", Json())) {
    EXPECT_EQ(c.value("status", ""), "offline");  // presence is not kept: nobody is known online
    if (c.value("address", "") == kBob) {
      EXPECT_EQ(c.value("name", ""), "Bobby");
    }
  }
  second.command("history amy@mail.example");
  std::optional<Json> history = second.await(is("history"));
  ASSERT_TRUE(history);
  ASSERT_EQ((*history).value("entries", Json()).size(), 1u) << second.transcript();
  EXPECT_EQ((*history).value("entries", Json()).at(0).value("text", ""),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  // The stored password still logs in.
  go_online(second);
}

TEST_F(Console, AProfileThatIsNoDatabaseStopsTheStartAndIsLeftAlone) {
  TempFolder folder;
  const std::string text = "not a profile\n";
  std::ofstream(folder.file("notes.txt")) << text;
  ConsoleProcess console({"--profile", folder.file("notes.txt"), "--plugin", MRIM_PLUGIN_PATH},
                         folder.path());
  std::optional<Json> error = console.next(is("error"));
  ASSERT_TRUE(error) << console.transcript();
  EXPECT_NE((*error).value("message", "").find("notes.txt"), std::string::npos)
      << (*error).value("message", "");
  EXPECT_TRUE(console.all(is("ready")).empty());
  EXPECT_EQ(console.finish(), 1) << console.transcript();
  std::ifstream in(folder.file("notes.txt"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
}

TEST_F(Console, AWrongPasswordLeavesTheAccountOfflineAndSaysSo) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "not-the-password", ":memory:", folder);
  Json answer = kim.command("status online");
  ASSERT_EQ(answer.value("event", ""), "ok") << kim.transcript();
  EXPECT_TRUE(answer.value("pending", false));
  std::optional<Json> failed = kim.await(is("login_failed"));
  ASSERT_TRUE(failed) << kim.transcript();
  EXPECT_EQ((*failed).value("status", ""), "offline");
  EXPECT_NE((*failed).value("reason", "").find("password"), std::string::npos)
      << (*failed).value("reason", "");
  EXPECT_TRUE(kim.all(is("status")).empty()) << kim.transcript();
  // Still offline: going offline changes nothing.
  Json offline = kim.command("status offline");
  EXPECT_TRUE(offline.value("unchanged", false)) << kim.transcript();
  EXPECT_FALSE(server->session_of(kKim));
}

// A mistyped server shows in the failure: what was tried, not only that nothing was found.
TEST_F(Console, AServerNotFoundIsNamedInTheFailure) {
  TempFolder folder;
  // Port 1 of loopback has nobody listening; the fallback address is outside loopback.
  consoles.push_back(std::make_unique<ConsoleProcess>(
      std::vector<std::string>{"--server", "127.0.0.1:1", "--account", kKim, "--password", "kim-pw",
                               "--plugin", MRIM_PLUGIN_PATH},
      folder.path()));
  ConsoleProcess& kim = *consoles.back();
  ASSERT_EQ(kim.command("status online").value("event", ""), "ok") << kim.transcript();
  std::optional<Json> failed = kim.await(is("login_failed"));
  ASSERT_TRUE(failed) << kim.transcript();
  EXPECT_EQ((*failed).value("reason", ""),
            "the server could not be reached: 127.0.0.1:1 refused the "
            "connection; the fallback " MRIM_FALLBACK_SERVER_ADDRESS " could not be reached");
  kim.command("status offline");
}

TEST_F(Console, BadCommandsGetAClearErrorAndChangeNothing) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  struct Case {
    const char* line;
    const char* command;
    const char* says;
  };
  const Case cases[] = {
      {"frobnicate now", "frobnicate", "unknown command"},
      {"status sideways", "status", "unknown status"},
      {"msg", "msg", "usage: msg ADDRESS TEXT"},
      {"msg amy@mail.example", "msg", "missing text"},
      {"msg amy hello", "msg", "no e-mail address"},
      {"visibility amy@mail.example sideways", "visibility", "unknown visibility"},
      {"wait forever", "wait", "number of seconds"},
      {"search age=old", "search", "age takes years"},
      {"search town=Riga", "search", "nothing to search by"},
      {"search amy@mail.example", "search", "offline"},
      {"list everything", "list", "no option of list"},
      {"history \"amy@mail.example", "history", "quote"},
      {"rename nobody@mail.example Somebody", "rename", "no contact"},
      {"delete nobody@mail.example", "delete", "no contact"},
      {"authorize nobody@mail.example", "authorize", "no contact"},
  };
  for (const Case& c : cases) {
    Json answer = kim.command(c.line);
    EXPECT_EQ(answer.value("event", ""), "error") << c.line;
    EXPECT_EQ(answer.value("command", ""), c.command) << c.line;
    EXPECT_NE(answer.value("message", "").find(c.says), std::string::npos)
        << c.line << ": " << answer.value("message", "");
  }
  // Nothing reached the server, nothing was added, and the console still works.
  kim.command("list");
  std::optional<Json> list = kim.await(is("list"));
  ASSERT_TRUE(list);
  EXPECT_EQ((*list).value("contacts", Json()).size(), 0u);
  EXPECT_TRUE(server->sessions().empty());
  EXPECT_EQ(server->address_queries(), 0);
  EXPECT_EQ(kim.command("help").value("event", ""), "ok");
}

// Edits of the list made offline would be undone by the server's list at the next log-in, so
// they are refused; an add says what the server answered, and is not made when it cannot be
// one; an edit the server refuses says why.
TEST_F(Console, ListEditsNeedTheServerAndAddsSayWhatTheServerDid) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", folder.file("profile.sqlite"), folder);
  go_online(kim);
  ASSERT_TRUE(contact_shows(kim, kAmy, "offline")) << kim.transcript();
  kim.command("status offline");
  ASSERT_TRUE(kim.await(is("status", "status", "offline"))) << kim.transcript();
  for (const char* line :
       {"rename \"amy pond\" Amy", "move amy@mail.example Work", "delete amy@mail.example"}) {
    Json answer = kim.command(line);
    EXPECT_EQ(answer.value("event", ""), "error") << line;
    EXPECT_NE(answer.value("message", "").find("offline"), std::string::npos) << answer.dump();
  }
  EXPECT_TRUE(kim.all(is("contact_removed")).empty()) << kim.transcript();

  kim.command("status online");
  ASSERT_TRUE(kim.next(is("status", "status", "online"))) << kim.transcript();
  Json again = kim.command("add amy@mail.example");
  EXPECT_EQ(again.value("event", ""), "error");
  EXPECT_NE(again.value("message", "").find("on the list already"), std::string::npos) << again.dump();
  kim.command("search zed@mail.example");
  ASSERT_TRUE(kim.await(is("search_done"))) << kim.transcript();
  Json nobody = kim.command("add zed@mail.example");
  EXPECT_EQ(nobody.value("event", ""), "error");
  EXPECT_NE(nobody.value("message", "").find("found nobody"), std::string::npos) << nobody.dump();
  // A name stands for the address; the server lists Bob, as the answer says.
  Json listed = kim.command("reqauth Боб");
  EXPECT_EQ(listed.value("address", ""), kBob) << kim.transcript();
  EXPECT_TRUE(listed.value("listed", false)) << listed.dump();

  // A refused edit is no "ok": its answer is the server's reason.
  serversim::Behavior full = server->behavior();
  full.group_limit = 1;
  server->set_behavior(full);
  Json refused = kim.command("move amy@mail.example Work");
  EXPECT_EQ(refused.value("event", ""), "error") << kim.transcript();
  EXPECT_NE(refused.value("message", "").find("as many groups as the server allows"), std::string::npos)
      << refused.dump();
  EXPECT_TRUE(kim.all(is("warning")).empty()) << kim.transcript();
}

TEST_F(Console, WithoutAnAccountNothingIsAskedAndGoingOnlineSaysWhy) {
  // Standard input is a pipe: the set-up dialog is cancelled, as nobody can answer it.
  TempFolder folder;
  ConsoleProcess& console = start("", "", ":memory:", folder);
  std::optional<Json> ready = console.next(is("ready"));
  ASSERT_TRUE(ready) << console.transcript();
  EXPECT_TRUE(ready->value("account", Json()).is_null());
  Json answer = console.command("status online");
  EXPECT_EQ(answer.value("event", ""), "error");
  EXPECT_NE(answer.value("message", "").find("no account"), std::string::npos) << answer.value("message", "");
}

// A person at a terminal: the console runs on a pseudo-terminal, the test types.
class Terminal {
 public:
  Terminal(const std::vector<std::string>& args, const std::string& workdir) {
    std::vector<std::string> argv_text = {MRIM_CONSOLE_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      if (chdir(workdir.c_str()) != 0) _exit(126);
      execv(argv.at(0), argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0; }
  void type(const std::string& line) { keys(line + "\n"); }
  void keys(const std::string& text) {
    EXPECT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Reads the screen until it shows `text` after what the last call found (or the time is up).
  bool shows(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + consoletest::kEventWait;
    size_t found;
    while ((found = screen_.find(text, seen_)) == std::string::npos) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[1024];
      ssize_t got = read(master_, buffer, sizeof buffer);
      if (got <= 0) return false;
      screen_.append(buffer, static_cast<size_t>(got));
    }
    seen_ = found + text.size();
    return true;
  }
  // Reads the screen to its end and waits for the console to end; its exit status.
  int finish() {
    for (;;) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(consoletest::kEventWait.count())) <= 0) break;
      char buffer[1024];
      ssize_t got = read(master_, buffer, sizeof buffer);
      if (got <= 0) break;  // the console closed the terminal
      screen_.append(buffer, static_cast<size_t>(got));
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& screen() const { return screen_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string screen_;
  size_t seen_ = 0;
};

TEST_F(Console, AtATerminalAMissingAccountIsAskedForThroughTheSetUpDialog) {
  TempFolder folder;
  std::string profile = folder.file("profile.sqlite");
  std::vector<std::string> args = server_args();
  args.insert(args.end(), {"--profile", profile});
  {
    Terminal terminal(args, folder.path());
    ASSERT_TRUE(terminal.started());
    ASSERT_TRUE(terminal.shows("E-Mail: ")) << terminal.screen();
    terminal.type(kKim);
    ASSERT_TRUE(terminal.shows("Password: ")) << terminal.screen();
    terminal.type("kim-pw");
    ASSERT_TRUE(terminal.shows("account kim@mail.example")) << terminal.screen();
    terminal.type("quit");
    EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
    EXPECT_EQ(terminal.screen().find("kim-pw"), std::string::npos) << "the password was echoed";
  }
  // The dialog stored both, the password as the host encodes it: the next start logs in.
  ConsoleProcess& again = start("", "", profile, folder);
  std::optional<Json> ready = again.next(is("ready"));
  ASSERT_TRUE(ready) << again.transcript();
  EXPECT_EQ((*ready).value("account", ""), kKim);
  go_online(again);
}

// After a lost connection the plug-in plans a try (its account setting "ReconnectIn"), makes it
// and logs in again; the person at the terminal reads each step.
TEST_F(Console, AtATerminalALostConnectionSaysWhenTheNextTryComes) {
  TempFolder folder;
  Terminal terminal(kim_args(), folder.path());
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.shows("account kim@mail.example")) << terminal.screen();
  terminal.type("status online");
  ASSERT_TRUE(terminal.shows("* you are online (were offline)")) << terminal.screen();
  std::optional<serversim::SessionId> session = server->session_of(kKim);
  ASSERT_TRUE(session);
  ASSERT_TRUE(server->close_session(*session));
  ASSERT_TRUE(terminal.shows("* you are offline (were online)")) << terminal.screen();
  ASSERT_TRUE(terminal.shows("* connection lost, reconnecting in ")) << terminal.screen();
  ASSERT_TRUE(terminal.shows("* you are online (were offline)")) << terminal.screen();
  terminal.type("quit");
  EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
  EXPECT_EQ(terminal.screen().find("* reconnecting"), std::string::npos) << terminal.screen();
}

// A message line being typed tells its contact so, before it is sent: in a conversation too.
TEST_F(Console, AtATerminalAMessageBeingTypedSendsATypingNotice) {
  TempFolder folder;
  Terminal terminal(kim_args(), folder.path());
  ASSERT_TRUE(terminal.started());
  terminal.type("status online");
  ASSERT_TRUE(terminal.shows("* you are online (were offline)")) << terminal.screen();
  auto typing_notices = [&] {
    int notices = 0;
    for (const serversim::Packet& p : sent_by(*server, kKim, serversim::code::message)) {
      serversim::Reader reader(p.body);
      std::optional<uint32_t> flags = reader.ul();
      notices += flags && (*flags & serversim::message_flag::notify) && reader.lps() == std::string(kAmy);
    }
    return notices;
  };
  auto wait_for = [&](int notices) {
    for (int i = 0; i < 200 && typing_notices() < notices; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return typing_notices();
  };
  terminal.keys("msg amy Hel");
  EXPECT_EQ(wait_for(1), 1) << terminal.screen();
  terminal.keys("lo\n");
  ASSERT_TRUE(terminal.shows("\u2713 Amy Pond <amy@mail.example>: Hello")) << terminal.screen();
  terminal.type("chat amy");
  ASSERT_TRUE(terminal.shows("talking with Amy Pond")) << terminal.screen();
  terminal.keys("Прив");
  EXPECT_EQ(wait_for(2), 2) << terminal.screen();
  terminal.keys("\x03");  // Ctrl-C drops the line: no more notices for it
  terminal.type("/quit");
  EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
  EXPECT_EQ(typing_notices(), 2);
}

// Tries that fail as the first did: its reason once, then one line per try, and no word of a
// connection lost, since none was made.
TEST_F(Console, AtATerminalFailedTriesSayTheReasonOnceThenOneLineEach) {
  TempFolder folder;
  Terminal terminal(
      {"--server", "127.0.0.1:1", "--account", kKim, "--password", "kim-pw", "--plugin", MRIM_PLUGIN_PATH},
      folder.path());
  ASSERT_TRUE(terminal.started());
  terminal.type("status online");
  ASSERT_TRUE(terminal.shows("* log-in failed, still offline: the server could not be reached"))
      << terminal.screen();
  ASSERT_TRUE(terminal.shows("* could not reach the server; next try in 1 s")) << terminal.screen();
  ASSERT_TRUE(terminal.shows("* could not reach the server; next try in 2 s")) << terminal.screen();
  terminal.type("quit");
  EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
  const std::string& screen = terminal.screen();
  EXPECT_EQ(screen.find("log-in failed"), screen.rfind("log-in failed")) << screen;
  EXPECT_EQ(screen.find("connection lost"), std::string::npos) << screen;
}

// Fingerprints as the terminal shows them whole: groups of four digits, eight to a row.
std::vector<std::string> fingerprint_rows(const std::string& hex) {
  std::vector<std::string> rows(2);
  for (size_t at = 0; at < hex.size(); at += 4) rows[at / 32] += (at % 32 ? " " : "") + hex.substr(at, 4);
  return rows;
}

// The server's certificate pinned at the first log-in is told in one short line, and the status
// lines say no more than "encrypted". A changed certificate is refused with both fingerprints
// whole and the two commands to type; trust pins the new one and goes online again.
TEST_F(Console, AtATerminalAChangedCertificateIsShownWholeAndTrustedOnRequest) {
  serversim::Behavior tls = server->behavior();
  tls.tls = true;
  server->set_behavior(tls);
  const std::string first = server->certificate_sha256();
  TempFolder folder;
  Terminal terminal(kim_args(), folder.path());
  ASSERT_TRUE(terminal.started());
  terminal.type("status online");
  const std::string shortened = first.substr(0, 4) + "\u2026" + first.substr(60);
  ASSERT_TRUE(terminal.shows("* pinned the server's certificate SHA-256 " + shortened)) << terminal.screen();
  ASSERT_TRUE(terminal.shows("* you are online (were offline); encrypted")) << terminal.screen();
  EXPECT_EQ(terminal.screen().find(first.substr(0, 16)), std::string::npos) << terminal.screen();

  terminal.type("status offline");
  ASSERT_TRUE(terminal.shows("* you are offline (were online)")) << terminal.screen();
  server->renew_certificate();
  const std::string renewed = server->certificate_sha256();
  terminal.type("status online");
  ASSERT_TRUE(
      terminal.shows("* log-in failed, still offline: the server's certificate is not the pinned one"))
      << terminal.screen();
  for (const std::string& row : fingerprint_rows(renewed))
    ASSERT_TRUE(terminal.shows(row)) << terminal.screen();
  for (const std::string& row : fingerprint_rows(first))
    ASSERT_TRUE(terminal.shows(row)) << terminal.screen();
  ASSERT_TRUE(terminal.shows("Type \"trust\" to accept the new certificate")) << terminal.screen();
  ASSERT_TRUE(terminal.shows("\"security pin clear\" to forget the pin")) << terminal.screen();

  terminal.type("trust");
  ASSERT_TRUE(terminal.shows("* you are online (were offline); encrypted")) << terminal.screen();
  std::optional<serversim::SessionId> session = server->session_of(kKim);
  ASSERT_TRUE(session);
  EXPECT_TRUE(server->session(*session)->encrypted);
  terminal.type("quit");
  EXPECT_EQ(terminal.finish(), 0) << terminal.screen();
  // The trusted certificate is no first pin: one announcement in all.
  EXPECT_EQ(terminal.screen().find("* pinned", terminal.screen().find("* pinned") + 1), std::string::npos)
      << terminal.screen();
}

// The same through JSON; then every try fails, each failure plans the next, and status offline
// calls the plan off: the plug-in takes the request although the account is offline already.
TEST_F(Console, ALostConnectionIsReconnectedAndStatusOfflineCallsOffTheNextTry) {
  TempFolder folder;
  ConsoleProcess& kim = start(kKim, "kim-pw", ":memory:", folder);
  go_online(kim);
  auto changed = [](const std::string& status, const std::string& previous) {
    return [=](const Json& e) {
      return e.value("event", "") == "status" && e.value("status", "") == status &&
             e.value("previous", "") == previous;
    };
  };
  std::optional<serversim::SessionId> first = server->session_of(kKim);
  ASSERT_TRUE(first);
  ASSERT_TRUE(server->close_session(*first));
  ASSERT_TRUE(kim.next(changed("offline", "online"))) << kim.transcript();
  std::optional<Json> plan = kim.next(is("reconnecting"));
  ASSERT_TRUE(plan) << kim.transcript();
  EXPECT_GE(plan->value("seconds", int64_t{0}), 1) << kim.transcript();
  std::optional<Json> attempt = kim.next(is("reconnecting"));
  ASSERT_TRUE(attempt) << kim.transcript();
  EXPECT_EQ(attempt->value("seconds", int64_t{-1}), 0) << kim.transcript();
  ASSERT_TRUE(kim.next(changed("online", "offline"))) << kim.transcript();
  std::optional<serversim::SessionId> second = server->session_of(kKim);
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first);

  // From now on every try fails and the waits grow: the plan after a failed try lasts some
  // seconds, time enough for the request below to find it.
  serversim::Behavior refusing = server->behavior();
  refusing.close_on_accept = true;
  server->set_behavior(refusing);
  ASSERT_TRUE(server->close_session(*second));
  ASSERT_TRUE(kim.next(changed("offline", "online"))) << kim.transcript();
  ASSERT_TRUE(kim.next(is("login_failed"))) << kim.transcript();
  std::optional<Json> next_plan = kim.next(is("reconnecting"));
  ASSERT_TRUE(next_plan) << kim.transcript();
  ASSERT_GE(next_plan->value("seconds", int64_t{0}), 1) << kim.transcript();

  Json cancel = kim.command("status offline");
  EXPECT_EQ(cancel.value("event", ""), "ok") << kim.transcript();
  EXPECT_FALSE(cancel.value("unchanged", false)) << kim.transcript();
  EXPECT_EQ(cancel.value("cancelled", ""), "reconnect") << kim.transcript();
  // The plan ended by the request, not for a try: the last word on reconnecting stays the plan.
  kim.command("wait 0");
  EXPECT_GE(kim.all(is("reconnecting")).back().value("seconds", int64_t{0}), 1) << kim.transcript();
  // Nothing is left to call off: the account is plainly offline now.
  EXPECT_TRUE(kim.command("status offline").value("unchanged", false)) << kim.transcript();
}

// The embedded server with the demo accounts: the README's sample session.
TEST(EmbeddedConsole, TheAnsweringAccountAnswers) {
  TempFolder folder;
  ConsoleProcess you({"--account", "you@mrim.example", "--password", "demo", "--plugin", MRIM_PLUGIN_PATH},
                     folder.path());
  std::optional<Json> ready = you.next(is("ready"));
  ASSERT_TRUE(ready) << you.transcript();
  EXPECT_EQ((*ready).value("server", ""), "embedded");
  ASSERT_EQ((*ready).value("answering", Json()).at(0).get<std::string>(), "echo@mrim.example");
  ASSERT_EQ(you.command("status online").value("event", ""), "ok") << you.transcript();
  ASSERT_TRUE(you.await(is("status", "status", "online"))) << you.transcript();
  ASSERT_TRUE(you.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("address", "") == "echo@mrim.example" &&
           e.value("status", "") == "online";
  })) << you.transcript();
  // The stored welcome message of the demo arrives after the log-in.
  EXPECT_TRUE(you.await(is("message", "from", "ann@mrim.example"))) << you.transcript();

  ASSERT_EQ(you.command("msg echo@mrim.example ping 1").value("event", ""), "ok") << you.transcript();
  std::optional<Json> typing = you.await(is("typing", "from", "echo@mrim.example"));
  ASSERT_TRUE(typing) << you.transcript();
  std::optional<Json> answer = you.await(is("message", "from", "echo@mrim.example"));
  ASSERT_TRUE(answer) << you.transcript();
  EXPECT_EQ((*answer).value("text", ""), "You said: ping 1");
  EXPECT_TRUE(you.await(is("delivered")).value_or(Json()).value("delivered", false)) << you.transcript();
  you.send("quit");
  EXPECT_TRUE(you.await(is("bye"))) << you.transcript();
  EXPECT_EQ(you.finish(), 0) << you.transcript();
}

// The embedded server's picture service is the account's: the plug-in fetches Echo's picture,
// the avatar command names its file, and list marks who has one. Ivan has none.
TEST(EmbeddedConsole, AContactsPictureIsFetchedNamedAndMarked) {
  TempFolder folder;
  ConsoleProcess you({"--account", "you@mrim.example", "--password", "demo", "--plugin", MRIM_PLUGIN_PATH},
                     folder.path());
  ASSERT_EQ(you.command("status online").value("event", ""), "ok") << you.transcript();
  ASSERT_TRUE(you.await([](const Json& e) {
    return e.value("event", "") == "contact" && e.value("address", "") == "echo@mrim.example" &&
           e.value("status", "") == "online";
  })) << you.transcript();

  Json picture = you.command("avatar echo", std::chrono::milliseconds(60000));
  ASSERT_EQ(picture.value("event", ""), "ok") << you.transcript();
  EXPECT_EQ(picture.value("address", ""), "echo@mrim.example");
  const std::string path = picture.value("path", "");
  ASSERT_FALSE(path.empty()) << you.transcript();
  struct stat file {};
  ASSERT_EQ(stat(path.c_str(), &file), 0) << path;
  EXPECT_GT(file.st_size, 0);
  EXPECT_EQ(picture.value("size", int64_t{-1}), static_cast<int64_t>(file.st_size));
  // The plug-in told of the picture it fetched, whether on its own or asked.
  std::optional<Json> told = you.await(is("avatar", "address", "echo@mrim.example"));
  ASSERT_TRUE(told) << you.transcript();
  EXPECT_EQ(told->value("path", ""), path);
  EXPECT_EQ(told->value("format", ""), picture.value("format", "?"));

  EXPECT_TRUE(you.command("avatar ivan@mrim.example", std::chrono::milliseconds(60000)).value("none", false))
      << you.transcript();

  ASSERT_EQ(you.command("list").value("event", ""), "ok") << you.transcript();
  std::optional<Json> list = you.await(is("list"));
  ASSERT_TRUE(list) << you.transcript();
  std::map<std::string, bool> marked;
  for (const Json& c : (*list)["contacts"]) marked[c.value("address", "")] = c.value("picture", false);
  EXPECT_TRUE(marked["echo@mrim.example"]) << you.transcript();
  EXPECT_FALSE(marked["ivan@mrim.example"]) << you.transcript();
  you.send("quit");
  EXPECT_TRUE(you.await(is("bye"))) << you.transcript();
  EXPECT_EQ(you.finish(), 0) << you.transcript();
}

// The embedded server keeps its certificate beside the profile: a second start goes online
// inside TLS with the certificate pinned at the first. The pin is forgotten on request.
TEST(EmbeddedConsole, ItsCertificateIsKeptWithTheProfileAndThePinIsClearedOnRequest) {
  TempFolder folder;
  const std::string profile = folder.file("profile.sqlite");
  const std::vector<std::string> args = {"--account", "you@mrim.example", "--password", "demo",
                                         "--plugin",  MRIM_PLUGIN_PATH,   "--profile",  profile};
  std::string pinned;
  for (int start = 1; start <= 2; ++start) {
    ConsoleProcess you(args, folder.path());
    // Nothing was refused: there is nothing to trust.
    Json trust = you.command("trust");
    EXPECT_EQ(trust.value("event", ""), "error") << you.transcript();
    ASSERT_EQ(you.command("status online").value("event", ""), "ok") << you.transcript();
    std::optional<Json> online = you.await(is("status", "status", "online"));
    ASSERT_TRUE(online) << you.transcript();
    EXPECT_TRUE(online->value("encrypted", false)) << you.transcript();
    ASSERT_EQ(you.command("security").value("event", ""), "ok") << you.transcript();
    std::optional<Json> security = you.await(is("security"));
    ASSERT_TRUE(security && (*security)["pin"].is_string()) << you.transcript();
    const std::string pin = (*security)["pin"];
    EXPECT_TRUE(security->value("encrypted", false));
    EXPECT_NE(security->value("line", "").find(pin), std::string::npos) << you.transcript();
    // The first pin is told once, as it is made.
    std::vector<Json> told = you.all(is("pinned"));
    if (start == 1) {
      pinned = pin;
      ASSERT_EQ(told.size(), 1u) << you.transcript();
      EXPECT_EQ(told[0].value("certificate", ""), pin);
    } else {
      EXPECT_EQ(pin, pinned);
      EXPECT_TRUE(told.empty()) << you.transcript();
      Json cleared = you.command("security pin clear");
      EXPECT_TRUE(cleared.value("cleared", false)) << you.transcript();
      you.send("security");
      std::optional<Json> after = you.next(is("security"));
      ASSERT_TRUE(after) << you.transcript();
      EXPECT_TRUE((*after)["pin"].is_null()) << you.transcript();
    }
    you.send("quit");
    ASSERT_TRUE(you.await(is("bye"))) << you.transcript();
    ASSERT_EQ(you.finish(), 0) << you.transcript();
  }
  struct stat key {};
  ASSERT_EQ(stat((profile + ".tls-key.pem").c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
}

}  // namespace
