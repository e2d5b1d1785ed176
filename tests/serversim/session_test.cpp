// The address service and the life of an MRIM session: hello, log-in, status, keep-alive, a
// second log-in of the same account, and the end of a session.
#include <atomic>
#include <thread>

#include "fixture.h"

namespace serversim {
namespace {

using namespace testing_support;

using AddressService = ServerTest;

TEST_F(AddressService, AnswersTheMrimServiceAddressAndCloses) {
  Client c;
  ASSERT_TRUE(c.connect(server->address_port()));
  EXPECT_EQ(c.read_all(), "127.0.0.1:" + std::to_string(server->mrim_port()) + "\r\n");
  EXPECT_TRUE(c.peer_closed());
  EXPECT_EQ(server->address_queries(), 1);
}

TEST_F(AddressService, AnswersAConfiguredText) {
  for (const std::string text : {"A:2041\r\n", "mrim.example:443\r\n", "\x01\x02garbage without colon"}) {
    Behavior b = server->behavior();
    b.address_reply = text;
    server->set_behavior(b);
    Client c;
    ASSERT_TRUE(c.connect(server->address_port()));
    EXPECT_EQ(c.read_all(), text);
  }
}

TEST_F(AddressService, CanCloseWithoutAWordOrHoldTheConnection) {
  Behavior b = server->behavior();
  b.address_mode = AddressMode::close;
  server->set_behavior(b);
  Client closed;
  ASSERT_TRUE(closed.connect(server->address_port()));
  EXPECT_EQ(closed.read_all(), "");
  EXPECT_TRUE(closed.peer_closed());

  b.address_mode = AddressMode::hold;
  server->set_behavior(b);
  Client held;
  ASSERT_TRUE(held.connect(server->address_port()));
  ASSERT_TRUE(server->wait_until([&] { return server->address_queries() == 2; }));
  EXPECT_EQ(held.read_bytes(1, milliseconds(200)), Bytes{});
  EXPECT_FALSE(held.peer_closed());
}

using Session = ServerTest;

TEST_F(Session, HelloIsAnsweredWithThePingPeriodUnderItsOwnNumber) {
  Behavior b = server->behavior();
  b.ping_period = 45;
  server->set_behavior(b);
  auto c = connect();
  uint32_t seq = c->request(code::hello);
  std::optional<Packet> ack = c->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::hello_ack);
  EXPECT_EQ(ack->seq, seq);
  EXPECT_EQ(ack->body, Writer().ul(45).take());
}

TEST_F(Session, HelloCanBeAnsweredWithSequenceZero) {
  Behavior b = server->behavior();
  b.hello_ack_zero_seq = true;
  server->set_behavior(b);
  auto c = connect();
  c->request(code::hello);
  c->request(code::hello);
  std::optional<Packet> ack = c->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::hello_ack);
  EXPECT_EQ(ack->seq, 0u);
}

TEST_F(Session, LoginIsAcknowledgedAndTheSessionCarriesAccountStatusAndClient) {
  auto c = connect();
  ASSERT_TRUE(c->hello());
  uint32_t seq =
      c->request(code::login2, Writer().lps("kim@mail.example").lps("kim-pw").ul(2).lps("Test 1.0").take());
  std::optional<Packet> ack = c->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  EXPECT_EQ(ack->seq, seq);
  EXPECT_TRUE(ack->body.empty());

  std::optional<SessionId> id = server->session_of("kim@mail.example");
  ASSERT_TRUE(id);
  std::optional<SessionInfo> info = server->session(*id);
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->open);
  EXPECT_TRUE(info->logged_in);
  EXPECT_EQ(info->status, mrim_status::away);
  EXPECT_EQ(info->client, "Test 1.0");
  EXPECT_EQ(info->version, revision::v1_8);  // the header's, which Client writes by default
}

TEST_F(Session, LoginIsRejectedForAWrongPasswordAnUnknownAccountOrAShortBody) {
  struct Case {
    Bytes body;
    const char* reason;
  } cases[] = {
      {Writer().lps("kim@mail.example").lps("wrong").ul(1).lps("t").take(), "Invalid login"},
      {Writer().lps("nobody@mail.example").lps("kim-pw").ul(1).lps("t").take(), "Invalid login"},
      {Writer().lps("kim@mail.example").lps("kim-pw").take(), "Invalid request"},
      {Bytes{}, "Invalid request"},
  };
  for (const Case& k : cases) {
    auto c = connect();
    uint32_t seq = c->request(code::login2, k.body);
    std::optional<Packet> rej = c->read();
    ASSERT_TRUE(rej);
    EXPECT_EQ(rej->code, code::login_rej);
    EXPECT_EQ(rej->seq, seq);
    EXPECT_EQ(rej->body, Writer().lps(k.reason).take());
  }
  EXPECT_FALSE(server->session_of("kim@mail.example"));
}

TEST_F(Session, ASecondLoginOnTheSameConnectionIsRejected) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  std::optional<Packet> again = c->read_reply(
      c->request(code::login2, Writer().lps("amy@mail.example").lps("amy-pw").ul(1).lps("t").take()));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->code, code::login_rej);
  EXPECT_EQ(server->session(*server->session_of("kim@mail.example"))->email, "kim@mail.example");
}

TEST_F(Session, ChangeStatusUpdatesTheSession) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  SessionId id = *server->session_of("kim@mail.example");
  for (uint32_t status : {mrim_status::away, mrim_status::invisible, mrim_status::online}) {
    c->request(code::change_status, Writer().ul(status).take());
    EXPECT_TRUE(server->wait_until([&] { return server->session(id)->status == status; })) << status;
  }
  // A short body changes nothing.
  c->request(code::change_status, {1, 2});
  c->request(code::ping);
  ASSERT_TRUE(server_got("kim@mail.example", code::ping));
  EXPECT_EQ(server->session(id)->status, mrim_status::online);
}

TEST_F(Session, EveryPacketIsRecordedInOrder) {
  auto c = connect();
  c->send(Packet{code::hello, 5, {}});
  c->send(Packet{0x1234, 6, {9, 8, 7}});
  c->send(Packet{code::ping, 7, {}});
  ASSERT_TRUE(server->wait_until([&] { return server->received().size() == 3; }));
  SessionId id = server->received().front().session;
  std::vector<Packet> packets = server->received(id);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0], (Packet{code::hello, 5, {}}));
  EXPECT_EQ(packets[1], (Packet{0x1234, 6, {9, 8, 7}}));
  EXPECT_EQ(packets[2], (Packet{code::ping, 7, {}}));
}

TEST_F(Session, ASecondLoginLogsTheFirstSessionOut) {
  auto first = logged_in("kim@mail.example", "kim-pw");
  SessionId first_id = *server->session_of("kim@mail.example");
  auto second = logged_in("kim@mail.example", "kim-pw", mrim_status::away);

  std::optional<Packet> logout = first->read_code(code::logout);
  ASSERT_TRUE(logout);
  EXPECT_EQ(logout->body, Writer().ul(kLogoutReasonOtherLogin).take());
  EXPECT_TRUE(first->wait_closed());
  ASSERT_TRUE(server->wait_until([&] { return !server->session(first_id)->open; }));
  EXPECT_EQ(server->session(first_id)->close_reason, "logged in elsewhere");

  SessionId second_id = *server->session_of("kim@mail.example");
  EXPECT_NE(second_id, first_id);
  EXPECT_EQ(server->session(second_id)->status, mrim_status::away);
  // The second session goes on working.
  EXPECT_TRUE(second->hello());
}

TEST_F(Session, ASilentSessionIsDroppedWhileAPingingOneStays) {
  Behavior b = server->behavior();
  b.idle_timeout = milliseconds(1500);
  server->set_behavior(b);
  auto silent = logged_in("kim@mail.example", "kim-pw");
  SessionId silent_id = *server->session_of("kim@mail.example");
  auto pinging = logged_in("amy@mail.example", "amy-pw");
  SessionId pinging_id = *server->session_of("amy@mail.example");

  std::atomic<bool> done{false};
  std::thread pinger([&] {
    while (!done) {
      pinging->request(code::ping);
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  bool dropped = server->wait_until([&] { return !server->session(silent_id)->open; });
  done = true;
  pinger.join();
  ASSERT_TRUE(dropped);
  EXPECT_EQ(server->session(silent_id)->close_reason, "idle");
  EXPECT_TRUE(silent->wait_closed());
  EXPECT_TRUE(server->session(pinging_id)->open);
}

TEST_F(Session, TheIdleLimitIsPingPeriodsUnlessOverridden) {
  Behavior b = server->behavior();
  b.ping_period = 1;
  b.idle_periods = 1;
  server->set_behavior(b);
  auto c = logged_in("kim@mail.example", "kim-pw");
  SessionId id = *server->session_of("kim@mail.example");
  ASSERT_TRUE(server->wait_until([&] { return !server->session(id)->open; }));
  EXPECT_EQ(server->session(id)->close_reason, "idle");
}

TEST_F(Session, ClientCloseAndServerCloseEndTheSession) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  SessionId id = *server->session_of("kim@mail.example");
  c->close();
  ASSERT_TRUE(server->wait_until([&] { return !server->session(id)->open; }));
  EXPECT_EQ(server->session(id)->close_reason, "closed by the client");
  EXPECT_FALSE(server->session_of("kim@mail.example"));

  auto d = logged_in("kim@mail.example", "kim-pw");
  id = *server->session_of("kim@mail.example");
  EXPECT_TRUE(server->close_session(id));
  EXPECT_FALSE(server->session(id)->open);
  EXPECT_TRUE(d->wait_closed());
  EXPECT_FALSE(server->close_session(id));
}

TEST_F(Session, ManySessionsAtOnce) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 20; ++i) clients.push_back(connect());
  for (auto& c : clients) c->request(code::hello);
  for (auto& c : clients) {
    std::optional<Packet> ack = c->read();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->code, code::hello_ack);
  }
  EXPECT_EQ(server->sessions().size(), 20u);
}

TEST_F(Session, StopClosesEverySessionAndCanBeRepeated) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  server->stop();
  EXPECT_TRUE(c->wait_closed());
  for (const SessionInfo& s : server->sessions()) EXPECT_FALSE(s.open);
  server->stop();
}

TEST(ServerStart, ReportsAnAddressItCannotBind) {
  Server first;
  first.start();
  Settings s;
  s.mrim_listen = "127.0.0.1:" + std::to_string(first.mrim_port());
  Server second(s);
  EXPECT_THROW(second.start(), std::runtime_error);
  Settings bad;
  bad.address_listen = "nowhere";
  EXPECT_THROW(Server(bad).start(), std::runtime_error);
  bad.address_listen = "no.such.host.invalid:1";
  EXPECT_THROW(Server(bad).start(), std::runtime_error);
}

}  // namespace
}  // namespace serversim
