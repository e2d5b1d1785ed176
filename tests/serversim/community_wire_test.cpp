// The quirks of a widely used community server on the wire, each switched on alone: how it
// reads (headers and bodies cut across reads), its log-in gate and delay, its keep-alive, the
// numbers on what it sends on its own, its turn to TLS and the web-session key; and all of them
// at once, which a careful client still gets through.
#include <atomic>
#include <functional>
#include <thread>

#include "fixture.h"

namespace serversim {
namespace {

using namespace testing_support;

class CommunityWire : public ServerTest {
 protected:
  void change(const std::function<void(Behavior&)>& edit) {
    Behavior b = server->behavior();
    edit(b);
    server->set_behavior(b);
  }

  // A connection and its session, which the server may take a little after connect().
  std::unique_ptr<Client> connect_to(SessionId& id) {
    const size_t before = server->sessions().size();
    auto c = connect();
    EXPECT_TRUE(server->wait_until([&] { return server->sessions().size() > before; }));
    id = server->sessions().back().id;
    return c;
  }

  // Sends each piece once the server has read the one before, so that every piece is a read
  // of its own; stops early when the session ends.
  void send_in_reads(Client& c, SessionId id, const std::vector<Bytes>& pieces) {
    for (const Bytes& piece : pieces) {
      const int before = server->session(id)->reads;
      ASSERT_TRUE(c.send_raw(piece));
      ASSERT_TRUE(server->wait_until([&] {
        std::optional<SessionInfo> s = server->session(id);
        return s->reads > before || !s->open;
      }));
      if (!server->session(id)->open) return;
    }
  }

  bool ended(SessionId id) {
    return server->wait_until([&] { return !server->session(id)->open; });
  }
};

// The bytes from `from` up to `to` (the end when 0).
Bytes cut(const Bytes& bytes, size_t from, size_t to = 0) {
  return Bytes(bytes.begin() + ptrdiff_t(from), to == 0 ? bytes.end() : bytes.begin() + ptrdiff_t(to));
}

std::string text_of(const std::optional<Packet>& message_ack) {
  if (!message_ack) return "(none)";
  Reader r(message_ack->body);
  r.ul();
  r.ul();
  r.lps();
  return r.lps().value_or("(no text)");
}

TEST_F(CommunityWire, AHeaderCutAcrossReadsIsTakenAsWholeWithWhatIsMissingAsZeros) {
  const Bytes packet = encode(Packet{0x1234, 8, Bytes(30, 'x')});
  // As a whole packet by default.
  SessionId usual_id = 0;
  auto usual = connect_to(usual_id);
  send_in_reads(*usual, usual_id, {cut(packet, 0, 24), cut(packet, 24)});
  ASSERT_TRUE(server->wait_until([&] { return server->received(usual_id).size() == 1; }));
  EXPECT_EQ(server->received(usual_id).front(), (Packet{0x1234, 8, Bytes(30, 'x')}));
  EXPECT_TRUE(server->session(usual_id)->open);

  change([](Behavior& b) { b.split_header = true; });
  // Cut after the body length: the rest of the header becomes the start of the body, and the
  // body's own end is then no packet.
  SessionId id = 0;
  auto c = connect_to(id);
  send_in_reads(*c, id, {cut(packet, 0, 24), cut(packet, 24)});
  ASSERT_TRUE(ended(id));
  EXPECT_EQ(server->session(id)->close_reason, "bad magic");
  Bytes shifted(20, 0);
  shifted.resize(30, 'x');
  EXPECT_EQ(server->received(id), (std::vector<Packet>{Packet{0x1234, 8, shifted}}));
  EXPECT_TRUE(c->wait_closed());

  // Cut before it: a packet without a body, and the rest of the header is no packet.
  auto d = connect_to(id);
  send_in_reads(*d, id, {cut(packet, 0, 16), cut(packet, 16)});
  ASSERT_TRUE(ended(id));
  EXPECT_EQ(server->session(id)->close_reason, "bad magic");
  EXPECT_EQ(server->received(id), (std::vector<Packet>{Packet{0x1234, 8, {}}}));
}

TEST_F(CommunityWire, ABodyOverThreeReadsIsHandledCutShortThenWhole) {
  change([](Behavior& b) { b.short_body_twice = true; });
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto amy = logged_in("amy@mail.example", "amy-pw");
  const SessionId kim_id = *server->session_of("kim@mail.example");

  // The header and most of the body, then the rest: handled once.
  const uint32_t two_seq = kim->next_seq();
  const Bytes two = encode(Packet{code::message, two_seq, message(0, "amy@mail.example", "two reads")});
  send_in_reads(*kim, kim_id, {cut(two, 0, 60), cut(two, 60)});
  // Cut inside the closing RTF text: cut short, the message still reads as a whole one.
  const uint32_t three_seq = kim->next_seq();
  const Bytes three =
      encode(Packet{code::message, three_seq,
                    Writer().ul(0).lps("amy@mail.example").lps("three reads").lps("rtf tail").take()});
  send_in_reads(*kim, kim_id,
                {cut(three, 0, 60), cut(three, 60, three.size() - 5), cut(three, three.size() - 5)});

  std::vector<uint32_t> answered;
  for (int i = 0; i < 3; ++i) {
    std::optional<Packet> status = kim->read_code(code::message_status);
    ASSERT_TRUE(status) << i;
    EXPECT_EQ(status_of(status), kMessageDelivered);
    answered.push_back(status->seq);
  }
  EXPECT_EQ(answered, (std::vector<uint32_t>{two_seq, three_seq, three_seq}));
  EXPECT_EQ(text_of(amy->read_code(code::message_ack)), "two reads");
  EXPECT_EQ(text_of(amy->read_code(code::message_ack)), "three reads");
  EXPECT_EQ(text_of(amy->read_code(code::message_ack)), "three reads");
}

TEST_F(CommunityWire, BeforeTheLoginIsAcknowledgedOnlyPingHelloLoginAndTlsPass) {
  change([](Behavior& b) { b.login_gate = true; });
  for (uint32_t forbidden :
       {code::message, code::change_status, code::web_key_request, code::compression_request}) {
    SessionId id = 0;
    auto c = connect_to(id);
    ASSERT_TRUE(c->hello());
    c->request(forbidden);
    EXPECT_TRUE(c->wait_closed()) << code_name(forbidden);
    EXPECT_FALSE(c->read()) << code_name(forbidden);  // ended without an answer
    ASSERT_TRUE(ended(id));
    EXPECT_EQ(server->session(id)->close_reason,
              code_name(forbidden) + " before the log-in was acknowledged");
  }

  auto c = connect();
  c->request(code::ping);
  std::optional<Packet> tls = c->read_reply(c->request(code::tls_request));
  ASSERT_TRUE(tls);
  EXPECT_EQ(tls->code, code::not_offered);
  std::optional<Packet> ack = c->login("kim@mail.example", "kim-pw");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  // Open once the LOGIN_ACK has gone out.
  std::optional<Packet> status =
      c->read_reply(c->request(code::message, message(0, "amy@mail.example", "now")));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, code::message_status);
}

TEST_F(CommunityWire, DuringTheLoginDelayTheAccountGetsPushesButMaySendNothing) {
  auto amy = logged_in("amy@mail.example", "amy-pw");
  change([](Behavior& b) {
    b.login_gate = true;
    b.login_delay = milliseconds(3000);
    b.send_after_login = true;
  });

  // A request right behind the log-in, while the server is still at it, ends the session.
  SessionId bob_id = 0;
  auto bob = connect_to(bob_id);
  ASSERT_TRUE(bob->hello());
  const uint32_t bob_login =
      bob->request(code::login2, login_body(kProtoVersion, "bob@mail.example", "bob-pw", LoginDetails{}));
  bob->request(code::change_status, Writer().ul(mrim_status::away).take());
  EXPECT_FALSE(bob->read_reply(bob_login));
  ASSERT_TRUE(ended(bob_id));
  EXPECT_EQ(server->session(bob_id)->close_reason,
            code_name(code::change_status) + " before the log-in was acknowledged");

  // Another user's message and status reach the account before its LOGIN_ACK.
  auto kim = connect();
  ASSERT_TRUE(kim->hello());
  const uint32_t kim_login =
      kim->request(code::login2, login_body(kProtoVersion, "kim@mail.example", "kim-pw", LoginDetails{}));
  ASSERT_TRUE(server->wait_until([&] { return server->session_of("kim@mail.example").has_value(); }));
  amy->request(code::message, message(0, "kim@mail.example", "early"));
  amy->request(code::change_status, Writer().ul(mrim_status::away).take());

  std::optional<Packet> first = kim->read();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->code, code::message_ack);
  EXPECT_EQ(text_of(first), "early");
  std::optional<Packet> second = kim->read();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->code, code::user_status);
  std::optional<Packet> ack = kim->read();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  EXPECT_EQ(ack->seq, kim_login);
  std::optional<Packet> info = kim->read();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->code, code::user_info);
}

TEST_F(CommunityWire, MailboxStatusIsNeverSent) {
  change([](Behavior& b) {
    b.no_mailbox_status = true;
    b.send_after_login = true;
  });
  Account kim_account = *server->account("kim@mail.example");
  kim_account.unread_mail = 3;
  OfflineMessage stored;
  stored.from = "amy@mail.example";
  stored.text = "stored";
  kim_account.offline.push_back(stored);
  server->add_account(kim_account);

  auto kim = logged_in("kim@mail.example", "kim-pw");
  std::vector<uint32_t> codes;
  for (int i = 0; i < 3; ++i) {
    std::optional<Packet> p = kim->read();
    ASSERT_TRUE(p) << i;
    codes.push_back(p->code);
  }
  EXPECT_EQ(codes, (std::vector<uint32_t>{code::user_info, code::contact_list2, code::offline_message_ack}));

  EXPECT_TRUE(server->set_unread("kim@mail.example", 5));
  EXPECT_EQ(server->account("kim@mail.example")->unread_mail, 5u);
  ASSERT_TRUE(server->deliver_message("kim@mail.example", "news@list.example", "after"));
  std::optional<Packet> next = kim->read();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->code, code::message_ack);
}

TEST_F(CommunityWire, OnlyPingsKeepASessionAliveAndTheClockStartsAtTheFirst) {
  change([](Behavior& b) {
    b.ping_only_keepalive = true;
    b.idle_timeout = milliseconds(1500);
  });
  auto silent = logged_in("kim@mail.example", "kim-pw");
  const SessionId silent_id = *server->session_of("kim@mail.example");
  auto busy = logged_in("amy@mail.example", "amy-pw");
  const SessionId busy_id = *server->session_of("amy@mail.example");

  // One ping, then packets of every other kind but no ping.
  busy->request(code::ping);
  std::atomic<bool> done{false};
  std::thread chatter([&] {
    while (!done) {
      busy->request(code::hello);
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  const bool dropped = ended(busy_id);
  done = true;
  chatter.join();
  ASSERT_TRUE(dropped);
  EXPECT_EQ(server->session(busy_id)->close_reason, "idle");
  // Silent for longer than that, but it never pinged.
  EXPECT_TRUE(server->session(silent_id)->open);
}

TEST_F(CommunityWire, PushesCarryTheNumbersOfACommunityServer) {
  change([](Behavior& b) { b.push_sequence_numbers = true; });
  // Bob first, so that kim hears of amy alone.
  auto bob = logged_in("bob@mail.example", "bob-pw");
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto amy = connect();
  for (int i = 0; i < 40; ++i) amy->next_seq();
  ASSERT_TRUE(amy->login("amy@mail.example", "amy-pw"));  // HELLO 41, LOGIN2 42

  // A status carries the number of the request that set it.
  std::optional<Packet> status = kim->read_code(code::user_status);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->seq, 42u);
  amy->send(Packet{code::change_status, 0x5150, Writer().ul(mrim_status::away).take()});
  status = kim->read_code(code::user_status);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->seq, 0x5150u);

  // Messages carry numbers of no meaning: neither the sender's nor the same twice.
  const uint32_t first_sent = amy->request(code::message, message(0, "kim@mail.example", "one"));
  const uint32_t second_sent = amy->request(code::message, message(0, "kim@mail.example", "two"));
  std::optional<Packet> first = kim->read_code(code::message_ack);
  std::optional<Packet> second = kim->read_code(code::message_ack);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->seq, second->seq);
  EXPECT_NE(first->seq, first_sent);
  EXPECT_NE(second->seq, second_sent);

  // An authorization request carries 0xFFFFFFFF.
  amy->request(code::add_contact, Writer().ul(0).ul(0).lps("bob@mail.example").lps("Bob").ul(0).take());
  std::optional<Packet> asks = bob->read_code(code::message_ack);
  ASSERT_TRUE(asks);
  EXPECT_EQ(asks->seq, 0xFFFFFFFFu);

  // A stored message carries the low word of its identifier.
  OfflineMessage m;
  m.from = "amy@mail.example";
  m.text = "kept";
  const uint64_t id = server->store_offline("kim@mail.example", m);
  std::optional<Packet> kept = kim->read_code(code::offline_message_ack);
  ASSERT_TRUE(kept);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(kept->seq, uint32_t(id));
}

TEST_F(CommunityWire, TheWebKeyRequestIsAnsweredUnderItsNumberWithStatusOneAndAKey) {
  auto c = connect();
  auto key_of = [&](uint32_t answer_code) {
    const uint32_t seq = c->request(code::web_key_request);
    std::optional<Packet> answer = c->read_reply(seq);
    EXPECT_TRUE(answer);
    if (!answer) return std::string();
    EXPECT_EQ(answer->code, answer_code);
    Reader r(answer->body);
    EXPECT_EQ(r.ul(), 1u);
    std::string key = r.lps().value_or("");
    EXPECT_FALSE(key.empty());
    return key;
  };
  const std::string before_login = key_of(code::web_key_ack);
  ASSERT_TRUE(c->login("kim@mail.example", "kim-pw"));
  const std::string after_login = key_of(code::web_key_ack);
  EXPECT_NE(before_login, after_login);

  change([](Behavior& b) { b.web_key_own_code = true; });
  key_of(code::web_key_request);
}

class CommunityTls : public CommunityWire {
 protected:
  Settings settings() override {
    Settings s = CommunityWire::settings();
    s.behavior.tls = true;
    s.behavior.tls_fresh_session = true;
    return s;
  }
};

TEST_F(CommunityTls, AnUpgradeAfterTheLoginStartsTheSessionLoggedOut) {
  auto amy = logged_in("amy@mail.example", "amy-pw");
  auto kim = logged_in("kim@mail.example", "kim-pw");
  const SessionId kim_id = *server->session_of("kim@mail.example");
  std::optional<Packet> online = amy->read_code(code::user_status);
  ASSERT_TRUE(online);
  EXPECT_EQ(online->body, Writer().ul(mrim_status::online).lps("kim@mail.example").take());

  ASSERT_TRUE(kim->start_tls()) << kim->tls_error();
  EXPECT_FALSE(server->session(kim_id)->logged_in);
  EXPECT_FALSE(server->session_of("kim@mail.example"));
  std::optional<Packet> offline = amy->read_code(code::user_status);
  ASSERT_TRUE(offline);
  EXPECT_EQ(offline->body, Writer().ul(mrim_status::offline).lps("kim@mail.example").take());

  // Inside TLS it logs in again as any new session does.
  std::optional<Packet> ack = kim->login("kim@mail.example", "kim-pw");
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  EXPECT_EQ(server->session_of("kim@mail.example").value_or(0), kim_id);
  EXPECT_TRUE(server->session(kim_id)->encrypted);
}

TEST_F(CommunityTls, BytesSentInClearBehindTheRequestAreDropped) {
  Bytes request_and_hello = encode(Packet{code::tls_request, 101, {}});
  const Bytes hello = encode(Packet{code::hello, 102, {}});
  request_and_hello.insert(request_and_hello.end(), hello.begin(), hello.end());

  SessionId id = 0;
  auto c = connect_to(id);
  ASSERT_TRUE(c->send_raw(request_and_hello));
  std::optional<Packet> go = c->read_reply(101);
  ASSERT_TRUE(go);
  EXPECT_EQ(go->code, code::tls_go_ahead);
  ASSERT_TRUE(c->tls_handshake()) << c->tls_error();
  std::optional<Packet> ack = c->hello();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->seq, 1u);  // the one sent inside TLS; the one in clear was never read
  EXPECT_EQ(server->received(id),
            (std::vector<Packet>{Packet{code::tls_request, 101, {}}, Packet{code::hello, 1, {}}}));

  // Without the quirk those bytes are read as the client's first TLS, and the handshake fails.
  change([](Behavior& b) { b.tls_fresh_session = false; });
  auto usual = connect();
  ASSERT_TRUE(usual->send_raw(request_and_hello));
  ASSERT_TRUE(usual->read_reply(101));
  EXPECT_FALSE(usual->tls_handshake());
}

class CommunityServer : public ServerTest {
 protected:
  Settings settings() override {
    Settings s = ServerTest::settings();
    s.behavior = Behavior::community();
    return s;
  }
};

TEST_F(CommunityServer, ACarefulClientLogsInAndExchangesAMessage) {
  // One request at a time, each after the answer to the last, nothing but PING before LOGIN_ACK.
  auto kim = connect();
  ASSERT_TRUE(kim->start_tls()) << kim->tls_error();
  std::optional<Packet> kim_ack = kim->login("kim@mail.example", "kim-pw");
  ASSERT_TRUE(kim_ack);
  EXPECT_EQ(kim_ack->code, code::login_ack);
  kim->request(code::ping);
  auto amy = connect();
  std::optional<Packet> amy_ack = amy->login("amy@mail.example", "amy-pw");
  ASSERT_TRUE(amy_ack);
  EXPECT_EQ(amy_ack->code, code::login_ack);
  amy->request(code::ping);

  std::optional<Packet> status =
      kim->read_reply(kim->request(code::message, message(0, "amy@mail.example", "hello from kim")));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, code::message_status);
  EXPECT_EQ(status_of(status), kMessageDelivered);
  EXPECT_EQ(text_of(amy->read_code(code::message_ack)), "hello from kim");

  std::optional<Packet> reply =
      amy->read_reply(amy->request(code::message, message(0, "kim@mail.example", "hello back")));
  ASSERT_TRUE(reply);
  EXPECT_EQ(status_of(reply), kMessageDelivered);
  EXPECT_EQ(text_of(kim->read_code(code::message_ack)), "hello back");

  for (const SessionInfo& s : server->sessions()) EXPECT_TRUE(s.open) << s.close_reason;
  EXPECT_EQ(server->dropped_packets(), 0);
}

}  // namespace
}  // namespace serversim
