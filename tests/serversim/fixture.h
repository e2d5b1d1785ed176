// Shared set-up of the server stand-in tests: a running server with three accounts, and small
// helpers to log clients in and to read what they are sent.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "serversim/client.h"
#include "serversim/server.h"

namespace serversim::testing_support {

using std::chrono::milliseconds;

inline Account make_account(const std::string& email, const std::string& password,
                            const std::string& nickname) {
  Account a;
  a.email = email;
  a.password = password;
  a.nickname = nickname;
  a.groups.push_back(Group{0, "Friends"});
  return a;
}

inline Contact make_contact(const std::string& email, const std::string& nickname, uint32_t flags = 0,
                            uint32_t status = 0) {
  Contact c;
  c.email = email;
  c.nickname = nickname;
  c.flags = flags;
  c.status = status;
  return c;
}

// A contact list read back by its masks, as a client does.
struct ListEntry {
  std::vector<uint32_t> numbers;
  std::vector<std::string> texts;
};
struct DecodedList {
  uint32_t result = 1;
  std::string group_mask;
  std::string contact_mask;
  std::vector<ListEntry> groups;
  std::vector<ListEntry> contacts;
};

inline bool read_entry(Reader& r, const std::string& mask, ListEntry& entry) {
  for (char letter : mask) {
    if (letter == 's') {
      std::optional<std::string> t = r.lps();
      if (!t) return false;
      entry.texts.push_back(*t);
    } else {
      std::optional<uint32_t> n = r.ul();
      if (!n) return false;
      entry.numbers.push_back(*n);
    }
  }
  return true;
}

inline DecodedList decode_list(const Packet& p) {
  DecodedList list;
  Reader r(p.body);
  list.result = r.ul().value_or(1);
  uint32_t groups = r.ul().value_or(0);
  list.group_mask = r.lps().value_or("");
  list.contact_mask = r.lps().value_or("");
  for (uint32_t i = 0; i < groups; ++i) {
    ListEntry e;
    EXPECT_TRUE(read_entry(r, list.group_mask, e));
    list.groups.push_back(e);
  }
  while (!r.at_end()) {
    ListEntry e;
    EXPECT_TRUE(read_entry(r, list.contact_mask, e));
    list.contacts.push_back(e);
  }
  return list;
}

inline std::vector<std::pair<std::string, std::string>> decode_pairs(const Packet& p) {
  std::vector<std::pair<std::string, std::string>> pairs;
  Reader r(p.body);
  while (!r.at_end()) {
    std::optional<std::string> key = r.lps();
    std::optional<std::string> value = r.lps();
    if (!key || !value) break;
    pairs.emplace_back(*key, *value);
  }
  return pairs;
}

// The first UL of the packet's body (a reply's status), or 0xDEAD when there is none.
inline uint32_t status_of(const std::optional<Packet>& p) {
  return p ? Reader(p->body).ul().value_or(0xDEAD) : 0xDEAD;
}

// The body of MRIM_CS_MESSAGE; the text as it goes on the wire.
inline Bytes message(uint32_t flags, const std::string& to, const std::string& text) {
  return Writer().ul(flags).lps(to).lps(text).lps(" ").take();
}

class ServerTest : public ::testing::Test {
 protected:
  // Accounts: kim (lists amy and bob), amy (lists kim), bob (no contacts).
  virtual Settings settings() {
    Settings s;
    Account kim = make_account("kim@mail.example", "kim-pw", "Kim");
    kim.contacts.push_back(make_contact("amy@mail.example", "Amy"));
    kim.contacts.push_back(make_contact("bob@mail.example", "", 0x08));
    Account amy = make_account("amy@mail.example", "amy-pw", "Amy");
    amy.contacts.push_back(make_contact("kim@mail.example", "Kim"));
    Account bob = make_account("bob@mail.example", "bob-pw", "Bob");
    s.accounts = {kim, amy, bob};
    // Most tests look only at the replies; the tests of the notices after log-in turn them on.
    s.behavior.send_after_login = false;
    return s;
  }

  void SetUp() override {
    server = std::make_unique<Server>(settings());
    server->start();
  }
  void TearDown() override { server->stop(); }

  std::unique_ptr<Client> connect() {
    auto c = std::make_unique<Client>();
    EXPECT_TRUE(c->connect(server->mrim_port()));
    return c;
  }

  // A client logged in as the account at the revision `version`; the test fails unless the
  // log-in is acknowledged.
  std::unique_ptr<Client> logged_in(const std::string& email, const std::string& password,
                                    uint32_t status = mrim_status::online, uint32_t version = kProtoVersion) {
    LoginDetails details;
    details.status = status;
    return logged_in(email, password, details, version);
  }
  std::unique_ptr<Client> logged_in(const std::string& email, const std::string& password,
                                    const LoginDetails& details, uint32_t version) {
    auto c = connect();
    c->set_version(version);
    std::optional<Packet> reply = c->login(email, password, details);
    EXPECT_TRUE(reply && reply->code == code::login_ack) << email;
    EXPECT_TRUE(server->wait_until([&] { return server->session_of(email).has_value(); }));
    return c;
  }

  // Waits until the server has taken a packet of this code from the account's session.
  bool server_got(const std::string& email, uint32_t packet_code, size_t count = 1) {
    return server->wait_until([&] {
      size_t seen = 0;
      for (const Received& r : server->received()) {
        if (r.email == email && r.packet.code == packet_code) ++seen;
      }
      return seen >= count;
    });
  }

  bool first_session_ended() {
    std::vector<SessionInfo> all = server->sessions();
    return !all.empty() && !all.front().open;
  }

  std::unique_ptr<Server> server;
};

}  // namespace serversim::testing_support
