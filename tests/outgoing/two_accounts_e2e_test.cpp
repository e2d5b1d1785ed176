// End to end with two accounts: messages each way with their delivery acknowledgements, typing,
// a search and an add, an authorization request granted and one refused, details fetched into
// settings, and a message to an account that is offline arriving when it logs in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/search_record.h"
#include "hostsim/dialogs.h"
#include "outgoing/two_accounts.h"
#include "protocol/online.h"
#include "resources/resource.h"
#include "serversim/client.h"

namespace {

using twoaccounts::address_of;
using twoaccounts::Handle;
using twoaccounts::kAlice;
using twoaccounts::kBob;
using twoaccounts::kWaitMs;
using twoaccounts::Setting;
using twoaccounts::TwoAccounts;
namespace code = serversim::code;

class Exchange : public TwoAccounts {
 protected:
  void configure(serversim::Settings& settings) override {
    for (serversim::Account& account : settings.accounts) {
      if (account.email != address_of(kBob)) continue;
      account.directory = {{"FirstName", "Bob"},       {"LastName", "Brown"}, {"Location", "Oslo"},
                           {"Birthday", "1985-03-09"}, {"Sex", "1"},          {"Zodiac", "12"},
                           {"Phone", "+47 555 0100"}};
    }
  }

  INT_PTR send(const std::string& module, Handle contact, const char* text) {
    ProtocolCall record{reinterpret_cast<HANDLE>(contact), "/SendMsg", 0, reinterpret_cast<LPARAM>(text)};
    return call(module, "/SendMsg", 0, reinterpret_cast<LPARAM>(&record));
  }
  bool message_acknowledged(const std::string& module, Handle contact, INT_PTR id) {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == module && ack.type == ACKTYPE_MESSAGE && ack.contact == contact &&
          ack.process == static_cast<uintptr_t>(id) && ack.result == ACKRESULT_SUCCESS &&
          ack.param_text == "Ok.")
        return true;
    return false;
  }
  bool received_text(const std::string& module, const std::string& from, const std::string& text) {
    for (const hostsim::StoredEvent& event : events_from(module, from, EVENTTYPE_MESSAGE))
      if (text_of(event) == text) return true;
    return false;
  }
  // Sends and waits for both the acknowledgement and the arrival.
  void exchange(const std::string& from, const std::string& to, const char* text) {
    Handle contact = contact_of(from, address_of(to)).value_or(0);
    if (contact == 0) contact = add_contact(from, address_of(to));
    INT_PTR id = send(from, contact, text);
    ASSERT_NE(id, 0);
    EXPECT_TRUE(host_.wait_until([&] { return message_acknowledged(from, contact, id); }, kWaitMs))
        << log(from);
    EXPECT_TRUE(host_.wait_until([&] { return received_text(to, address_of(from), text); }, kWaitMs))
        << log(to);
  }
  std::vector<hostsim::StoredEvent> auth_requests(const std::string& module, const std::string& from) {
    return events_from(module, from, EVENTTYPE_AUTHREQUEST);
  }
};

TEST_F(Exchange, MessagesEachWayAreDeliveredAndAcknowledged) {
  go_online(kAlice);
  go_online(kBob);
  exchange(kAlice, kBob, "Hello Bob");
  exchange(kBob, kAlice, "Hi Alice, got it");
  // The receipt the recipient's plug-in sends back for each message.
  EXPECT_TRUE(server_->wait_until([&] { return from(kBob, code::message_recv).size() == 1; }));
  EXPECT_TRUE(server_->wait_until([&] { return from(kAlice, code::message_recv).size() == 1; }));
}

TEST_F(Exchange, AnAnswerThatComesTwiceChangesNothingLater) {
  go_online(kAlice);
  go_online(kBob);
  exchange(kAlice, kBob, "Hello Bob");
  // A server that read the message in two goes answers it twice under one number, the second
  // time with a failure. It belongs to no request any more.
  serversim::Packet first = from(kAlice, code::message)[0];
  ASSERT_TRUE(server_->send(
      *server_->session_of(address_of(kAlice)),
      serversim::Packet{code::message_status, first.seq, serversim::Writer().ul(0x8001).take()}));
  exchange(kAlice, kBob, "Hello again");
  for (const hostsim::AckRecord& ack : host_.acks())
    EXPECT_FALSE(ack.module == kAlice && ack.type == ACKTYPE_MESSAGE && ack.result != ACKRESULT_SUCCESS);
  EXPECT_EQ(server_->sessions().size(), 2u);  // nobody had to reconnect
}

TEST_F(Exchange, APushBeforeTheLogInAnswerIsReceiptedOnlyAfterIt) {
  go_online(kBob);
  Handle alice_at_bob = add_contact(kBob, address_of(kAlice));
  // While the server asks its database, Alice's session is already hers, and ends for anything
  // she sends but a keep-alive. Bob's message lands in that window.
  serversim::Behavior strict = server_->behavior();
  strict.login_gate = true;
  strict.login_delay = std::chrono::milliseconds(3000);
  server_->set_behavior(strict);
  ASSERT_EQ(call(kAlice, "/SetStatus", ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(server_->wait_until([&] { return server_->session_of(address_of(kAlice)).has_value(); }));
  ASSERT_NE(send(kBob, alice_at_bob, "early bird"), 0);
  ASSERT_TRUE(
      host_.wait_until([&] { return received_text(kAlice, address_of(kBob), "early bird"); }, kWaitMs))
      << log(kAlice);
  ASSERT_TRUE(host_.wait_until([&] { return status_acknowledged(kAlice, ID_STATUS_ONLINE); }, kWaitMs))
      << log(kAlice);
  // The receipt went out behind the log-in's answer, on the same session.
  ASSERT_TRUE(server_->wait_until([&] { return from(kAlice, code::message_recv).size() == 1; }));
  const serversim::SessionId alice = *server_->session_of(address_of(kAlice));
  EXPECT_TRUE(server_->session(alice)->open);
  size_t alice_sessions = 0;
  for (const serversim::SessionInfo& info : server_->sessions())
    alice_sessions += info.email == address_of(kAlice);
  EXPECT_EQ(alice_sessions, 1u);
}

TEST_F(Exchange, MessagesLeaveInTheOrderTheyWereSentFromTwoThreads) {
  // A server that takes one packet per read drops what a race would put behind another.
  serversim::Behavior strict = server_->behavior();
  strict.one_packet_per_read = true;
  server_->set_behavior(strict);
  go_online(kAlice);
  Handle bob = add_contact(kAlice, address_of(kBob));
  std::mutex order_mutex;
  std::vector<std::string> made;
  auto typist = [&](const std::string& who) {
    for (int i = 0; i < 10; ++i) {
      std::lock_guard lock(order_mutex);
      std::string text = who + std::to_string(i);
      if (send(kAlice, bob, text.c_str()) != 0) made.push_back(text);
    }
  };
  std::thread first(typist, "a"), second(typist, "b");
  first.join();
  second.join();
  ASSERT_EQ(made.size(), 20u);
  ASSERT_TRUE(server_->wait_until([&] { return from(kAlice, code::message).size() == 20; },
                                  std::chrono::milliseconds(60000)));
  std::vector<std::string> arrived;
  for (const serversim::Packet& p : from(kAlice, code::message)) {
    serversim::Reader reader(p.body);
    reader.ul();
    reader.lps();
    std::string text = reader.lps().value_or("");
    std::erase(text, '\0');  // ASCII in UTF-16LE, or as it is
    arrived.push_back(text);
  }
  EXPECT_EQ(arrived, made);
  EXPECT_EQ(server_->dropped_packets(), 0);
}

TEST_F(Exchange, ALongMessageArrivesWholeInPartsAndIsAcknowledgedOnce) {
  serversim::Behavior strict = server_->behavior();
  strict.cut_long_messages = true;  // and answers "delivered" all the same
  server_->set_behavior(strict);
  go_online(kAlice);
  go_online(kBob);
  Handle bob = add_contact(kAlice, address_of(kBob));
  std::string text;
  while (text.size() < 6000) text += "word ";
  INT_PTR id = send(kAlice, bob, text.c_str());
  ASSERT_NE(id, 0);
  ASSERT_TRUE(host_.wait_until([&] { return message_acknowledged(kAlice, bob, id); }, kWaitMs))
      << log(kAlice);
  auto whole = [&] {
    std::string got;
    for (const hostsim::StoredEvent& event : events_from(kBob, address_of(kAlice), EVENTTYPE_MESSAGE)) {
      std::string part = text_of(event);
      if (!part.empty() && part.back() == '\0') part.pop_back();
      got += part;
    }
    return got;
  };
  EXPECT_TRUE(host_.wait_until([&] { return whole() == text; }, kWaitMs)) << whole().size();
  EXPECT_EQ(from(kAlice, code::message).size(), 2u);
  size_t acks = 0;
  for (const hostsim::AckRecord& ack : host_.acks())
    acks += ack.module == kAlice && ack.type == ACKTYPE_MESSAGE && ack.process == static_cast<uintptr_t>(id);
  EXPECT_EQ(acks, 1u);
}

TEST_F(Exchange, ARefusedMessageSaysWhy) {
  go_online(kAlice);
  Handle nobody = add_contact(kAlice, address_of("nobody"));
  INT_PTR id = send(kAlice, nobody, "hello?");
  ASSERT_NE(id, 0);
  auto failure = [&]() -> std::optional<std::string> {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == kAlice && ack.type == ACKTYPE_MESSAGE && ack.process == static_cast<uintptr_t>(id) &&
          ack.result == ACKRESULT_FAILED)
        return ack.param_text;
    return std::nullopt;
  };
  ASSERT_TRUE(host_.wait_until([&] { return failure().has_value(); }, kWaitMs)) << log(kAlice);
  EXPECT_EQ(*failure(), "There is no such user.");
}

TEST_F(Exchange, TypingReachesTheOtherAccount) {
  go_online(kAlice);
  go_online(kBob);
  // Bob knows Alice from a message, so the typing display has a contact to show on.
  exchange(kAlice, kBob, "are you there?");
  Handle alice_at_bob = contact_of(kBob, address_of(kAlice)).value();
  Handle bob_at_alice = contact_of(kAlice, address_of(kBob)).value();
  EXPECT_EQ(call(kAlice, "/UserIsTyping", bob_at_alice, 1), 0);
  EXPECT_TRUE(host_.wait_until(
      [&] {
        auto typing = host_.typing();
        return std::any_of(typing.begin(), typing.end(), [&](const hostsim::TypingRecord& r) {
          return r.contact == alice_at_bob && r.seconds == 11;
        });
      },
      kWaitMs));
  ASSERT_TRUE(server_->wait_until([&] { return from(kAlice, code::message).size() == 2; }));
  serversim::Packet notice = from(kAlice, code::message)[1];
  serversim::Reader reader(notice.body);
  EXPECT_EQ(reader.ul(), 0x404u);
  EXPECT_EQ(reader.lps(), address_of(kBob));
}

TEST_F(Exchange, ALookupRepeatedAtOnceStillFindsTheUser) {
  go_online(kAlice);
  // A server that pages repeated queries answers every second identical one with the page
  // after the only row.
  for (int round = 0; round < 2; ++round) {
    INT_PTR search = call(kAlice, "/SearchByEmail", 0, reinterpret_cast<LPARAM>(address_of(kBob).c_str()));
    ASSERT_NE(search, 0);
    auto result_of = [&](int result) {
      for (const hostsim::AckRecord& ack : host_.acks())
        if (ack.module == kAlice && ack.type == ACKTYPE_SEARCH &&
            ack.process == static_cast<uintptr_t>(search) && ack.result == result)
          return std::optional<hostsim::AckRecord>(ack);
      return std::optional<hostsim::AckRecord>();
    };
    ASSERT_TRUE(host_.wait_until([&] { return result_of(ACKRESULT_SUCCESS).has_value(); }, kWaitMs))
        << log(kAlice);
    ASSERT_TRUE(result_of(ACKRESULT_DATA).has_value()) << "round " << round;
    EXPECT_EQ(result_of(ACKRESULT_DATA)->search_email, address_of(kBob));
  }
}

TEST_F(Exchange, AfterADeletionTheAccountStillShowsOnline) {
  serversim::Account alice = *server_->account(address_of(kAlice));
  alice.contacts.push_back(serversim::Contact{address_of("carol"), 0, 0, 0, "Carol"});
  server_->add_account(alice);
  serversim::Account bob = *server_->account(address_of(kBob));
  bob.contacts.push_back(serversim::Contact{address_of(kAlice), 0, 0, 0, "Alice"});
  server_->add_account(bob);
  go_online(kBob);
  go_online(kAlice);
  auto alice_shows = [&](WORD status) {
    std::optional<Handle> at_bob = contact_of(kBob, address_of(kAlice));
    return at_bob && host_.profile().setting(*at_bob, kBob, "Status") == Setting::word(status);
  };
  ASSERT_TRUE(host_.wait_until([&] { return alice_shows(ID_STATUS_ONLINE); }, kWaitMs)) << log(kBob);
  // Numbered by the list: only a contact on the server's list is deleted there.
  auto numbered = [&] {
    std::optional<Handle> c = contact_of(kAlice, address_of("carol"));
    return c && host_.profile().setting(*c, kAlice, "Number") == Setting::dword(20);
  };
  ASSERT_TRUE(host_.wait_until(numbered, kWaitMs)) << log(kAlice);
  std::optional<Handle> carol = contact_of(kAlice, address_of("carol"));
  const size_t announced = from(kAlice, code::change_status).size();
  ASSERT_TRUE(host_.delete_contact(*carol));
  // A server may take the deletion as Alice's going offline; her status goes out again. An
  // unanswered deletion costs a time-out and a look at the connection first.
  ASSERT_TRUE(server_->wait_until([&] { return from(kAlice, code::change_status).size() > announced; },
                                  std::chrono::milliseconds(60000)));
  EXPECT_TRUE(host_.wait_until([&] { return alice_shows(ID_STATUS_ONLINE); }, kWaitMs)) << log(kBob);
}

TEST_F(Exchange, SearchAddAndAuthorizationGranted) {
  go_online(kAlice);
  go_online(kBob);
  INT_PTR search = call(kAlice, "/SearchByEmail", 0, reinterpret_cast<LPARAM>(address_of(kBob).c_str()));
  ASSERT_NE(search, 0);
  auto search_acks = [&] {
    std::vector<hostsim::AckRecord> found;
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == kAlice && ack.type == ACKTYPE_SEARCH && ack.process == static_cast<uintptr_t>(search))
        found.push_back(ack);
    return found;
  };
  ASSERT_TRUE(host_.wait_until([&] { return search_acks().size() == 2; }, kWaitMs)) << log(kAlice);
  EXPECT_EQ(search_acks()[0].result, ACKRESULT_DATA);
  EXPECT_EQ(search_acks()[0].search_email, address_of(kBob));
  EXPECT_EQ(search_acks()[1].result, ACKRESULT_SUCCESS);
  EXPECT_EQ(search_acks()[1].param_text, "Ok.");

  std::string bob = address_of(kBob);
  SearchResult hit{};
  hit.size = sizeof hit;
  hit.nick = bob.data();
  hit.email = bob.data();
  auto contact = static_cast<Handle>(call(kAlice, "/AddToList", 0, reinterpret_cast<LPARAM>(&hit)));
  ASSERT_NE(contact, 0u);
  EXPECT_EQ(host_.profile().setting(contact, "CList", "NotOnList"), Setting::byte(0));
  // Some servers answer an add with number 0: the place is known from the next list only.
  const uint32_t first_number = server_->behavior().add_ack_id_zero ? 0 : 20;
  EXPECT_EQ(host_.profile().setting(contact, kAlice, "Number"), Setting::dword(first_number));
  auto listed = server_->account(address_of(kAlice))->contacts;
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].email, bob);

  // The add asked Bob for authorization; Bob grants it.
  ASSERT_TRUE(host_.wait_until([&] { return auth_requests(kBob, address_of(kAlice)).size() == 1; }, kWaitMs))
      << log(kBob);
  Handle request = auth_requests(kBob, address_of(kAlice))[0].handle;
  Handle alice_at_bob = contact_of(kBob, address_of(kAlice)).value();
  EXPECT_EQ(host_.profile().setting(alice_at_bob, "CList", "NotOnList"), Setting::byte(1));
  EXPECT_EQ(call(kBob, "/Authorize", request, 0), 0);
  EXPECT_EQ(host_.profile().setting(alice_at_bob, "CList", "NotOnList"), Setting::byte(0));
  EXPECT_EQ(host_.profile().setting(alice_at_bob, kBob, "Number"), Setting::dword(first_number));
  ASSERT_TRUE(server_->wait_until([&] { return from(kBob, code::authorize).size() == 1; }));
  serversim::Packet grant = from(kBob, code::authorize)[0];
  EXPECT_EQ(serversim::Reader(grant.body).lps(), address_of(kAlice));
  EXPECT_EQ(server_->account(address_of(kBob))->contacts.at(0).email, address_of(kAlice));

  // The server's word on the grant: to Alice as "Bob authorized you", or, as a widely used one
  // does, to Bob as the acknowledgement of his grant with Alice's status behind it. Only the
  // first is news to a user.
  auto granted = [&](const std::string& module) {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == module && ack.type == ACKTYPE_AUTHREQ && ack.result == ACKRESULT_SUCCESS) return true;
    return false;
  };
  if (!server_->behavior().grant_ack_to_authorizer) {
    ASSERT_TRUE(host_.wait_until([&] { return granted(kAlice); }, kWaitMs)) << log(kAlice);
    EXPECT_EQ(host_.profile().setting(contact, kAlice, "AuthPending"), Setting::byte(0));
  } else {
    ASSERT_TRUE(host_.wait_until(
        [&] {
          return host_.profile().setting(alice_at_bob, kBob, "Status") == Setting::word(ID_STATUS_ONLINE);
        },
        kWaitMs))
        << log(kBob);
    EXPECT_EQ(host_.profile().setting(contact, kAlice, "AuthPending"), Setting::byte(1));
  }
  EXPECT_FALSE(granted(kBob));
}

TEST_F(Exchange, AnAuthorizationRequestCarriesTheAskersText) {
  go_online(kAlice);
  go_online(kBob);
  Handle bob = add_contact(kAlice, address_of(kBob));
  const char* text = "Hi Bob, it's Alice from work";
  ProtocolCall request{reinterpret_cast<HANDLE>(bob), "/AuthRequest", 0, reinterpret_cast<LPARAM>(text)};
  EXPECT_EQ(call(kAlice, "/AuthRequest", 0, reinterpret_cast<LPARAM>(&request)), 0);
  EXPECT_EQ(server_->account(address_of(kAlice))->contacts.size(), 1u);
  ASSERT_TRUE(host_.wait_until([&] { return auth_requests(kBob, address_of(kAlice)).size() == 1; }, kWaitMs))
      << log(kBob);
  // The blob ends with the reason and its NUL.
  const std::vector<BYTE> blob = auth_requests(kBob, address_of(kAlice))[0].blob;
  ASSERT_GT(blob.size(), strlen(text) + 1);
  std::string tail(blob.end() - static_cast<ptrdiff_t>(strlen(text)) - 1, blob.end() - 1);
  EXPECT_EQ(tail, text);
}

TEST_F(Exchange, AuthorizationRefused) {
  go_online(kBob);
  // Carol, on another client, adds Bob; the server asks Bob for authorization.
  serversim::Client carol;
  ASSERT_TRUE(carol.connect(server_->mrim_port()));
  ASSERT_TRUE(carol.hello());
  ASSERT_TRUE(carol.login(address_of("carol"), twoaccounts::password_of("carol")));
  uint32_t seq = carol.request(code::add_contact,
                               serversim::Writer().ul(0).ul(0).lps(address_of(kBob)).lps("Bob").ul(0).take());
  ASSERT_TRUE(carol.read_reply(seq));

  ASSERT_TRUE(
      host_.wait_until([&] { return auth_requests(kBob, address_of("carol")).size() == 1; }, kWaitMs));
  Handle request = auth_requests(kBob, address_of("carol"))[0].handle;
  EXPECT_EQ(call(kBob, "/AuthDeny", request, 0), 0);
  Handle carol_at_bob = contact_of(kBob, address_of("carol")).value();
  EXPECT_EQ(host_.profile().setting(carol_at_bob, "CList", "NotOnList"), Setting::byte(1));
  // Nothing went to the server: a typing notice Bob sends afterwards arrives with nothing before it.
  EXPECT_EQ(call(kBob, "/UserIsTyping", carol_at_bob, 1), 0);
  ASSERT_TRUE(server_->wait_until([&] { return from(kBob, code::message).size() == 1; }));
  EXPECT_TRUE(from(kBob, code::authorize).empty());
  EXPECT_TRUE(from(kBob, code::add_contact).empty());
}

TEST_F(Exchange, DetailsAreFetchedIntoSettings) {
  go_online(kAlice);
  Handle bob = add_contact(kAlice, address_of(kBob));
  ProtocolCall call_record{reinterpret_cast<HANDLE>(bob), "/GetInfo", 0, 0};
  EXPECT_EQ(call(kAlice, "/GetInfo", 0, reinterpret_cast<LPARAM>(&call_record)), 0);
  auto text = [&](const char* name) { return host_.profile().setting(bob, kAlice, name); };
  EXPECT_EQ(text("e-mail"), Setting::string(address_of(kBob)));
  EXPECT_EQ(text("Nick"), Setting::string("bob"));
  EXPECT_EQ(text("FirstName"), Setting::string("Bob"));
  EXPECT_EQ(text("LastName"), Setting::string("Brown"));
  EXPECT_EQ(text("Location"), Setting::string("Oslo"));
  EXPECT_EQ(text("Phone"), Setting::string("+47 555 0100"));
  EXPECT_EQ(text("Zodiac"), Setting::string("12"));
  EXPECT_EQ(text("BirthYear"), Setting::word(1985));
  EXPECT_EQ(text("BirthMonth"), Setting::byte(3));
  EXPECT_EQ(text("BirthDay"), Setting::byte(9));
  EXPECT_EQ(text("Gender"), Setting::byte(77));
  auto acks = host_.acks();
  auto details = std::find_if(acks.begin(), acks.end(),
                              [](const hostsim::AckRecord& a) { return a.type == ACKTYPE_GETINFO; });
  ASSERT_NE(details, acks.end());
  EXPECT_EQ(details->result, ACKRESULT_SUCCESS);
  EXPECT_EQ(details->contact, bob);

  // An address the directory does not know: the failure acknowledgement.
  Handle nobody = add_contact(kAlice, "nobody@mail.example");
  call_record.contact = reinterpret_cast<HANDLE>(nobody);
  EXPECT_EQ(call(kAlice, "/GetInfo", 0, reinterpret_cast<LPARAM>(&call_record)), 0);
  acks = host_.acks();
  EXPECT_TRUE(std::any_of(acks.begin(), acks.end(), [&](const hostsim::AckRecord& a) {
    return a.type == ACKTYPE_GETINFO && a.contact == nobody && a.result == ACKRESULT_FAILED;
  }));
}

TEST_F(Exchange, MessageToAnOfflineAccountArrivesWhenItLogsIn) {
  go_online(kAlice);
  Handle bob = add_contact(kAlice, address_of(kBob));
  INT_PTR id = send(kAlice, bob, "while you were away");
  ASSERT_NE(id, 0);
  // The server stores it and reports it delivered.
  EXPECT_TRUE(host_.wait_until([&] { return message_acknowledged(kAlice, bob, id); }, kWaitMs))
      << log(kAlice);
  go_online(kBob);
  EXPECT_TRUE(host_.wait_until([&] { return received_text(kBob, address_of(kAlice), "while you were away"); },
                               kWaitMs))
      << log(kBob);
  ASSERT_TRUE(server_->wait_until([&] { return server_->account(address_of(kBob))->offline.empty(); }))
      << "the stored message is deleted once delivered";
}

// Bob's server list names Alice "Ally": once the list is loaded that is her list name, and the
// menu's authorization must still reach her address.
class NamedContact : public TwoAccounts {
 protected:
  void configure(serversim::Settings& settings) override {
    for (serversim::Account& account : settings.accounts)
      if (account.email == address_of(kBob))
        account.contacts.push_back({address_of(kAlice), 0, 0, 0, "Ally"});
  }
};

TEST_F(NamedContact, AuthorizationFromTheMenuGoesToTheAddress) {
  go_online(kBob);
  std::optional<Handle> alice;
  ASSERT_TRUE(host_.wait_until(
      [&] {
        alice = contact_of(kBob, address_of(kAlice));
        return alice && host_.profile().setting(*alice, "CList", "MyHandle") == Setting::string("Ally");
      },
      kWaitMs))
      << log(kBob);
  EXPECT_EQ(call(kBob, "/ReqAuth", *alice, 0), 0);
  ASSERT_TRUE(server_->wait_until([&] { return from(kBob, code::authorize).size() == 1; }));
  EXPECT_EQ(serversim::Reader(from(kBob, code::authorize)[0].body).lps(), address_of(kAlice));
  ASSERT_EQ(from(kBob, code::add_contact).size(), 1u);
  serversim::Packet request = from(kBob, code::add_contact)[0];
  serversim::Reader add(request.body);
  add.ul();
  add.ul();
  EXPECT_EQ(add.lps(), address_of(kAlice));
}

// Both sessions inside TLS: the same exchange, each side pinning the server's certificate on first
// use and telling the host which one it is. The split and coalescing runs of this suite cut the
// server's records across reads and put several of them in one.
class Encrypted : public Exchange {
 protected:
  void configure(serversim::Settings& settings) override {
    Exchange::configure(settings);
    settings.behavior.tls = true;
  }
  std::string security(const std::string& module, INT_PTR* secure) {
    char line[256] = "";
    *secure = call(module, "/ConnectionSecurity", sizeof line, reinterpret_cast<LPARAM>(line));
    return line;
  }
};

TEST_F(Encrypted, MessagesEachWayTravelInsideTls) {
  go_online(kAlice);
  go_online(kBob);
  const std::string fingerprint = server_->certificate_sha256();
  for (const std::string& module : {kAlice, kBob}) {
    EXPECT_TRUE(server_->session(*server_->session_of(address_of(module)))->encrypted);
    INT_PTR secure = 0;
    EXPECT_NE(security(module, &secure).find(fingerprint), std::string::npos);
    EXPECT_EQ(secure, 1);
    EXPECT_EQ(host_.profile().setting(0, module, "CertificatePin"), Setting::string(fingerprint));
  }
  exchange(kAlice, kBob, "Hello Bob, this went inside TLS");
  exchange(kBob, kAlice, "Hi Alice, got it");
  EXPECT_TRUE(server_->wait_until([&] { return from(kBob, code::message_recv).size() == 1; }));
}

}  // namespace

namespace {

// Alice and Bob on each other's lists, Bob with a directory entry.
class Directory : public Exchange {
 protected:
  void configure(serversim::Settings& settings) override {
    Exchange::configure(settings);
    for (serversim::Account& account : settings.accounts) {
      if (account.email == address_of(kAlice)) account.contacts.push_back({address_of(kBob), 0, 0, 0, "Bob"});
      if (account.email == address_of(kBob))
        account.contacts.push_back({address_of(kAlice), 0, 0, 0, "Alice"});
    }
  }
  std::string setting_text(const std::string& module, Handle contact, const char* name) {
    auto value = host_.profile().setting(contact, module, name);
    return value ? value->text : "";
  }
  std::optional<hostsim::AckRecord> ack_of(const std::string& module, int type, INT_PTR process, int result) {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == module && ack.type == type && ack.process == static_cast<uintptr_t>(process) &&
          ack.result == result)
        return ack;
    return std::nullopt;
  }
};

TEST_F(Directory, AwayMessagesClientsAndAnAdvancedSearchReachTheOtherAccount) {
  go_online(kAlice);
  go_online(kBob);
  // Bob sets his away message as the host does; Alice sees it and his client, and reads it.
  ASSERT_EQ(call(kBob, "/SetAwayMsg", ID_STATUS_ONLINE, reinterpret_cast<LPARAM>("At lunch\r\nBack at two")),
            0);
  Handle bob = contact_of(kAlice, address_of(kBob)).value();
  ASSERT_TRUE(
      host_.wait_until([&] { return setting_text(kAlice, bob, "StatusDesc") == "Back at two"; }, kWaitMs))
      << log(kAlice);
  EXPECT_EQ(setting_text(kAlice, bob, "StatusTitle"), "At lunch");
  EXPECT_EQ(setting_text(kAlice, bob, "MirVer").rfind(MRIM_CLIENT_NAME " ", 0), 0u)
      << setting_text(kAlice, bob, "MirVer");
  ProtocolCall request{reinterpret_cast<HANDLE>(bob), "/GetAwayMsg", 0, 0};
  INT_PTR asked = call(kAlice, "/GetAwayMsg", 0, reinterpret_cast<LPARAM>(&request));
  ASSERT_NE(asked, 0);
  ASSERT_TRUE(host_.wait_until(
      [&] { return ack_of(kAlice, ACKTYPE_AWAYMSG, asked, ACKRESULT_SUCCESS).has_value(); }, kWaitMs));
  EXPECT_EQ(ack_of(kAlice, ACKTYPE_AWAYMSG, asked, ACKRESULT_SUCCESS)->param_text, "At lunch\r\nBack at two");

  // The host's find window with the advanced page: by first name, city and online now.
  auto find = [&](const std::string& city) {
    hostsim::SearchWindow window(host_, kAlice);
    EXPECT_NE(window.page(), nullptr);
    if (window.page() == nullptr) return std::vector<hostsim::AckRecord>{};
    window.page()->type(IDC_ADV_FIRST_NAME, "Bob");
    window.page()->type(IDC_ADV_CITY, city);
    window.page()->type(IDC_ADV_AGE_FROM, "30");
    window.page()->click(IDC_ADV_ONLINE);
    INT_PTR search = window.search();
    EXPECT_TRUE(host_.wait_until(
        [&] { return ack_of(kAlice, ACKTYPE_SEARCH, search, ACKRESULT_SUCCESS).has_value(); }, kWaitMs));
    std::vector<hostsim::AckRecord> hits;
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.type == ACKTYPE_SEARCH && ack.process == static_cast<uintptr_t>(search) &&
          ack.result == ACKRESULT_DATA)
        hits.push_back(ack);
    return hits;
  };
  std::vector<hostsim::AckRecord> hits = find("Oslo");
  ASSERT_EQ(hits.size(), 1u) << log(kAlice);
  EXPECT_EQ(hits[0].search_email, address_of(kBob));
  EXPECT_EQ(hits[0].search_first_name, "Bob");
  MrimSearchResult record{};
  ASSERT_EQ(hits[0].search_record.size(), sizeof record);
  memcpy(&record, hits[0].search_record.data(), sizeof record);
  EXPECT_STREQ(record.city, "Oslo");
  EXPECT_GE(record.age, 41u);
  EXPECT_EQ(record.status, static_cast<DWORD>(ID_STATUS_ONLINE));
  EXPECT_TRUE(find("Bergen").empty());
}

TEST_F(Directory, AnIgnoredContactsMessagesAreReceiptedAndDroppedAndItsPresenceHidden) {
  go_online(kAlice);
  go_online(kBob);
  Handle bob = contact_of(kAlice, address_of(kBob)).value();
  ASSERT_TRUE(host_.wait_until(
      [&] { return host_.profile().setting(bob, kAlice, "Status") == Setting::word(ID_STATUS_ONLINE); },
      kWaitMs));
  auto flags_on_server = [&] {
    std::optional<serversim::Account> alice = server_->account(address_of(kAlice));
    return alice && !alice->contacts.empty() ? alice->contacts[0].flags : 0xFFFFFFFFu;
  };
  // The host's ignore list: all of Bob's events.
  host_.write_setting(bob, "Ignore", "Mask1", Setting::dword(0xFFFF));
  EXPECT_EQ(flags_on_server() & 0x10, 0x10u);
  EXPECT_EQ(host_.profile().setting(bob, kAlice, "Status"), Setting::word(ID_STATUS_OFFLINE));
  Handle alice = contact_of(kBob, address_of(kAlice)).value();
  INT_PTR id = send(kBob, alice, "you cannot hear me");
  ASSERT_TRUE(host_.wait_until([&] { return message_acknowledged(kBob, alice, id); }, kWaitMs)) << log(kBob);
  ASSERT_TRUE(server_->wait_until([&] { return from(kAlice, code::message_recv).size() == 1; }));
  EXPECT_TRUE(events_from(kAlice, address_of(kBob), EVENTTYPE_MESSAGE).empty());
  // No longer ignored: the flag goes, and messages arrive.
  host_.write_setting(bob, "Ignore", "Mask1", Setting::dword(0));
  EXPECT_EQ(flags_on_server() & 0x10, 0u);
  exchange(kBob, kAlice, "and now?");
}

TEST_F(Directory, ContactsSentArriveAsTheHostsContactsEvent) {
  go_online(kAlice);
  go_online(kBob);
  Handle bob = contact_of(kAlice, address_of(kBob)).value();
  Handle carol = add_contact(kAlice, "carol@mail.example");
  host_.profile().write_setting(carol, "CList", "MyHandle", Setting::string("Carol; from work"));
  HANDLE sent[] = {reinterpret_cast<HANDLE>(carol), reinterpret_cast<HANDLE>(bob)};
  ProtocolCall request{reinterpret_cast<HANDLE>(bob), "/SendContacts", MAKEWPARAM(0, 2),
                       reinterpret_cast<LPARAM>(sent)};
  INT_PTR id = call(kAlice, "/SendContacts", 0, reinterpret_cast<LPARAM>(&request));
  ASSERT_NE(id, 0);
  ASSERT_TRUE(host_.wait_until(
      [&] { return ack_of(kAlice, ACKTYPE_CONTACTS, id, ACKRESULT_SUCCESS).has_value(); }, kWaitMs))
      << log(kAlice);
  std::vector<hostsim::StoredEvent> got;
  ASSERT_TRUE(host_.wait_until(
      [&] { return !(got = events_from(kBob, address_of(kAlice), EVENTTYPE_CONTACTS)).empty(); }, kWaitMs))
      << log(kBob);
  // A ';' in a nickname would split the pair: it travels as ','.
  const std::string expected("Carol, from work\0carol@mail.example\0Bob\0bob@mail.example\0", 57);
  EXPECT_EQ(std::string(got[0].blob.begin(), got[0].blob.end()), expected);
  EXPECT_TRUE(events_from(kBob, address_of(kAlice), EVENTTYPE_MESSAGE).empty());
  // Nothing of this account to send: nothing is sent.
  HANDLE none[] = {nullptr};
  ProtocolCall empty{reinterpret_cast<HANDLE>(bob), "/SendContacts", MAKEWPARAM(0, 1),
                     reinterpret_cast<LPARAM>(none)};
  EXPECT_EQ(call(kAlice, "/SendContacts", 0, reinterpret_cast<LPARAM>(&empty)), 0);
}

}  // namespace
