// The MRIM service's turn to TLS, as a client sees it: the upgrade asked before the log-in, the
// session inside TLS with the certificate the server made, the refusals that leave a session in
// clear, write styles that cut the records, and broken TLS that ends a session.
#include <ctime>

#include "fixture.h"

namespace serversim {
namespace {

using namespace testing_support;

class Tls : public ServerTest {
 protected:
  Settings settings() override {
    Settings s = ServerTest::settings();
    s.behavior.tls = true;
    s.behavior.send_after_login = true;
    return s;
  }

  void set_writes(Writes writes) {
    Behavior b = server->behavior();
    b.writes = writes;
    server->set_behavior(b);
  }

  // Kim's session inside TLS, logged in, with the list the server sent after the log-in.
  std::unique_ptr<Client> kim_over_tls(std::optional<Packet>& list, bool only_1_2 = false) {
    auto c = connect();
    EXPECT_TRUE(c->start_tls(only_1_2)) << c->tls_error();
    std::optional<Packet> reply = c->login("kim@mail.example", "kim-pw");
    EXPECT_TRUE(reply && reply->code == code::login_ack);
    list = c->read_code(code::contact_list2);
    return c;
  }

  SessionInfo last_session() { return server->sessions().back(); }
};

using NoTls = ServerTest;

TEST_F(Tls, AClientUpgradesLogsInAndGetsItsListInsideTls) {
  std::optional<Packet> list;
  auto c = kim_over_tls(list);
  ASSERT_TRUE(list);
  EXPECT_EQ(decode_list(*list).contacts.size(), 2u);
  SessionInfo info = last_session();
  EXPECT_TRUE(info.encrypted);
  EXPECT_EQ(info.tls_version, "TLSv1.3");
  EXPECT_TRUE(info.logged_in);
  EXPECT_EQ(info.dropped_in_handshake, 0);

  // The certificate is the one the server names, made for its name and the loopback address,
  // valid from a day ago for a year.
  TlsPeer peer = c->tls_peer();
  EXPECT_EQ(peer.sha256, server->certificate_sha256());
  EXPECT_EQ(peer.sha256.size(), 64u);
  EXPECT_EQ(peer.common_name, "mrim.example");
  EXPECT_EQ(peer.names, (std::vector<std::string>{"DNS:mrim.example", "IP:127.0.0.1"}));
  const std::time_t now = std::time(nullptr);
  EXPECT_GT(peer.not_before, now - 2 * 86400);
  EXPECT_LT(peer.not_before, now - 86400 / 2);
  EXPECT_EQ(peer.not_after - peer.not_before, 365 * 86400);

  // Requests after the log-in are answered inside TLS too; a second upgrade is refused.
  uint32_t seq = c->request(code::tls_request);
  std::optional<Packet> again = c->read_reply(seq);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->code, code::not_offered);
  EXPECT_TRUE(server_got("kim@mail.example", code::tls_request));
  EXPECT_TRUE(server->session_of("kim@mail.example"));

  // Clients that speak TLS 1.2 at most are served as well.
  std::optional<Packet> older_list;
  auto older = kim_over_tls(older_list, true);
  EXPECT_TRUE(older_list);
  EXPECT_EQ(last_session().tls_version, "TLSv1.2");
}

TEST_F(Tls, ARenewedCertificateServesLaterHandshakesOnly) {
  auto first = connect();
  ASSERT_TRUE(first->start_tls());
  const std::string old_sha = server->certificate_sha256();
  server->renew_certificate();
  EXPECT_NE(server->certificate_sha256(), old_sha);

  auto second = connect();
  ASSERT_TRUE(second->start_tls());
  EXPECT_EQ(second->tls_peer().sha256, server->certificate_sha256());
  EXPECT_EQ(first->tls_peer().sha256, old_sha);
  // The session made with the old certificate goes on.
  EXPECT_TRUE(first->hello());

  EXPECT_THROW(server->use_certificate("no certificate", "no key"), std::invalid_argument);
  EXPECT_EQ(server->certificate_sha256(), second->tls_peer().sha256);
}

TEST_F(NoTls, RefusalsLeaveTheSessionInClear) {
  auto c = connect();
  for (uint32_t request : {code::tls_request, code::compression_request}) {
    uint32_t seq = c->request(request);
    std::optional<Packet> answer = c->read_reply(seq);
    ASSERT_TRUE(answer) << code_name(request);
    EXPECT_EQ(answer->code, code::not_offered);
    EXPECT_TRUE(answer->body.empty());
  }
  std::optional<Packet> reply = c->login("kim@mail.example", "kim-pw");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->code, code::login_ack);
  EXPECT_FALSE(server->sessions().front().encrypted);

  // Offered from now on: a later connection may turn, but not one that has logged in, and
  // compression is still refused.
  Behavior b = server->behavior();
  b.tls = true;
  server->set_behavior(b);
  std::optional<Packet> too_late = c->read_reply(c->request(code::tls_request));
  ASSERT_TRUE(too_late);
  EXPECT_EQ(too_late->code, code::not_offered);
  auto later = connect();
  std::optional<Packet> refused = later->read_reply(later->request(code::compression_request));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code, code::not_offered);
  EXPECT_TRUE(later->start_tls());
  EXPECT_TRUE(later->login("amy@mail.example", "amy-pw"));
  EXPECT_TRUE(server->sessions().back().encrypted);
}

TEST_F(Tls, WriteStylesCutTheRecordsAndPacketsStillComeWhole) {
  for (Writes writes : {Writes::split, Writes::coalesce}) {
    set_writes(writes);
    std::optional<Packet> list;
    auto c = kim_over_tls(list);
    ASSERT_TRUE(list) << int(writes);
    EXPECT_EQ(decode_list(*list).contacts.size(), 2u);
    EXPECT_TRUE(c->read_code(code::mailbox_status));
  }
}

TEST_F(Tls, OnePacketPerReadCountsWhatEachRecordHolds) {
  Behavior b = server->behavior();
  b.one_packet_per_read = true;
  server->set_behavior(b);
  auto c = connect();
  ASSERT_TRUE(c->start_tls());
  Bytes two = encode(Packet{code::hello, 1, {}});
  Bytes second = encode(Packet{code::hello, 2, {}});
  two.insert(two.end(), second.begin(), second.end());
  c->send_raw(two);  // one record
  std::optional<Packet> answer = c->read_code(code::hello_ack);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->seq, 1u);
  EXPECT_TRUE(server->wait_until([&] { return server->dropped_packets() == 1; }));
}

TEST_F(Tls, BrokenTlsEndsTheSessionWithItsReason) {
  // A client that is told to go ahead and then speaks no TLS at all.
  auto plain = connect();
  std::optional<Packet> go = plain->read_reply(plain->request(code::tls_request));
  ASSERT_TRUE(go);
  EXPECT_EQ(go->code, code::tls_go_ahead);
  const std::string text = "GET / HTTP/1.0\r\n\r\n";
  plain->send_wire(Bytes(text.begin(), text.end()));
  ASSERT_TRUE(plain->wait_closed());
  ASSERT_TRUE(server->wait_until([&] { return !last_session().open; }));
  EXPECT_EQ(last_session().close_reason.rfind("TLS handshake failed: ", 0), 0u)
      << last_session().close_reason;

  // An application record whose bytes no key made.
  auto c = connect();
  ASSERT_TRUE(c->start_tls());
  Bytes record{0x17, 0x03, 0x03, 0x00, 0x20};
  record.resize(record.size() + 0x20, 0x5A);
  c->send_wire(record);
  ASSERT_TRUE(c->wait_closed());
  ASSERT_TRUE(server->wait_until([&] { return !last_session().open; }));
  EXPECT_EQ(last_session().close_reason.rfind("TLS error: ", 0), 0u) << last_session().close_reason;
}

}  // namespace
}  // namespace serversim
