// Faults that end, stall or slow a whole session, as a client sees them over TCP: resets,
// dripped and stalled output, rules on the packets the server sends on its own, faults struck
// on an open session, and the server that handles only one packet per read.
#include <cerrno>
#include <functional>
#include <stdexcept>

#include "fixture.h"

namespace serversim {
namespace {

using namespace testing_support;
using SessionFaults = ServerTest;

TEST_F(SessionFaults, ResetIsAnAbortNotAnOrderlyEnd) {
  server->add_fault(FaultRule{code::hello, Fault::reset});
  auto greeting = connect();
  greeting->request(code::hello);
  ASSERT_TRUE(greeting->wait_closed());
  EXPECT_EQ(greeting->receive_error(), ECONNRESET);
  ASSERT_TRUE(server->wait_until([&] { return first_session_ended(); }));
  EXPECT_EQ(server->sessions().front().close_reason, "reset instead of replying on purpose");

  server->clear_faults();
  auto online = logged_in("kim@mail.example", "kim-pw");
  SessionId id = *server->session_of("kim@mail.example");
  ASSERT_TRUE(server->inject(id, Fault::reset));
  ASSERT_TRUE(online->wait_closed());
  EXPECT_EQ(online->receive_error(), ECONNRESET);
  ASSERT_TRUE(server->wait_until([&] { return !server->session(id)->open; }));
  EXPECT_EQ(server->session(id)->close_reason, "reset on purpose");

  // An orderly close, for contrast: no error at all.
  auto closed = logged_in("kim@mail.example", "kim-pw");
  ASSERT_TRUE(server->inject(*server->session_of("kim@mail.example"), Fault::close));
  ASSERT_TRUE(closed->wait_closed());
  EXPECT_EQ(closed->receive_error(), 0);
}

TEST_F(SessionFaults, ADrippedReplyComesWholeAndWhatFollowsWaitsBehindIt) {
  FaultRule rule{code::hello, Fault::drip};  // the default pause
  rule.times = 1;
  server->add_fault(rule);
  auto c = connect();
  Bytes two = encode(Packet{code::hello, 1, {}});
  Bytes second = encode(Packet{code::hello, 2, {}});
  two.insert(two.end(), second.begin(), second.end());
  c->send_raw(two);
  // A reply that takes about a second to drip out is not all there at the first read.
  Bytes first_read = c->read_bytes(1);
  EXPECT_LT(first_read.size(), kHeaderSize + 4);
  // The dripped reply to seq 1 comes before the plain one to seq 2, both intact.
  Bytes all = first_read;
  Bytes rest = c->read_bytes(2 * (kHeaderSize + 4) - all.size());
  all.insert(all.end(), rest.begin(), rest.end());
  Frame one = cut_frame(all.data(), all.size(), 1024);
  ASSERT_EQ(one.kind, Frame::Kind::packet);
  EXPECT_EQ(one.packet.code, code::hello_ack);
  EXPECT_EQ(one.packet.seq, 1u);
  Frame two_frame = cut_frame(all.data() + one.consumed, all.size() - one.consumed, 1024);
  ASSERT_EQ(two_frame.kind, Frame::Kind::packet);
  EXPECT_EQ(two_frame.packet.seq, 2u);
}

TEST_F(SessionFaults, AStalledSessionAnswersNothingAndStaysOpen) {
  Behavior b = server->behavior();
  b.idle_timeout = milliseconds(50);  // would end any other silent session long before the end
  server->set_behavior(b);
  server->add_fault(FaultRule{code::hello, Fault::stall});
  auto c = connect();
  c->request(code::hello);
  c->request(code::login2, Writer().lps("kim@mail.example").lps("kim-pw").ul(1).lps("t").take());
  ASSERT_TRUE(server_got("", code::login2));
  EXPECT_FALSE(c->read(milliseconds(300)));
  EXPECT_FALSE(c->peer_closed());
  SessionInfo info = server->sessions().front();
  EXPECT_TRUE(info.open);
  EXPECT_TRUE(info.stalled);
  c->close();
  ASSERT_TRUE(server->wait_until([&] { return first_session_ended(); }));
  EXPECT_EQ(server->sessions().front().close_reason, "closed by the client while stalled on purpose");
}

// Each fault once on the contact list after a log-in: the log-in's acknowledgement and the
// account information before the list are untouched.
TEST_F(SessionFaults, PushRulesSpoilTheContactListNotTheLogin) {
  Behavior b = server->behavior();
  b.send_after_login = true;
  server->set_behavior(b);
  struct Case {
    Fault fault;
    std::function<void(Client&)> check;
  };
  const Case cases[] = {
      {Fault::close_mid_packet,
       [](Client& c) {
         EXPECT_FALSE(c.read());
         EXPECT_TRUE(c.peer_closed());
       }},
      {Fault::reset,
       [](Client& c) {
         EXPECT_TRUE(c.wait_closed());
         EXPECT_EQ(c.receive_error(), ECONNRESET);
       }},
      {Fault::garbage,
       [](Client& c) {
         EXPECT_FALSE(c.read());
         EXPECT_FALSE(c.peer_closed());
       }},
      {Fault::stall,
       [](Client& c) {
         EXPECT_FALSE(c.read(milliseconds(300)));
         EXPECT_FALSE(c.peer_closed());
       }},
      {Fault::drip,
       [](Client& c) {
         std::optional<Packet> list = c.read();
         ASSERT_TRUE(list);
         EXPECT_EQ(list->code, code::contact_list2);
         EXPECT_EQ(c.read()->code, code::mailbox_status);
       }},
  };
  std::vector<std::unique_ptr<Client>> clients;  // kept, so that no session ends by its client
  for (const Case& each : cases) {
    SCOPED_TRACE(int(each.fault));
    FaultRule rule;
    rule.push = code::contact_list2;
    rule.fault = each.fault;
    rule.delay = milliseconds(1);
    rule.times = 1;
    server->add_fault(rule);
    auto c = connect();
    std::optional<Packet> ack = c->login("kim@mail.example", "kim-pw");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->code, code::login_ack);
    std::optional<Packet> info = c->read();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->code, code::user_info);
    each.check(*c);
    clients.push_back(std::move(c));
  }
  std::vector<SessionInfo> all = server->sessions();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].close_reason, "closed mid-packet on purpose");
  EXPECT_EQ(all[1].close_reason, "reset instead of sending 0x1037 on purpose");
  EXPECT_TRUE(all[3].stalled);
  EXPECT_TRUE(all[3].open);  // the next log-in of the account does not end a stalled session
}

// bob lists nobody, so nothing but the injected bytes reaches him.
TEST_F(SessionFaults, InjectStrikesAnOpenSessionAtOnce) {
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto amy = logged_in("amy@mail.example", "amy-pw");
  auto bob = logged_in("bob@mail.example", "bob-pw");
  SessionId bob_id = *server->session_of("bob@mail.example");

  FaultRule junk{0, Fault::garbage};
  junk.garbage_bytes = 30;
  ASSERT_TRUE(server->inject(bob_id, junk));
  Bytes bytes = bob->read_bytes(30);
  ASSERT_EQ(bytes.size(), 30u);
  EXPECT_NE(get_ul(bytes.data()), kMagic);
  EXPECT_TRUE(server->session(bob_id)->open);

  ASSERT_TRUE(server->inject(bob_id, Fault::close_mid_packet));
  ASSERT_TRUE(bob->wait_closed());
  Bytes half = bob->read_bytes(0);
  ASSERT_EQ(half.size(), (kHeaderSize + 4) / 2);
  EXPECT_EQ(get_ul(half.data()), kMagic);
  EXPECT_EQ(get_ul(half.data() + 12), code::mailbox_status);
  ASSERT_TRUE(server->wait_until([&] { return !server->session(bob_id)->open; }));
  EXPECT_EQ(server->session(bob_id)->close_reason, "closed mid-packet on purpose");
  EXPECT_FALSE(server->inject(bob_id, Fault::garbage));
  EXPECT_FALSE(server->inject(12345, Fault::garbage));
  EXPECT_THROW(server->inject(*server->session_of("amy@mail.example"), Fault::hold), std::invalid_argument);

  ASSERT_TRUE(server->inject(*server->session_of("amy@mail.example"), Fault::drip));
  ASSERT_TRUE(server->deliver_message("amy@mail.example", "kim@mail.example", "dripped"));
  std::optional<Packet> message = amy->read_code(code::message_ack);
  ASSERT_TRUE(message);
  EXPECT_EQ(Reader(message->body.data() + 8, message->body.size() - 8).lps(), "kim@mail.example");

  SessionId kim_id = *server->session_of("kim@mail.example");
  ASSERT_TRUE(server->inject(kim_id, Fault::stall));
  ASSERT_TRUE(server->set_unread("kim@mail.example", 3));
  EXPECT_FALSE(kim->read_code(code::mailbox_status, milliseconds(300)));
  EXPECT_FALSE(kim->peer_closed());
  EXPECT_TRUE(server->session(kim_id)->stalled);
}

TEST_F(SessionFaults, OnePacketPerReadDropsTheRestOfEachRead) {
  Bytes two = encode(Packet{code::hello, 1, {}});
  Bytes second = encode(Packet{code::hello, 2, {}});
  two.insert(two.end(), second.begin(), second.end());

  auto usual = connect();
  usual->send_raw(two);
  EXPECT_EQ(usual->read()->seq, 1u);
  EXPECT_EQ(usual->read()->seq, 2u);
  EXPECT_EQ(server->dropped_packets(), 0);

  Behavior b = server->behavior();
  b.one_packet_per_read = true;
  server->set_behavior(b);
  auto c = connect();
  c->send_raw(two);
  EXPECT_EQ(c->read()->seq, 1u);
  ASSERT_TRUE(server->wait_until([&] { return server->dropped_packets() == 1; }));
  EXPECT_FALSE(c->read(milliseconds(300)));
  EXPECT_EQ(server->sessions().back().dropped_packets, 1);
  // A packet that takes several reads is still put together.
  for (uint8_t byte : encode(Packet{code::hello, 3, {}})) c->send_raw({byte});
  EXPECT_EQ(c->read()->seq, 3u);
  EXPECT_EQ(server->dropped_packets(), 1);
}

}  // namespace
}  // namespace serversim
