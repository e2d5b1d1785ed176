// The server's misbehaviour on purpose (held, late, wrong, garbled, cut and refused replies),
// and its own robustness against clients that send partial, oversized or meaningless bytes.
#include <random>

#include "fixture.h"

namespace serversim {
namespace {

using namespace testing_support;
using Faults = ServerTest;

TEST_F(Faults, HeldRepliesComeOnlyWhenReleased) {
  server->add_fault(FaultRule{code::hello, Fault::hold});
  auto c = connect();
  uint32_t seq = c->request(code::hello);
  ASSERT_TRUE(server_got("", code::hello));
  EXPECT_FALSE(c->read(milliseconds(200)));
  server->release_held();
  std::optional<Packet> ack = c->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::hello_ack);
  EXPECT_EQ(ack->seq, seq);
}

TEST_F(Faults, AHeldLoginAlsoHoldsTheNoticesBehindIt) {
  Behavior b = server->behavior();
  b.send_after_login = true;
  server->set_behavior(b);
  server->add_fault(FaultRule{code::login2, Fault::hold});
  auto c = connect();
  ASSERT_TRUE(c->hello());
  c->request(code::login2, Writer().lps("kim@mail.example").lps("kim-pw").ul(1).lps("t").take());
  ASSERT_TRUE(server_got("", code::login2));
  EXPECT_FALSE(c->read(milliseconds(200)));
  server->release_held();
  std::optional<Packet> first = c->read();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->code, code::login_ack);
  std::optional<Packet> next = c->read();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->code, code::user_info);
}

TEST_F(Faults, DelayedRepliesComeNoSoonerThanTheDelay) {
  server->add_fault(FaultRule{code::hello, Fault::delay, milliseconds(300)});
  auto c = connect();
  auto sent = std::chrono::steady_clock::now();
  c->request(code::hello);
  std::optional<Packet> ack = c->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::hello_ack);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, milliseconds(300));
}

TEST_F(Faults, WrongCodeKeepsNumberAndBody) {
  FaultRule rule{code::login2, Fault::wrong_code};
  rule.wrong_code = 0x1FFF;
  server->add_fault(rule);
  auto c = connect();
  std::optional<Packet> reply = c->login("kim@mail.example", "kim-pw");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->code, 0x1FFFu);
  EXPECT_TRUE(reply->body.empty());
}

TEST_F(Faults, GarbageIsNoPacket) {
  FaultRule rule{code::hello, Fault::garbage};
  rule.garbage_bytes = 100;
  server->add_fault(rule);
  auto c = connect();
  c->request(code::hello);
  Bytes junk = c->read_bytes(100);
  ASSERT_EQ(junk.size(), 100u);
  EXPECT_NE(get_ul(junk.data()), kMagic);
  EXPECT_NE(junk[0], 0xEF);
}

TEST_F(Faults, HugeDlenSendsOnlyAHeader) {
  server->add_fault(FaultRule{code::hello, Fault::huge_dlen});
  auto c = connect();
  uint32_t seq = c->request(code::hello);
  Bytes header = c->read_bytes(44);
  ASSERT_EQ(header.size(), 44u);
  EXPECT_EQ(get_ul(header.data()), kMagic);
  EXPECT_EQ(get_ul(header.data() + 8), seq);
  EXPECT_EQ(get_ul(header.data() + 12), code::hello_ack);
  EXPECT_EQ(get_ul(header.data() + 16), 0xFFFFFFF0u);
  EXPECT_TRUE(c->read_bytes(1, milliseconds(200)).empty());
  EXPECT_FALSE(c->peer_closed());
}

TEST_F(Faults, CloseMidPacketSendsHalfAndCloses) {
  server->add_fault(FaultRule{code::hello, Fault::close_mid_packet});
  auto c = connect();
  c->request(code::hello);
  EXPECT_TRUE(c->wait_closed());
  Bytes half = c->read_bytes(0);
  EXPECT_EQ(half.size(), (44u + 4) / 2);
  EXPECT_EQ(get_ul(half.data()), kMagic);
  ASSERT_TRUE(server->wait_until([&] { return first_session_ended(); }));
  EXPECT_EQ(server->sessions().front().close_reason, "closed mid-packet on purpose");
}

TEST_F(Faults, CloseInsteadOfReplying) {
  server->add_fault(FaultRule{code::login2, Fault::close});
  auto c = connect();
  EXPECT_FALSE(c->login("kim@mail.example", "kim-pw"));
  EXPECT_TRUE(c->wait_closed());
  EXPECT_FALSE(server->session_of("kim@mail.example"));
}

TEST_F(Faults, CloseRightAfterAccept) {
  Behavior b = server->behavior();
  b.close_on_accept = true;
  server->set_behavior(b);
  auto c = connect();
  EXPECT_TRUE(c->wait_closed());
  EXPECT_TRUE(c->read_bytes(0).empty());
  ASSERT_EQ(server->sessions().size(), 1u);
  EXPECT_EQ(server->sessions().front().close_reason, "closed on accept on purpose");
}

TEST_F(Faults, RulesMatchTheirRequestCountDownAndClear) {
  server->add_fault(FaultRule{code::login2, Fault::hold});  // not the hello's
  FaultRule twice{code::hello, Fault::wrong_code};
  twice.times = 2;
  server->add_fault(twice);
  auto c = connect();
  for (uint32_t expected : {0x10FFu, 0x10FFu, code::hello_ack}) {
    std::optional<Packet> reply = c->read_reply(c->request(code::hello));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->code, expected);
  }
  FaultRule any{0, Fault::wrong_code};
  server->add_fault(any);
  EXPECT_EQ(c->read_reply(c->request(code::hello))->code, 0x10FFu);
  server->clear_faults();
  EXPECT_EQ(c->read_reply(c->request(code::hello))->code, code::hello_ack);
  EXPECT_EQ(c->login("kim@mail.example", "kim-pw")->code, code::login_ack);
}

TEST_F(Faults, AnyBytesCanBeInjected) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  SessionId id = *server->session_of("kim@mail.example");
  ASSERT_TRUE(server->send(id, Packet{0x4242, 9, {1, 2, 3}}));
  EXPECT_EQ(c->read(), (Packet{0x4242, 9, {1, 2, 3}}));
  ASSERT_TRUE(server->send_raw(id, {0xAA, 0xBB}));
  EXPECT_EQ(c->read_bytes(2), (Bytes{0xAA, 0xBB}));
  EXPECT_FALSE(server->send(12345, Packet{}));
}

using ClientInput = ServerTest;

TEST_F(ClientInput, APacketSplitIntoSingleBytesIsStillOnePacket) {
  auto c = connect();
  Bytes hello = encode(Packet{code::hello, 3, {}});
  for (uint8_t byte : hello) {
    c->send_raw({byte});
  }
  std::optional<Packet> ack = c->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->seq, 3u);
}

TEST_F(ClientInput, SeveralPacketsInOneWriteAreAllAnswered) {
  auto c = connect();
  Bytes stream;
  for (uint32_t seq = 1; seq <= 3; ++seq) {
    Bytes one = encode(Packet{code::hello, seq, {}});
    stream.insert(stream.end(), one.begin(), one.end());
  }
  c->send_raw(stream);
  for (uint32_t seq = 1; seq <= 3; ++seq) EXPECT_EQ(c->read()->seq, seq);
}

TEST_F(ClientInput, ForeignBytesEndTheSession) {
  auto c = connect();
  c->send_raw({'G', 'E', 'T', ' ', '/'});
  EXPECT_TRUE(c->wait_closed());
  ASSERT_TRUE(server->wait_until([&] { return first_session_ended(); }));
  EXPECT_EQ(server->sessions().front().close_reason, "bad magic");
}

TEST_F(ClientInput, AnOversizedBodyEndsTheSessionWithoutWaitingForIt) {
  auto c = connect();
  c->send_raw(encode_header(code::message, 1, 0xFFFFFFFF));
  EXPECT_TRUE(c->wait_closed());
  EXPECT_EQ(server->sessions().front().close_reason, "oversized packet");
}

TEST_F(ClientInput, AClientThatClosesMidPacketLeavesTheServerServing) {
  {
    auto c = connect();
    Bytes login =
        encode(Packet{code::login2, 1, Writer().lps("kim@mail.example").lps("kim-pw").ul(1).take()});
    login.resize(login.size() - 3);
    c->send_raw(login);
  }
  ASSERT_TRUE(server->wait_until([&] { return first_session_ended(); }));
  EXPECT_TRUE(server->received().empty());
  auto d = logged_in("kim@mail.example", "kim-pw");
}

TEST_F(ClientInput, ShortOrEmptyBodiesOfEveryRequestAreSurvived) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  const uint32_t requests[] = {code::hello,
                               code::login2,
                               code::ping,
                               code::change_status,
                               code::message,
                               code::message_recv,
                               code::modify_contact,
                               code::add_contact,
                               code::authorize,
                               code::delete_offline_message,
                               code::directory_request,
                               0x7777};
  for (uint32_t request : requests) {
    c->request(request);
    c->request(request, {1});
    c->request(request, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  }
  ASSERT_TRUE(server->wait_until([&] { return server->received().size() >= 2 + 3 * std::size(requests); }));
  // Requests that expect an answer get a refusal, never a success.
  while (std::optional<Packet> p = c->read(milliseconds(300))) {
    if (p->code == code::modify_contact_ack || p->code == code::add_contact_ack ||
        p->code == code::message_status) {
      EXPECT_NE(Reader(p->body).ul(), 0u) << code_name(p->code);
    }
    if (p->code == code::directory_info) {
      EXPECT_EQ(Reader(p->body).ul(), 0u);
    }
  }
  EXPECT_TRUE(server->session(*server->session_of("kim@mail.example"))->open);
}

// Random but well-framed packets of every known code, from several clients at once: the
// server answers what it can and stays up. Bounded in count; the seed is fixed.
TEST_F(ClientInput, RandomBodiesNeverBreakTheServer) {
  std::mt19937 random(20260101);
  const uint32_t codes[] = {
      code::hello,     code::login2,           code::ping,        code::change_status,
      code::message,   code::modify_contact,   code::add_contact, code::delete_offline_message,
      code::authorize, code::directory_request};
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto amy = logged_in("amy@mail.example", "amy-pw");
  auto stranger = connect();
  Client* clients[] = {kim.get(), amy.get(), stranger.get()};
  for (int i = 0; i < 600; ++i) {
    Bytes body(random() % 48);
    for (uint8_t& b : body) b = uint8_t(random() % 4 == 0 ? random() : random() % 8);
    clients[i % 3]->send(Packet{codes[random() % std::size(codes)], uint32_t(i), body});
  }
  ASSERT_TRUE(server->wait_until([&] { return server->received().size() >= 600; }, milliseconds(30000)));
  auto fresh = connect();
  EXPECT_TRUE(fresh->hello());
}

}  // namespace
}  // namespace serversim
