// The session's truth under a misbehaving server, end to end: the real MRIM.so in the host
// stand-in against the server stand-in, which closes, resets, stalls, drips, cuts a packet short
// or sends garbage in each phase of a session (greeting, log-in, mid-list, online, mid-message).
// After each run the account's status is true, every log-in attempt had one result, every
// message was confirmed or failed, and the account came back by itself. Beside the table: the
// cases that must not come back (a forced log-out, a refused password, "Reconnect" off, the user
// choosing offline).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "serversim/server.h"
#include "serversim/wire.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"
#include "support/support.h"

namespace {

using serversim::Fault;
using testsupport::PluginSession;
namespace code = serversim::code;

constexpr int kWaitMs = 30000;
// The reply time-out of these runs: a stalled server is given up on after it.
constexpr DWORD kTimeoutSeconds = 3;
const char* const kEmail = "kim@mail.example";
const char* const kPassword = "kim-s3cret-pw";
const char* const kFriend = "amy@mail.example";
const char* const kServerName = "mrim.test";

enum class Phase { greeting, login, list, online, message };

serversim::Account account(const std::string& email, const std::string& password) {
  serversim::Account a;
  a.email = email;
  a.password = password;
  a.nickname = email.substr(0, email.find('@'));
  a.groups.push_back(serversim::Group{0, "Friends"});
  return a;
}

class SessionTruth : public ::testing::Test {
 protected:
  virtual void configure(serversim::Settings&) {}

  void SetUp() override {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    serversim::Account kim = account(kEmail, kPassword);
    kim.contacts.push_back(serversim::Contact{kFriend, 0, 0, 1, "Amy"});
    settings.accounts = {kim, account(kFriend, "amy-pw")};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    configure(settings);
    server = std::make_unique<serversim::Server>(settings);
    server->start();

    session = std::make_unique<PluginSession>("MRIM");
    testsupport::route_plugin_to(host().netlib(), *server, kServerName);
    session->set_account_text("EMail", kEmail);
    session->set_account_password(kPassword);
    session->set_account_dword("Timeout", kTimeoutSeconds);
    ASSERT_TRUE(session->load());
  }

  void TearDown() override {
    if (session) {
      EXPECT_EQ(session->log().find(kPassword), std::string::npos);
      session.reset();
    }
    server->stop();
  }

  hostsim::Host& host() { return session->host(); }
  INT_PTR set_status(int code) { return session->call("/SetStatus", static_cast<WPARAM>(code)); }
  INT_PTR status() { return session->call("/GetStatus"); }

  std::vector<hostsim::AckRecord> acks_of(int type) {
    std::vector<hostsim::AckRecord> found;
    for (const hostsim::AckRecord& ack : host().acks())
      if (ack.type == type) found.push_back(ack);
    return found;
  }
  // The status the host was told last (offline before anything).
  intptr_t announced() {
    auto acks = acks_of(ACKTYPE_STATUS);
    return acks.empty() ? ID_STATUS_OFFLINE : acks.back().param;
  }
  size_t logins() {
    size_t count = 0;
    for (const hostsim::AckRecord& ack : acks_of(ACKTYPE_STATUS))
      if (static_cast<intptr_t>(ack.process) == ID_STATUS_OFFLINE && ack.param != ID_STATUS_OFFLINE) ++count;
    return count;
  }
  bool online_on_both_sides() {
    return status() == ID_STATUS_ONLINE && announced() == ID_STATUS_ONLINE && server->session_of(kEmail);
  }
  bool wait(const std::function<bool()>& condition, int ms = kWaitMs) {
    return host().wait_until(condition, ms);
  }

  // Sends a message to the friend as the host's message window does; returns its number.
  INT_PTR send_message(const char* text) {
    HANDLE contact = nullptr;
    for (hostsim::Handle c : host().profile().contacts())
      if (auto email = host().setting(c, "MRIM", "EMail"); email && email->text == kFriend)
        contact = reinterpret_cast<HANDLE>(c);
    if (contact == nullptr) {
      contact = reinterpret_cast<HANDLE>(host().add_contact("MRIM"));
      host().write_setting(reinterpret_cast<hostsim::Handle>(contact), "MRIM", "EMail",
                           hostsim::Setting::string(kFriend));
    }
    ProtocolCall call{contact, "MRIM/SendMsg", 0, reinterpret_cast<LPARAM>(text)};
    return host().call_service("MRIM/SendMsg", 0, reinterpret_cast<LPARAM>(&call));
  }

  // Every log-in attempt ended in exactly one result: online, or a failure for the host.
  void expect_one_result_per_attempt() {
    const std::string log = session->log(), line = "MRIM_ConnectAndLoginThread: started\r\n";
    size_t attempts = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++attempts;
    EXPECT_EQ(logins() + acks_of(ACKTYPE_LOGIN).size(), attempts) << session->log();
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

// --- every fault in every phase ------------------------------------------------------------------

// Each case runs in clear and inside TLS, where the faults strike the encrypted stream: a cut,
// a drip or garbage land in the middle of records.
class FaultTable : public SessionTruth, public ::testing::WithParamInterface<std::tuple<Phase, Fault, bool>> {
  void configure(serversim::Settings& settings) override { settings.behavior.tls = std::get<2>(GetParam()); }
};

TEST_P(FaultTable, TheAccountEndsTrueAndComesBackByItself) {
  auto [phase, fault, tls] = GetParam();
  serversim::FaultRule rule;
  rule.fault = fault;
  rule.times = 1;
  rule.delay = std::chrono::milliseconds(5);  // the drip's pause between bytes
  if (phase == Phase::greeting) rule.request = code::hello;
  if (phase == Phase::login) rule.request = code::login2;
  if (phase == Phase::list) rule.push = code::contact_list2;
  if (phase == Phase::message) rule.request = code::message;
  if (phase != Phase::online) server->add_fault(rule);

  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait([&] { return logins() == 1 || !acks_of(ACKTYPE_LOGIN).empty(); })) << session->log();
  if (phase == Phase::online) {
    ASSERT_TRUE(wait([&] { return online_on_both_sides(); })) << session->log();
    ASSERT_TRUE(server->inject(*server->session_of(kEmail), rule));
  }
  // Online on both sides in the end: a session that was lost came back by itself, and one
  // that survived (a dripping server, stray garbage) is still there.
  ASSERT_TRUE(wait([&] { return online_on_both_sides(); })) << session->log();

  // Messages: the first is the victim of the mid-message fault, and elsewhere a probe of the
  // connection (a stalled session is noticed only when an answer is owed and nothing at all is
  // heard, so the first may still hear the tail of the log-in's notices). Each one ends
  // confirmed or failed, and one goes through within a few.
  std::vector<INT_PTR> sent;
  do {
    ASSERT_TRUE(wait([&] { return online_on_both_sides(); })) << session->log();
    sent.push_back(send_message("Are you there?"));
    ASSERT_NE(sent.back(), 0);
    ASSERT_TRUE(wait([&] { return acks_of(ACKTYPE_MESSAGE).size() == sent.size(); })) << session->log();
  } while (acks_of(ACKTYPE_MESSAGE).back().result != ACKRESULT_SUCCESS && sent.size() < 4);
  auto messages = acks_of(ACKTYPE_MESSAGE);
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(messages[i].process, static_cast<uintptr_t>(sent[i]));
  EXPECT_EQ(messages.back().result, ACKRESULT_SUCCESS) << session->log();

  expect_one_result_per_attempt();
  // A fault that ends the session is followed by a new one; drip and garbage in a session
  // that goes on need none, except where the garbage took the place of an answer the log-in
  // waited for.
  bool ends_session = fault != Fault::drip && fault != Fault::garbage;
  bool garbage_answer = fault == Fault::garbage && (phase == Phase::greeting || phase == Phase::login);
  if (ends_session || garbage_answer)
    EXPECT_GE(server->sessions().size(), 2u) << session->log();
  else
    EXPECT_EQ(server->sessions().size(), 1u) << session->log();
  EXPECT_EQ(status(), announced()) << "the host was told the status the account has";
  EXPECT_EQ(server->session(*server->session_of(kEmail))->encrypted, tls);
}

std::string fault_name(Fault fault) {
  switch (fault) {
    case Fault::close:
      return "Close";
    case Fault::reset:
      return "Reset";
    case Fault::stall:
      return "Stall";
    case Fault::drip:
      return "Drip";
    case Fault::close_mid_packet:
      return "Cut";
    case Fault::garbage:
      return "Garbage";
    default:
      return "Other";
  }
}

std::string phase_name(Phase phase) {
  const char* names[] = {"Greeting", "Login", "List", "Online", "Message"};
  return names[static_cast<int>(phase)];
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, FaultTable,
                         ::testing::Combine(::testing::Values(Phase::greeting, Phase::login, Phase::list,
                                                              Phase::online, Phase::message),
                                            ::testing::Values(Fault::close, Fault::reset, Fault::stall,
                                                              Fault::drip, Fault::close_mid_packet,
                                                              Fault::garbage),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return phase_name(std::get<0>(info.param)) + fault_name(std::get<1>(info.param)) +
                                  (std::get<2>(info.param) ? "InTls" : "");
                         });

// --- what never comes back by itself -------------------------------------------------------------

TEST_F(SessionTruth, ALogoutInPlaceOfTheLoginAnswerIsOneResultAndNoReconnect) {
  server->add_fault({code::login2, Fault::hold});
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(server->wait_until([&] {
    for (const serversim::Received& r : server->received())
      if (r.packet.code == code::login2) return true;
    return false;
  }));
  serversim::SessionId id = server->sessions().back().id;
  ASSERT_TRUE(server->send(id, serversim::Packet{code::logout, 0, serversim::Writer().ul(0x10).take()}));
  ASSERT_TRUE(wait([&] { return acks_of(ACKTYPE_LOGIN).size() == 1; })) << session->log();
  EXPECT_EQ(acks_of(ACKTYPE_LOGIN)[0].param, LOGINERR_OTHERLOCATION);
  // Well past the reply time-out and the first reconnect: still the one result, still offline.
  EXPECT_FALSE(wait([&] { return acks_of(ACKTYPE_LOGIN).size() > 1 || server->sessions().size() > 1; },
                    (kTimeoutSeconds + 2) * 1000));
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
}

TEST_F(SessionTruth, AForcedLogoutWhileOnlineIsNotFoughtBack) {
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait([&] { return online_on_both_sides(); })) << session->log();
  ASSERT_TRUE(server->force_logout(kEmail, 0x10));
  ASSERT_TRUE(wait([&] { return announced() == ID_STATUS_OFFLINE; })) << session->log();
  EXPECT_FALSE(wait([&] { return server->sessions().size() > 1; }, 2500)) << "no reconnect after a log-out";
  EXPECT_EQ(acks_of(ACKTYPE_LOGIN).size(), 1u);
}

class WrongPassword : public SessionTruth {
  void configure(serversim::Settings& settings) override { settings.accounts[0].password = "another"; }
};

TEST_F(WrongPassword, IsReportedOnceAndNeverRetried) {
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait([&] { return acks_of(ACKTYPE_LOGIN).size() == 1; })) << session->log();
  EXPECT_EQ(acks_of(ACKTYPE_LOGIN)[0].param, LOGINERR_WRONGPASSWORD);
  EXPECT_FALSE(wait([&] { return server->sessions().size() > 1; }, 2500)) << "no second try";
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
}

TEST_F(SessionTruth, ReconnectOffLeavesTheAccountOffline) {
  host().write_setting(0, "MRIM", "Reconnect", hostsim::Setting::byte(0));
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait([&] { return online_on_both_sides(); })) << session->log();
  ASSERT_TRUE(server->inject(*server->session_of(kEmail), Fault::reset));
  ASSERT_TRUE(wait([&] { return announced() == ID_STATUS_OFFLINE; })) << session->log();
  EXPECT_FALSE(wait([&] { return server->sessions().size() > 1; }, 2500));
  EXPECT_EQ(status(), ID_STATUS_OFFLINE);
}

TEST_F(SessionTruth, OfflineWhileAReconnectIsPlannedCallsItOff) {
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(wait([&] { return online_on_both_sides(); })) << session->log();
  ASSERT_TRUE(server->inject(*server->session_of(kEmail), Fault::close));
  // The host hears when the next try comes.
  ASSERT_TRUE(wait([&] {
    auto next = host().setting(0, "MRIM", "ReconnectIn");
    return next && next->number >= 1;
  })) << session->log();
  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 0) << "the planned reconnect is something to call off";
  EXPECT_EQ(host().setting(0, "MRIM", "ReconnectIn")->number, 0u);
  EXPECT_FALSE(wait([&] { return server->sessions().size() > 1; }, 2500));
  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 1) << "nothing left to call off";
}

TEST_F(SessionTruth, UnloadDuringTheGreetingReportsNothing) {
  server->add_fault({code::hello, Fault::hold});
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(server->wait_until([&] { return !server->received().empty(); }));
  session->unload();
  EXPECT_TRUE(host().acks().empty()) << "no log-in failure, no status: the host is unloading us";
}

class LongList : public SessionTruth {
  void configure(serversim::Settings& settings) override {
    for (int i = 0; i < 5000; ++i)
      settings.accounts[0].contacts.push_back(
          serversim::Contact{"many" + std::to_string(i) + "@mail.example", 0, 0, 1, "Many"});
  }
};

// Going offline while the server's list is being applied: nothing of that list stays shown online.
TEST_F(LongList, OfflineDuringItsLoadLeavesNoContactOnline) {
  ASSERT_EQ(set_status(ID_STATUS_ONLINE), 0);
  ASSERT_TRUE(session->wait_for_log("MRIM_HSP: MRIM_CS_CONTACT_LIST2 received", kWaitMs));
  EXPECT_EQ(set_status(ID_STATUS_OFFLINE), 0);
  ASSERT_TRUE(session->wait_for_log("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled", kWaitMs));
  size_t online = 0;
  for (hostsim::Handle c : host().profile().contacts())
    if (auto status = host().setting(c, "MRIM", "Status"); status && status->number != ID_STATUS_OFFLINE)
      ++online;
  EXPECT_EQ(online, 0u);
  EXPECT_EQ(announced(), ID_STATUS_OFFLINE);
}

}  // namespace
