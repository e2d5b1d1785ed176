// The greeting, the log-in, the status announcement, the "/SetStatus" table and the disconnect
// sequence, linked straight into the test with the unit host recording every host call and the
// test playing the server: what each request puts on the wire, which replies it takes, and what the host is
// told in what order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "core/protocol_state.h"
#include "platform/linux/older_windows.h"
#include "protocol/codec.h"
#include "protocol/online.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/session.h"
#include "protocol/status.h"
#include "protocol/tls_link.h"
#include "support/unit_host.h"

namespace {

using testsupport::Bytes;
using testsupport::Packet;

HANDLE handle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }
Bytes ul(uint32_t value) { return serversim::Writer().ul(value).take(); }
Bytes lps(const std::string& text) { return serversim::Writer().lps(text).take(); }
Packet packet(uint32_t code, uint32_t seq, const Bytes& body = {}) { return {code, seq, body}; }

class Requests : public testsupport::UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    ping_period = MRIM_DEFAULT_PING_PERIOD;
    protocol_state.packet_receiver = handle(0xEC);
    host_.record_calls(true);
  }
  void TearDown() override {
    UnitHost::TearDown();
    ping_period = MRIM_DEFAULT_PING_PERIOD;
  }
  // The server answers every packet of this code with what make_reply builds from its seq.
  void answer(uint32_t request, std::function<Packet(uint32_t seq)> make_reply) {
    serve([request, make_reply](const Packet& sent) {
      return sent.code == request ? std::vector<Packet>{make_reply(sent.seq)} : std::vector<Packet>{};
    });
  }
  // The bytes of every packet sent, in order.
  std::vector<Bytes> sent_bytes() {
    std::vector<Bytes> bytes;
    for (const auto& call : calls_of(MS_NETLIB_SEND)) bytes.push_back(call.sent);
    return bytes;
  }
};

TEST_F(Requests, HelloSendsAnEmptyHelloAndTakesThePeriod) {
  protocol_state.last_seq = 6;
  answer(MRIM_CS_HELLO, [](uint32_t seq) { return packet(MRIM_CS_HELLO_ACK, seq, ul(45)); });
  EXPECT_EQ(mrim_do_hello(), 0);
  EXPECT_EQ(ping_period, 45u);
  auto sent = sent_bytes();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], serversim::encode(packet(MRIM_CS_HELLO, 7)));
}

TEST_F(Requests, HelloTakesAnAcknowledgementWithSeqZero) {
  answer(MRIM_CS_HELLO, [](uint32_t) { return packet(MRIM_CS_HELLO_ACK, 0, ul(12)); });
  EXPECT_EQ(mrim_do_hello(), 0);
  EXPECT_EQ(ping_period, 12u);
}

TEST_F(Requests, HelloAcknowledgementWithoutItsPeriodKeepsThePeriodInForce) {
  ping_period = 17;
  answer(MRIM_CS_HELLO, [](uint32_t seq) { return packet(MRIM_CS_HELLO_ACK, seq); });
  EXPECT_EQ(mrim_do_hello(), 0);
  EXPECT_EQ(ping_period, 17u);
  answer(MRIM_CS_HELLO, [](uint32_t seq) { return packet(MRIM_CS_HELLO_ACK, seq, {0x3C, 0x00}); });
  EXPECT_EQ(mrim_do_hello(), 0);
  EXPECT_EQ(ping_period, 17u);
}

TEST_F(Requests, HelloStoresAPeriodOfZeroAsSent) {
  // The floor belongs to the keep-alive thread's sleep, not to the stored value.
  answer(MRIM_CS_HELLO, [](uint32_t seq) { return packet(MRIM_CS_HELLO_ACK, seq, ul(0)); });
  EXPECT_EQ(mrim_do_hello(), 0);
  EXPECT_EQ(ping_period, 0u);
}

TEST_F(Requests, HelloFailsOnAnotherCodeOrAnotherSeq) {
  set_timeout(0);  // one scan, no waiting
  answer(MRIM_CS_HELLO, [](uint32_t seq) { return packet(MRIM_CS_LOGIN_REJ, seq, lps("no")); });
  EXPECT_EQ(mrim_do_hello(), 1);
  answer(MRIM_CS_HELLO, [](uint32_t seq) { return packet(MRIM_CS_HELLO_ACK, seq + 100, ul(5)); });
  EXPECT_EQ(mrim_do_hello(), 1);
  pending_queue_clear();
  serve(nullptr);
  EXPECT_EQ(mrim_do_hello(), 1);  // no answer at all
  EXPECT_EQ(ping_period, MRIM_DEFAULT_PING_PERIOD);
}

TEST_F(Requests, LoginSendsAccountStatusAndClientAndTakesTheAck) {
  protocol_state.last_seq = 99;
  answer(MRIM_CS_LOGIN2, [](uint32_t seq) { return packet(MRIM_CS_LOGIN_ACK, seq); });
  EXPECT_EQ(mrim_do_login("kim@mail.example", "s3cret", MRIM_STATUS_INVISIBLE), 0);
  auto packets = sent();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].code, MRIM_CS_LOGIN2);
  EXPECT_EQ(packets[0].seq, 100u);
  Bytes expected = serversim::Writer()
                       .lps("kim@mail.example")
                       .lps("s3cret")
                       .ul(0x80000001)
                       .lps(MRIM_CLIENT_DESCRIPTION)
                       .take();
  EXPECT_EQ(packets[0].body, expected);
}

TEST_F(Requests, LoginFailsOnARefusal) {
  answer(MRIM_CS_LOGIN2, [](uint32_t seq) { return packet(MRIM_CS_LOGIN_REJ, seq, lps("Invalid login")); });
  EXPECT_EQ(mrim_do_login("kim@mail.example", "wrong", MRIM_STATUS_ONLINE), 1);
}

TEST_F(Requests, LoginIsNotSentWhenTheAccountTextsDoNotFit) {
  set_timeout(0);
  std::string huge(MRIM_BODY_CAPACITY, 'x');
  EXPECT_EQ(mrim_do_login(huge.c_str(), "pw", MRIM_STATUS_ONLINE), 1);
  EXPECT_TRUE(sent_bytes().empty());
}

TEST_F(Requests, ChangeStatusSendsOneValueAndWaitsForNothing) {
  protocol_state.last_seq = 3;
  EXPECT_EQ(mrim_do_changestatus(MRIM_STATUS_AWAY), 0);
  auto sent = sent_bytes();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], serversim::encode(packet(MRIM_CS_CHANGE_STATUS, 4, ul(2))));
}

TEST_F(Requests, ChangeStatusReportsAFailedSend) {
  fail_sends(true);
  EXPECT_EQ(mrim_do_changestatus(MRIM_STATUS_ONLINE), 1);
}

class SetStatusTable : public Requests {};

TEST_F(SetStatusTable, SameOnlineTypeStatusIsIgnored) {
  for (int code : {ID_STATUS_ONLINE, ID_STATUS_AWAY, ID_STATUS_INVISIBLE}) {
    protocol_state.status = code;
    EXPECT_EQ(SetStatus(code, 0), 1) << code;
  }
  EXPECT_TRUE(host_.calls().empty());
}

TEST_F(SetStatusTable, AnotherStatusWhileOnlineIsAnnouncedOnTheConnectionAtOnce) {
  protocol_state.status = ID_STATUS_ONLINE;
  EXPECT_EQ(SetStatus(ID_STATUS_AWAY, 0), 0);
  auto packets = sent();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].code, MRIM_CS_CHANGE_STATUS);
  EXPECT_EQ(packets[0].body, ul(MRIM_STATUS_AWAY));
  EXPECT_EQ(protocol_state.status, ID_STATUS_AWAY);
  EXPECT_TRUE(calls_of(MS_NETLIB_OPENCONNECTION).empty()) << "no address query, no new connection";
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].process, uintptr_t{ID_STATUS_ONLINE});
  EXPECT_EQ(acks[0].param, ID_STATUS_AWAY);
}

TEST_F(SetStatusTable, AStatusThatCannotBeSentTakesTheAccountOfflineTruthfully) {
  protocol_state.status = ID_STATUS_ONLINE;
  fail_sends(true);
  EXPECT_EQ(SetStatus(ID_STATUS_AWAY, 0), 0);
  EXPECT_EQ(protocol_state.status, ID_STATUS_OFFLINE);
  EXPECT_EQ(protocol_state.connection, nullptr);
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].process, uintptr_t{ID_STATUS_ONLINE});
  EXPECT_EQ(acks[0].param, ID_STATUS_OFFLINE);
  fail_sends(false);
  // Not stuck: the next request to go online is taken, not refused as "already".
  EXPECT_EQ(SetStatus(ID_STATUS_ONLINE, 0), 0);
}

TEST_F(SetStatusTable, NotAvailableIsAwayAndIgnoredWhileAway) {
  protocol_state.status = ID_STATUS_AWAY;
  EXPECT_EQ(SetStatus(ID_STATUS_NA, 0), 1);
  EXPECT_TRUE(host_.calls().empty());
  protocol_state.status = ID_STATUS_ONLINE;
  EXPECT_EQ(SetStatus(ID_STATUS_NA, 0), 0);
}

TEST_F(SetStatusTable, UnknownCodesAreRefusedAndChangeNothing) {
  protocol_state.status = ID_STATUS_ONLINE;
  for (WPARAM code : {WPARAM{0}, WPARAM{40070}, WPARAM{40074}, WPARAM{40076}, WPARAM{40079}, WPARAM{12},
                      static_cast<WPARAM>(-1)})
    EXPECT_EQ(SetStatus(code, 0), 1) << code;
  EXPECT_TRUE(host_.calls().empty());
  EXPECT_EQ(protocol_state.status, ID_STATUS_ONLINE);
}

TEST_F(SetStatusTable, OfflineWhileOfflineDoesNothing) {
  protocol_state.unread_mail = 3;
  EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 1);
  EXPECT_TRUE(host_.calls().empty());
  EXPECT_EQ(protocol_state.connection, kConnection);
  EXPECT_EQ(protocol_state.unread_mail, 3u);
}

TEST_F(SetStatusTable, DisconnectAcknowledgesFirstThenClosesAndClears) {
  protocol_state.status = ID_STATUS_INVISIBLE;
  protocol_state.unread_mail = 7;
  EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 0);
  EXPECT_EQ(protocol_state.status, ID_STATUS_OFFLINE);
  EXPECT_EQ(protocol_state.connection, nullptr);
  EXPECT_EQ(protocol_state.packet_receiver, nullptr);
  EXPECT_EQ(protocol_state.unread_mail, 0u);
  EXPECT_TRUE(sent_bytes().empty()) << "no log-out packet";

  std::vector<hostsim::ServiceCall> calls = host_.calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(calls[0].service, MS_PROTO_BROADCASTACK);
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].type, ACKTYPE_STATUS);
  EXPECT_EQ(acks[0].result, ACKRESULT_SUCCESS);
  EXPECT_EQ(acks[0].contact, 0u);
  EXPECT_EQ(acks[0].process, uintptr_t{ID_STATUS_INVISIBLE});
  EXPECT_EQ(acks[0].param, ID_STATUS_OFFLINE);
  EXPECT_EQ(calls[1].service, MS_NETLIB_CLOSEHANDLE);
  EXPECT_EQ(calls[1].wparam, reinterpret_cast<WPARAM>(handle(0xEC)));  // the receiver first
  EXPECT_EQ(calls[2].service, MS_NETLIB_CLOSEHANDLE);
  EXPECT_EQ(calls[2].wparam, reinterpret_cast<WPARAM>(kConnection));
  EXPECT_EQ(calls[3].service, MS_DB_CONTACT_FINDFIRST);  // then the contacts go offline

  // The listener's own call after the receiver closed finds the account offline already.
  EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 1);
  EXPECT_EQ(host_.calls().size(), calls.size());
}

// The connect thread run directly on the test's thread against the recording host.
class ConnectThread : public Requests {
 protected:
  void SetUp() override {
    Requests::SetUp();
    protocol_state.connection = nullptr;
    protocol_state.packet_receiver = nullptr;
    host_.replace_service(MS_NETLIB_CREATEPACKETRECVER, [](WPARAM, LPARAM) -> INT_PTR { return 0x78; });
    // "/SetStatus" runs the connect thread right here, so the test sees it through.
    session_install(SessionHooks{connect_here, mrim_announce_status});
  }

  static int connect_here(int status, uint32_t attempt) {
    ConnectRequest* r = request(status);
    r->attempt = attempt;
    MRIM_ConnectAndLoginThread(r);
    return 0;
  }

  // A request as mrim_go_online hands it over; the thread frees it and gives the texts back to
  // the host with free_setting, so they are allocated as the host allocates setting texts.
  static ConnectRequest* request(int status) {
    auto* r = static_cast<ConnectRequest*>(calloc(1, sizeof(ConnectRequest)));
    r->email.type = DBVT_ASCIIZ;
    r->email.text = strdup("kim@mail.example");
    r->password.type = DBVT_ASCIIZ;
    r->password.text = strdup("s3cret");
    r->requested_status = status;
    return r;
  }

  // The server: greets, accepts the log-in (after calling before_login_ack, if set).
  void greet_and_accept(std::function<void()> before_login_ack = nullptr) {
    serve([before_login_ack](const Packet& sent) -> std::vector<Packet> {
      if (sent.code == MRIM_CS_STARTTLS) return {packet(MRIM_CS_STARTTLS_REJ, sent.seq)};
      if (sent.code == MRIM_CS_HELLO) return {packet(MRIM_CS_HELLO_ACK, sent.seq, ul(30))};
      if (sent.code != MRIM_CS_LOGIN2) return {};
      if (before_login_ack) before_login_ack();
      return {packet(MRIM_CS_LOGIN_ACK, sent.seq)};
    });
  }

  std::vector<uint32_t> sent_codes() {
    std::vector<uint32_t> codes;
    for (const Packet& p : sent()) codes.push_back(p.code);
    return codes;
  }
};

struct Open {
  int size;
  std::string host;
  WORD port;
  DWORD flags;
  unsigned int timeout;
};

TEST_F(ConnectThread, RetriesEachOpenWithTheShortRecordWhenTheHostRefusesTheLongOne) {
  static std::vector<Open> opens;
  opens.clear();
  host_.replace_service(MS_NETLIB_OPENCONNECTION, [](WPARAM, LPARAM l) -> INT_PTR {
    auto* record = reinterpret_cast<const NetlibOpenConnection*>(l);
    opens.push_back({record->size, record->host, record->port, record->flags, record->timeout});
    if (record->size != NETLIBOPENCONNECTION_V1_SIZE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    // The address service is away: the fallback address is dialled.
    return strcmp(record->host, MRIM_DEFAULT_SERVER_HOST) == 0 ? 0 : reinterpret_cast<INT_PTR>(kConnection);
  });
  greet_and_accept();
  EXPECT_EQ(SetStatus(ID_STATUS_ONLINE, 0), 0);
  ASSERT_EQ(opens.size(), 4u);
  EXPECT_EQ(opens[0].size, static_cast<int>(sizeof(NetlibOpenConnection)));
  EXPECT_EQ(opens[0].host, MRIM_DEFAULT_SERVER_HOST);
  EXPECT_EQ(opens[0].port, 443);
  EXPECT_EQ(opens[1].size, NETLIBOPENCONNECTION_V1_SIZE);
  EXPECT_EQ(opens[1].host, MRIM_DEFAULT_SERVER_HOST);
  EXPECT_EQ(opens[2].size, static_cast<int>(sizeof(NetlibOpenConnection)));
  EXPECT_EQ(opens[2].host, MRIM_FALLBACK_SERVER_HOST);
  EXPECT_EQ(opens[2].port, 443);
  EXPECT_EQ(opens[3].size, NETLIBOPENCONNECTION_V1_SIZE);
  for (const Open& open : opens) EXPECT_EQ(open.flags, 0u);
  EXPECT_EQ(opens[2].timeout, 0u) << "the record is cleared before use";
  EXPECT_EQ(protocol_state.connection, kConnection);
  EXPECT_EQ(protocol_state.status, ID_STATUS_ONLINE);
  EXPECT_EQ(protocol_state.login_in_progress, 0u);
}

TEST_F(ConnectThread, OtherRefusalsAreNotRetried) {
  static int open_calls = 0;
  open_calls = 0;
  host_.replace_service(MS_NETLIB_OPENCONNECTION, [](WPARAM, LPARAM) -> INT_PTR {
    ++open_calls;
    SetLastError(10061);  // connection refused
    return 0;
  });
  EXPECT_EQ(SetStatus(ID_STATUS_ONLINE, 0), 0);
  EXPECT_EQ(open_calls, 2) << "one open of the address service, one of the server";
  // The host hears that no server could be reached, and of no status change.
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].type, ACKTYPE_LOGIN);
  EXPECT_EQ(acks[0].result, ACKRESULT_FAILED);
  EXPECT_EQ(acks[0].param, LOGINERR_NOSERVER);
  EXPECT_EQ(protocol_state.status, ID_STATUS_OFFLINE);
  EXPECT_EQ(protocol_state.login_in_progress, 0u);
}

TEST_F(ConnectThread, ReadsTheAddressReplyFromOneDeliveryOfTheSmallReceiver) {
  static std::vector<std::string> hosts;
  static std::vector<LPARAM> receiver_sizes;
  hosts.clear();
  receiver_sizes.clear();
  host_.replace_service(MS_NETLIB_OPENCONNECTION, [](WPARAM, LPARAM l) -> INT_PTR {
    hosts.push_back(reinterpret_cast<const NetlibOpenConnection*>(l)->host);
    return hosts.size() == 1 ? 0x50 : reinterpret_cast<INT_PTR>(kConnection);
  });
  host_.replace_service(MS_NETLIB_CREATEPACKETRECVER, [](WPARAM, LPARAM size) -> INT_PTR {
    receiver_sizes.push_back(size);
    return size == 100 ? 0x51 : 0x78;
  });
  static DWORD query_timeout = 0;
  host_.replace_service(MS_NETLIB_GETMOREPACKETS, [](WPARAM, LPARAM l) -> INT_PTR {
    static BYTE reply[] = "unit.mrim.test:443\r\nignored";
    auto* record = reinterpret_cast<NetlibPacketRecver*>(l);
    query_timeout = record->timeout;
    record->buffer = reply;
    record->buffer_size = 100;
    record->bytes_available = sizeof reply - 1;
    return record->bytes_available;
  });
  greet_and_accept();
  EXPECT_EQ(SetStatus(ID_STATUS_AWAY, 0), 0);
  EXPECT_EQ(hosts, (std::vector<std::string>{MRIM_DEFAULT_SERVER_HOST, "unit.mrim.test"}));
  EXPECT_EQ(receiver_sizes, (std::vector<LPARAM>{100, 65536}));
  EXPECT_EQ(query_timeout, MRIM_ADDRESS_QUERY_TIMEOUT_MS);
  // The query's receiver and connection are closed, the server's stay.
  std::vector<WPARAM> closed;
  for (const auto& call : calls_of(MS_NETLIB_CLOSEHANDLE)) closed.push_back(call.wparam);
  EXPECT_EQ(closed, (std::vector<WPARAM>{0x51, 0x50}));
  EXPECT_EQ(sent_codes(),
            (std::vector<uint32_t>{MRIM_CS_STARTTLS, MRIM_CS_HELLO, MRIM_CS_LOGIN2, MRIM_CS_CHANGE_STATUS}));
  EXPECT_EQ(protocol_state.status, ID_STATUS_AWAY);
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].process, uintptr_t{ID_STATUS_OFFLINE});
  EXPECT_EQ(acks[0].param, ID_STATUS_AWAY);
}

TEST_F(ConnectThread, OfflineDuringTheLogInCallsItOffWithoutAWord) {
  host_.replace_service(MS_NETLIB_OPENCONNECTION, [](WPARAM, LPARAM l) -> INT_PTR {
    return strcmp(reinterpret_cast<const NetlibOpenConnection*>(l)->host, MRIM_DEFAULT_SERVER_HOST) == 0
               ? 0
               : reinterpret_cast<INT_PTR>(kConnection);
  });
  greet_and_accept([] { EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 0); });
  EXPECT_EQ(SetStatus(ID_STATUS_AWAY, 0), 0);
  EXPECT_EQ(sent_codes(), (std::vector<uint32_t>{MRIM_CS_STARTTLS, MRIM_CS_HELLO, MRIM_CS_LOGIN2}));
  EXPECT_EQ(protocol_state.status, ID_STATUS_OFFLINE);
  EXPECT_EQ(protocol_state.connection, nullptr);
  EXPECT_TRUE(host_.acks().empty()) << "neither a status nor a failed log-in: the user called it off";
  EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 1);
}

// Where the system's TLS cannot speak TLS 1.2 (the oldest Windows the host runs on), the server's
// go-ahead cannot be followed: the attempt fails as a server not reached, and the next one, for
// an account that merely wants encryption and was never encrypted with its server, goes on in
// clear without asking, and says so. One that was encrypted with its server before is refused
// before anything at all is sent.
TEST_F(ConnectThread, WithoutTls12OnlyAnAccountNeverEncryptedGoesOnInClear) {
  struct Older {
    Older() { platform_pretend_older_windows(true); }
    ~Older() { platform_pretend_older_windows(false); }
  } older;
  host_.replace_service(MS_NETLIB_OPENCONNECTION, [](WPARAM, LPARAM l) -> INT_PTR {
    return strcmp(reinterpret_cast<const NetlibOpenConnection*>(l)->host, MRIM_DEFAULT_SERVER_HOST) == 0
               ? 0
               : reinterpret_cast<INT_PTR>(kConnection);
  });
  // The go-ahead reaches the connection record as the listener would hand it over.
  serve([](const Packet& sent) -> std::vector<Packet> {
    if (sent.code == MRIM_CS_STARTTLS) {
      Bytes answer = serversim::encode(packet(MRIM_CS_STARTTLS_ACK, sent.seq));
      tls_link_receive(
          receiver_generation(), answer.data(), static_cast<uint32_t>(answer.size()),
          [](const BYTE* bytes, uint32_t count, void*) {
            auto buffer = std::make_unique<MrimPacket>();
            memcpy(buffer.get(), bytes, count);
            pending_queue_add(buffer.get());
          },
          nullptr);
      return {};
    }
    if (sent.code == MRIM_CS_HELLO) return {packet(MRIM_CS_HELLO_ACK, sent.seq, ul(30))};
    if (sent.code == MRIM_CS_LOGIN2) return {packet(MRIM_CS_LOGIN_ACK, sent.seq)};
    return {};
  });
  EXPECT_EQ(SetStatus(ID_STATUS_ONLINE, 0), 0);
  EXPECT_EQ(sent_codes(), (std::vector<uint32_t>{MRIM_CS_STARTTLS}));
  EXPECT_EQ(protocol_state.status, ID_STATUS_OFFLINE);
  EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 0);  // the reconnect plan would do the same

  EXPECT_EQ(SetStatus(ID_STATUS_ONLINE, 0), 0);
  EXPECT_EQ(sent_codes(),
            (std::vector<uint32_t>{MRIM_CS_STARTTLS, MRIM_CS_HELLO, MRIM_CS_LOGIN2, MRIM_CS_CHANGE_STATUS}));
  char line[512] = "";
  EXPECT_EQ(MRIM_ConnectionSecurity(sizeof line, reinterpret_cast<LPARAM>(line)), 0);
  EXPECT_NE(strstr(line, "cannot speak TLS 1.2"), nullptr) << line;
  EXPECT_EQ(SetStatus(ID_STATUS_OFFLINE, 0), 0);

  seed(0, kModule, "CertificatePin", hostsim::Setting::string(std::string(64, 'a')));
  const size_t before = sent().size();
  host_.clear_records();
  EXPECT_EQ(SetStatus(ID_STATUS_ONLINE, 0), 0);
  EXPECT_EQ(sent().size(), before) << "nothing goes to a server that was encrypted before";
  bool refused = false;
  for (const auto& ack : host_.acks())
    refused = refused || (ack.type == ACKTYPE_LOGIN && ack.param == LOGINERR_WRONGPROTOCOL);
  EXPECT_TRUE(refused);
}

}  // namespace
