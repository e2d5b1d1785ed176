// Going online and offline end to end: the real MRIM.so in the host stand-in, talking over
// loopback TCP to the MRIM server stand-in. The plug-in's default server and its fallback
// address are routed to the stand-in's address service and MRIM service by the host's network
// library. Every wait is a wait for a condition with a generous bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/netlib.h"
#include "protocol/online.h"
#include "serversim/client.h"
#include "serversim/server.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"

namespace {

using serversim::Packet;
using testsupport::PluginSession;
namespace code = serversim::code;

// Long enough for a connect that first waits out a silent port, then the answer it never gives
// as an MRIM server, before it dials the fallback.
constexpr int kWaitMs = 60000;
const char* const kEmail = "kim@mail.example";
const char* const kPassword = "kim-s3cret-pw";
// The name the address service hands out; routed to the stand-in's MRIM service.
const char* const kServerName = "mrim.test";
// The build's address service, asked while the account names none.
const std::string kDefaultService =
    std::string(MRIM_DEFAULT_SERVER_HOST) + ":" + std::to_string(MRIM_DEFAULT_SERVER_PORT);

serversim::Account account(const std::string& email, const std::string& password) {
  serversim::Account a;
  a.email = email;
  a.password = password;
  a.nickname = email.substr(0, email.find('@'));
  a.groups.push_back(serversim::Group{0, "Friends"});
  return a;
}

class Online : public ::testing::Test {
 protected:
  virtual void configure(serversim::Settings& settings) { (void)settings; }

  void SetUp() override {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    settings.accounts = {account(kEmail, kPassword), account("amy@mail.example", "amy-pw")};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    // The notices after log-in belong to the dispatcher's tests; here they would only add noise.
    settings.behavior.send_after_login = false;
    configure(settings);
    testsupport::apply_write_style(settings.behavior);
    server = std::make_unique<serversim::Server>(settings);
    server->start();

    session = std::make_unique<PluginSession>("MRIM");
    auto& netlib = host().netlib();
    testsupport::route_plugin_to(netlib, *server, kServerName);
    session->set_account_text("EMail", kEmail);
    set_password(kPassword);
    ASSERT_TRUE(session->load());
  }

  void TearDown() override {
    if (session) {
      // The password reached the server, never the log.
      EXPECT_EQ(session->log().find(kPassword), std::string::npos);
      session.reset();
    }
    server->stop();
  }

  hostsim::Host& host() { return session->host(); }

  // For conditions nothing announces (such as the host's count of open sockets): looks often
  // until it holds or the bound passes.
  static bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  void set_password(const std::string& plain) { session->set_account_password(plain); }

  INT_PTR set_status(int code) { return session->call("/SetStatus", static_cast<WPARAM>(code)); }
  INT_PTR status() { return session->call("/GetStatus"); }

  std::vector<std::pair<intptr_t, intptr_t>> status_acks() {
    std::vector<std::pair<intptr_t, intptr_t>> result;
    for (const hostsim::AckRecord& ack : host().acks()) {
      if (ack.type != ACKTYPE_STATUS) continue;
      EXPECT_EQ(ack.module, "MRIM");
      EXPECT_EQ(ack.contact, 0u);
      EXPECT_EQ(ack.result, ACKRESULT_SUCCESS);
      result.emplace_back(static_cast<intptr_t>(ack.process), ack.param);
    }
    return result;
  }

  bool wait_for_ack(int from, int to) {
    return host().wait_until(
        [&] {
          auto acks = status_acks();
          return std::find(acks.begin(), acks.end(), std::make_pair<intptr_t, intptr_t>(from, to)) !=
                 acks.end();
        },
        kWaitMs);
  }

  bool wait_for_login_failure(int reason) {
    return host().wait_until(
        [&] {
          for (const hostsim::AckRecord& ack : host().acks())
            if (ack.type == ACKTYPE_LOGIN && ack.result == ACKRESULT_FAILED && ack.param == reason)
              return true;
          return false;
        },
        kWaitMs);
  }

  // Goes online with the code and waits for its acknowledgement.
  void go(int from, int to, int request = 0) {
    ASSERT_EQ(set_status(request != 0 ? request : to), 0);
    ASSERT_TRUE(wait_for_ack(from, to)) << session->log();
    ASSERT_EQ(status(), to);
  }

  // Every packet of the code the server has taken from the plug-in, in order.
  std::vector<Packet> from_plugin(uint32_t packet_code) {
    std::vector<Packet> result;
    for (const serversim::Received& r : server->received())
      if (r.packet.code == packet_code) result.push_back(r.packet);
    return result;
  }

  static uint32_t first_ul(const Packet& p) {
    serversim::Reader reader(p.body);
    return reader.ul().value_or(0xDEAD);
  }
  // The status value of a MRIM_CS_LOGIN2: after the two texts.
  static uint32_t login_status(const Packet& p) {
    serversim::Reader reader(p.body);
    reader.lps();
    reader.lps();
    return reader.ul().value_or(0xDEAD);
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

TEST_F(Online, GoesOnlineThroughTheAddressServiceAndAcknowledges) {
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  std::optional<serversim::SessionId> id = server->session_of(kEmail);
  ASSERT_TRUE(id);
  EXPECT_EQ(server->session(*id)->status, 1u);
  EXPECT_EQ(server->session(*id)->version, MRIM_PROTO_VERSION_MICROBLOG);
  EXPECT_EQ(server->session(*id)->client, MRIM_CLIENT_ATTRIBUTES);
  EXPECT_EQ(server->session(*id)->locale, "ru");
  EXPECT_EQ(server->address_queries(), 1);
  auto requests = host().netlib().open_requests();
  EXPECT_EQ(requests, (std::vector<std::string>{kDefaultService, "mrim.test:443"}));

  std::vector<Packet> logins = from_plugin(code::login2);
  ASSERT_EQ(logins.size(), 1u);
  serversim::Reader reader(logins[0].body);
  EXPECT_EQ(reader.lps(), kEmail);
  EXPECT_EQ(reader.lps(), kPassword) << "the password goes out decoded";
  EXPECT_EQ(reader.ul(), 1u);
  EXPECT_EQ(reader.lps(), "STATUS_ONLINE");
  EXPECT_EQ(reader.lps(), "");  // no title
  EXPECT_EQ(reader.lps(), "");  // and no description
  EXPECT_EQ(reader.ul(), MRIM_FEATURES);
  EXPECT_EQ(reader.lps(), MRIM_CLIENT_ATTRIBUTES);
  EXPECT_EQ(reader.lps(), "ru");
  EXPECT_EQ(reader.lps(), MRIM_CLIENT_DESCRIPTION);
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::change_status).size() == 1; }));
  EXPECT_EQ(first_ul(from_plugin(code::change_status)[0]), 1u);
  EXPECT_EQ(status_acks().size(), 1u);

  std::string log = session->log();
  for (const char* line :
       {"MRIM_ConnectAndLoginThread: started\r\n",
        "MRIM_ConnectAndLoginThread: connected to " MRIM_DEFAULT_SERVER_HOST ":443\r\n",
        "MRIM_ConnectAndLoginThread: received [mrim.test:443\r\r\n]\r\n",  // the log writes LF as CR LF
        "MRIM_ConnectAndLoginThread: server address is mrim.test:443\r\n",
        "MRIM_ConnectAndLoginThread: connected to server\r\n",
        "mrim_do_hello: MRIM_CS_HELLO_ACK received\r\n", "MRIM_ConnectAndLoginThread: MRIM_do_hello() ok\r\n",
        "mrim_do_login: MRIM_CS_LOGIN2(kim@mail.example,<pass>,1," MRIM_CLIENT_DESCRIPTION ") sended\r\n",
        "MRIM_ConnectAndLoginThread: MRIM_do_login() ok\r\n",
        "mrim_do_changestatus: MRIM_CS_CHANGE_STATUS(1) sended\r\n", "mrim_do_changestatus: ended ok\r\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(Online, TheLegacyProtocolLogsInAtRevision18) {
  session->set_account_dword("LegacyProtocol", 1);
  go(ID_STATUS_OFFLINE, ID_STATUS_AWAY);
  std::optional<serversim::SessionId> id = server->session_of(kEmail);
  ASSERT_TRUE(id);
  EXPECT_EQ(server->session(*id)->version, MRIM_PROTO_VERSION_LEGACY);
  std::vector<Packet> logins = from_plugin(code::login2);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].body, serversim::Writer()
                                .lps(kEmail)
                                .lps(kPassword)
                                .ul(MRIM_STATUS_AWAY)
                                .lps(MRIM_CLIENT_DESCRIPTION)
                                .take());
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::change_status).size() == 1; }));
  EXPECT_EQ(from_plugin(code::change_status)[0].body, serversim::Writer().ul(MRIM_STATUS_AWAY).take());
}

TEST_F(Online, TheAccountsServerReplacesTheBuiltInOneUnlessEmptyOrUnusable) {
  std::string service = "127.0.0.1:" + std::to_string(server->address_port());
  session->set_account_text("Server", "127.0.0.1");
  session->set_account_dword("Port", server->address_port());
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_EQ(host().netlib().open_requests(), (std::vector<std::string>{service, "mrim.test:443"}));
  EXPECT_NE(session->log().find("MRIM_ConnectAndLoginThread: connected to " + service + "\r\n"),
            std::string::npos);

  // Every log-in asks the address service afresh, with the settings as they are then.
  go(ID_STATUS_ONLINE, ID_STATUS_OFFLINE);
  session->set_account_text("Server", "");
  session->set_account_dword("Port", 70000);
  go(ID_STATUS_OFFLINE, ID_STATUS_AWAY);
  EXPECT_EQ(host().netlib().open_requests(),
            (std::vector<std::string>{service, "mrim.test:443", kDefaultService, "mrim.test:443"}));
}

TEST_F(Online, AwayFromOfflineLogsInAsAway) {
  go(ID_STATUS_OFFLINE, ID_STATUS_AWAY);
  ASSERT_EQ(from_plugin(code::login2).size(), 1u);
  EXPECT_EQ(login_status(from_plugin(code::login2)[0]), 2u);
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::change_status).size() == 1; }));
  EXPECT_EQ(first_ul(from_plugin(code::change_status)[0]), 2u);
}

TEST_F(Online, InvisibleCarriesTheInvisibleFlag) {
  go(ID_STATUS_OFFLINE, ID_STATUS_INVISIBLE);
  ASSERT_EQ(from_plugin(code::login2).size(), 1u);
  EXPECT_EQ(login_status(from_plugin(code::login2)[0]), 0x80000001u);
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::change_status).size() == 1; }));
  EXPECT_EQ(first_ul(from_plugin(code::change_status)[0]), 0x80000001u);
}

TEST_F(Online, NotAvailableIsServedAsAway) {
  go(ID_STATUS_OFFLINE, ID_STATUS_AWAY, ID_STATUS_NA);
  EXPECT_EQ(login_status(from_plugin(code::login2).at(0)), 2u);
  EXPECT_EQ(set_status(ID_STATUS_NA), 1);
  EXPECT_EQ(set_status(ID_STATUS_AWAY), 1);
  EXPECT_EQ(status_acks().size(), 1u);
}

TEST_F(Online, ChangeWhileOnlineSendsOnlyTheNewStatus) {
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  go(ID_STATUS_ONLINE, ID_STATUS_AWAY);
  go(ID_STATUS_AWAY, ID_STATUS_INVISIBLE);
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::change_status).size() == 3; }));
  std::vector<uint32_t> announced;
  for (const Packet& p : from_plugin(code::change_status)) announced.push_back(first_ul(p));
  EXPECT_EQ(announced, (std::vector<uint32_t>{1, 2, 0x80000001}));
  EXPECT_EQ(from_plugin(code::hello).size(), 1u);
  EXPECT_EQ(from_plugin(code::login2).size(), 1u);
  EXPECT_EQ(server->sessions().size(), 1u) << "one connection throughout";
  EXPECT_EQ(server->address_queries(), 1) << "a change on the open connection asks nobody";
}

TEST_F(Online, RepeatedOrUnknownRequestsChangeNothing) {
  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 1) << "offline while offline";
  for (int code : {0, 40070, 40074, 40076, 40077, 40079, 12345}) EXPECT_EQ(set_status(code), 1) << code;
  EXPECT_TRUE(status_acks().empty());
  EXPECT_EQ(server->address_queries(), 0);

  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::change_status).size() == 1; }));
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 1) << "same status";
  EXPECT_EQ(set_status(40074), 1);
  EXPECT_EQ(status(), ID_STATUS_ONLINE);
  EXPECT_EQ(status_acks().size(), 1u);
  EXPECT_EQ(server->address_queries(), 1);
}

TEST_F(Online, GoingOfflineAcknowledgesClosesAndMarksContactsOffline) {
  hostsim::Handle amy = host().add_contact("MRIM");
  hostsim::Handle bob = host().add_contact("MRIM");
  hostsim::Handle foreign = host().add_contact("OTHERPROTO");
  go(ID_STATUS_OFFLINE, ID_STATUS_AWAY);
  auto word = [](DWORD v) { return hostsim::Setting::word(static_cast<WORD>(v)); };
  host().profile().write_setting(amy, "MRIM", "Status", word(ID_STATUS_ONLINE));
  host().profile().write_setting(bob, "MRIM", "Status", word(ID_STATUS_OFFLINE));
  host().profile().write_setting(foreign, "OTHERPROTO", "Status", word(ID_STATUS_ONLINE));
  serversim::SessionId id = server->session_of(kEmail).value();

  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 0);
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  // The acknowledgement may come from the thread that was still sending the previous one.
  ASSERT_TRUE(wait_for_ack(ID_STATUS_AWAY, ID_STATUS_OFFLINE));
  EXPECT_EQ(host().netlib().open_connections(), 0);
  EXPECT_EQ(host().setting(amy, "MRIM", "Status"), word(ID_STATUS_OFFLINE));
  EXPECT_EQ(host().setting(foreign, "OTHERPROTO", "Status"), word(ID_STATUS_ONLINE));
  ASSERT_TRUE(server->wait_until([&] { return !server->session(id)->open; }));
  EXPECT_TRUE(from_plugin(code::logout).empty()) << "the server learns of the end from the closed connection";

  // The listener's own call after the receiver closed changes nothing more (or, caught with
  // bytes in hand, it drops them; or, coming round after the close, it finds no session and
  // makes no call at all): no third status, no new session.
  EXPECT_FALSE(
      host().wait_until([&] { return status_acks().size() > 2 || server->sessions().size() > 1; }, 2000))
      << session->log();
  EXPECT_EQ(status_acks().size(), 2u);
  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 1);
}

TEST_F(Online, WrongPasswordStaysOfflineAndIsReportedAsAFailedLogin) {
  set_password("not-the-password");
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(session->wait_for_log("mrim_do_login: ended with error\r\n")) << session->log();
  ASSERT_TRUE(session->wait_for_log("MRIM_ConnectAndLoginThread: started\r\n"));
  EXPECT_EQ(session->log().find("MRIM_do_login() ok"), std::string::npos);
  EXPECT_EQ(session->log().find("not-the-password"), std::string::npos);
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  ASSERT_TRUE(wait_for_login_failure(LOGINERR_WRONGPASSWORD)) << session->log();
  EXPECT_TRUE(status_acks().empty());
  EXPECT_TRUE(from_plugin(code::change_status).empty());
  EXPECT_FALSE(server->session_of(kEmail).has_value());
}

TEST_F(Online, NoServerAndNoAnswerAreReportedAsFailedLogins) {
  // Every MRIM address leads to a port nobody listens on: the connect ends at once.
  host().netlib().add_route(kServerName, 443, "127.0.0.1", 1);
  host().netlib().add_route(MRIM_FALLBACK_SERVER_HOST, 443, "127.0.0.1", 1);
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait_for_login_failure(LOGINERR_NOSERVER)) << session->log();

  testsupport::route_plugin_to(host().netlib(), *server, kServerName);
  session->set_account_dword("Timeout", 1);
  server->add_fault({code::hello, serversim::Fault::hold});
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait_for_login_failure(LOGINERR_TIMEOUT)) << session->log();
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  EXPECT_TRUE(status_acks().empty());
  EXPECT_TRUE(eventually([&] { return host().netlib().open_connections() == 0; }));
}

TEST_F(Online, AStatusThatCannotBeSentClosesTheSessionAndTheNextRequestLogsInAfresh) {
  // The greeting and the log-in go out; the announcement finds the connection broken. The
  // filter reads the packets' codes, so they travel in clear.
  host().write_setting(0, "MRIM", "Encryption", hostsim::Setting::byte(0));
  host().netlib().filter_sends([](const BYTE* data, size_t length) {
    uint32_t msg = 0;
    if (length >= 16) memcpy(&msg, data + 12, sizeof msg);
    return msg != code::change_status;
  });
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait_for_login_failure(LOGINERR_NOSERVER)) << session->log();
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  EXPECT_TRUE(eventually([&] { return host().netlib().open_connections() == 0; }));

  host().netlib().filter_sends(nullptr);
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_EQ(from_plugin(code::login2).size(), 2u) << "logged in again on a new connection";
  EXPECT_EQ(status_acks().size(), 1u);
}

TEST_F(Online, AHostCallingBackFromItsAcknowledgementHookIsNotBlocked) {
  // Like a host that hands each acknowledgement to another thread and waits for it: that
  // thread asks for the status and, once online, goes offline again.
  struct Callbacks {
    std::atomic<int> stuck{0};
    std::mutex mutex;
    std::vector<std::thread> helpers;
  };
  auto callbacks = std::make_shared<Callbacks>();
  hostsim::Handle hook = host().hook_event(ME_PROTO_ACK, [this, callbacks](WPARAM, LPARAM l) -> INT_PTR {
    const auto* ack = reinterpret_cast<const AckData*>(l);
    if (ack->type != ACKTYPE_STATUS) return 0;
    auto done = std::make_shared<std::atomic<bool>>(false);
    bool go_offline = ack->param == ID_STATUS_ONLINE;
    {
      std::lock_guard lock(callbacks->mutex);
      callbacks->helpers.emplace_back([this, done, go_offline] {
        status();
        if (go_offline) set_status(ID_STATUS_OFFLINE);
        *done = true;
      });
    }
    if (!eventually([&] { return done->load(); })) ++callbacks->stuck;
    return 0;
  });
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  EXPECT_TRUE(wait_for_ack(ID_STATUS_ONLINE, ID_STATUS_OFFLINE)) << session->log();
  host().unhook_event(hook);
  {
    std::lock_guard lock(callbacks->mutex);
    for (std::thread& helper : callbacks->helpers) helper.join();
    callbacks->helpers.clear();
  }
  EXPECT_EQ(callbacks->stuck, 0);
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  auto acks = status_acks();
  ASSERT_GE(acks.size(), 2u);
  EXPECT_EQ(acks[0].second, ID_STATUS_ONLINE);
  EXPECT_EQ(acks[1].second, ID_STATUS_OFFLINE);
}

TEST_F(Online, AfterAWrongPasswordTheCorrectedOneLogsInAfresh) {
  set_password("not-the-password");
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(session->wait_for_log("mrim_do_login: ended with error\r\n")) << session->log();
  // The refused connection is not kept for the next attempt.
  EXPECT_TRUE(eventually([&] { return host().netlib().open_connections() == 0; }));
  set_password(kPassword);
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_EQ(from_plugin(code::login2).size(), 2u);
  ASSERT_TRUE(server->session_of(kEmail).has_value());
}

TEST_F(Online, SecondLoginOfTheAccountTakesThePlugInOffline) {
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  serversim::Client other;
  ASSERT_TRUE(other.connect(server->mrim_port()));
  std::optional<Packet> reply = other.login(kEmail, kPassword);
  ASSERT_TRUE(reply && reply->code == code::login_ack);
  // Whether the forced log-out or the closed connection reaches the plug-in first, it goes
  // offline with an acknowledgement.
  EXPECT_TRUE(wait_for_ack(ID_STATUS_ONLINE, ID_STATUS_OFFLINE)) << session->log();
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  EXPECT_TRUE(eventually([&] { return host().netlib().open_connections() == 0; }));
}

TEST_F(Online, LostConnectionGoesOfflineAndReconnects) {
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  serversim::SessionId first = server->session_of(kEmail).value();
  uint32_t first_hello = from_plugin(code::hello).at(0).seq;
  ASSERT_TRUE(server->close_session(first));
  ASSERT_TRUE(wait_for_ack(ID_STATUS_ONLINE, ID_STATUS_OFFLINE)) << session->log();
  EXPECT_TRUE(session->wait_for_log("ListenThread: CallService(MS_NETLIB_GETMOREPACKETS,,,) == 0\r\n"));
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  EXPECT_TRUE(eventually([&] { return host().netlib().open_connections() == 0; }));

  go(ID_STATUS_OFFLINE, ID_STATUS_AWAY);
  std::optional<serversim::SessionId> second = server->session_of(kEmail);
  ASSERT_TRUE(second);
  EXPECT_NE(*second, first);
  ASSERT_EQ(from_plugin(code::hello).size(), 2u);
  EXPECT_GT(from_plugin(code::hello)[1].seq, first_hello) << "numbering goes on across connections";
  EXPECT_EQ(status_acks().size(), 3u);
}

TEST_F(Online, OfflineRequestDuringTheConnectEndsIt) {
  server->add_fault({code::login2, serversim::Fault::hold});
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::login2).size() == 1; }));
  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 0) << "the log-in under way is called off";
  EXPECT_TRUE(eventually([&] { return host().netlib().open_connections() == 0; }));
  server->release_held();
  // No status change, and the log-in's end is no failure to report: the user chose it.
  EXPECT_FALSE(host().wait_until([&] { return !status_acks().empty() || !host().acks().empty(); }, 1500));
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
  EXPECT_TRUE(from_plugin(code::change_status).empty());
}

TEST_F(Online, TwoQuickRequestsLogInOnceAndAnnounceTheLast) {
  // The greeting's answer waits until both requests are in, however slow the machine.
  server->add_fault({code::hello, serversim::Fault::hold});
  EXPECT_EQ(set_status(ID_STATUS_ONLINE), 0);
  EXPECT_EQ(set_status(ID_STATUS_AWAY), 0);  // the log-in under way takes the newer goal
  ASSERT_TRUE(server->wait_until([&] { return from_plugin(code::hello).size() == 1; }));
  server->release_held();
  ASSERT_TRUE(host().wait_until([&] { return status_acks().size() == 1; }, kWaitMs)) << session->log();
  EXPECT_EQ(status_acks()[0], (std::pair<intptr_t, intptr_t>{ID_STATUS_OFFLINE, ID_STATUS_AWAY}));
  EXPECT_EQ(status(), ID_STATUS_AWAY);
  EXPECT_EQ(from_plugin(code::hello).size(), 1u);
}

class OnlineWithZeroSeqHello : public Online {
  void configure(serversim::Settings& settings) override { settings.behavior.hello_ack_zero_seq = true; }
};

TEST_F(OnlineWithZeroSeqHello, AcceptsTheAcknowledgement) {
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_NE(session->log().find("mrim_do_hello: ended ok\r\n"), std::string::npos);
}

TEST_F(Online, OlderHostGetsTheShortOpenRecord) {
  host().netlib().refuse_long_open_record(true);
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  // The host records only the opens it accepted: both came with the 16-byte record.
  EXPECT_EQ(host().netlib().open_requests(), (std::vector<std::string>{kDefaultService, "mrim.test:443"}));
  EXPECT_EQ(server->address_queries(), 1);
}

// Address-service replies and failures that lead to the fallback address.
struct FallbackCase {
  const char* name;
  serversim::AddressMode mode;
  const char* reply;  // null: the service is not reachable at all
};

class AddressFallback : public Online, public ::testing::WithParamInterface<FallbackCase> {
  void configure(serversim::Settings& settings) override {
    settings.behavior.address_mode = GetParam().mode;
    if (GetParam().reply != nullptr) settings.behavior.address_reply = GetParam().reply;
  }
};

TEST_P(AddressFallback, ConnectsToTheFallbackAddress) {
  if (GetParam().reply == nullptr) {
    // The address service's name leads to a port nobody listens on.
    host().netlib().add_route(MRIM_DEFAULT_SERVER_HOST, MRIM_DEFAULT_SERVER_PORT, "127.0.0.1", 1);
  }
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  std::vector<std::string> requests = host().netlib().open_requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back(), MRIM_FALLBACK_SERVER_ADDRESS);
  EXPECT_EQ(session->log().find("server address is"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AddressFallback,
    ::testing::Values(FallbackCase{"PortOutOfRange", serversim::AddressMode::reply, "mrim.test:65536\r\n"},
                      FallbackCase{"TwoColons", serversim::AddressMode::reply, "mrim.test:B:443\r\n"},
                      FallbackCase{"NoColon", serversim::AddressMode::reply, "mrim.test\r\n"},
                      FallbackCase{"ClosedWithoutReply", serversim::AddressMode::close, ""},
                      FallbackCase{"Unreachable", serversim::AddressMode::reply, nullptr},
                      FallbackCase{"SilentAndNoMrimServerEither", serversim::AddressMode::hold, ""}),
    [](const ::testing::TestParamInfo<FallbackCase>& info) { return std::string(info.param.name); });

class AddressWithAnotherPort : public Online {
  void configure(serversim::Settings& settings) override {
    settings.behavior.address_reply = std::string(kServerName) + ":2041\n";
  }
};

// Servers run MRIM on other ports than 443; the one the address service names is dialled.
TEST_F(AddressWithAnotherPort, IsDialled) {
  host().netlib().add_route(kServerName, 2041, "127.0.0.1", server->mrim_port());
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_EQ(host().netlib().open_requests().back(), "mrim.test:2041");
}

// Users type the MRIM server's own port as the account's server. It says nothing until spoken
// to; the log-in goes on over the connection already open, and nothing else is dialled.
TEST_F(Online, AServerTypedAsItsMrimPortIsLoggedInToOverTheOneConnection) {
  host().netlib().add_route(kServerName, 2041, "127.0.0.1", server->mrim_port());
  session->set_account_text("Server", kServerName);
  session->set_account_dword("Port", 2041);
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_EQ(host().netlib().open_requests(), std::vector<std::string>{"mrim.test:2041"});
  EXPECT_EQ(server->sessions().size(), 1u);
  EXPECT_EQ(server->address_queries(), 0);
}

class SlowAddressService : public Online {
  void configure(serversim::Settings& settings) override {
    settings.behavior.address_reply = std::string(kServerName) + ":2041\n";
    settings.behavior.address_reply_delay = std::chrono::milliseconds(MRIM_ADDRESS_QUERY_TIMEOUT_MS + 1500);
  }
};

// A busy service answers after its port was taken for an MRIM server; the log-in there fails on
// its line, and the server that line names is dialled rather than the built-in fallback.
TEST_F(SlowAddressService, ItsLateLineStillNamesTheServer) {
  host().netlib().add_route(kServerName, 2041, "127.0.0.1", server->mrim_port());
  go(ID_STATUS_OFFLINE, ID_STATUS_ONLINE);
  EXPECT_EQ(host().netlib().open_requests().back(), "mrim.test:2041");
}

// With no server anywhere the user learns what was tried, not only that it failed.
TEST_F(Online, WhenNothingAnswersTheConnectionLineSaysWhatWasTried) {
  host().netlib().add_route(MRIM_DEFAULT_SERVER_HOST, MRIM_DEFAULT_SERVER_PORT, "127.0.0.1", 1);
  host().netlib().add_route(MRIM_FALLBACK_SERVER_HOST, 443, "127.0.0.1", 1);
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait_for_login_failure(LOGINERR_NOSERVER)) << session->log();
  char line[512] = {};
  session->call("/ConnectionSecurity", sizeof line, reinterpret_cast<LPARAM>(line));
  const std::string tried = kDefaultService + " refused the connection; the fallback " +
                            MRIM_FALLBACK_SERVER_ADDRESS + " refused the connection";
  EXPECT_EQ(std::string(line), "not connected: " + tried);
  EXPECT_NE(session->log().find(tried), std::string::npos) << session->log();
}

}  // namespace
