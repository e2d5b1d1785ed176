// The account's encryption choices end to end: the real MRIM.so in the host stand-in against the
// server stand-in with and without TLS on offer. What is required and cannot be had is a
// refusal with its reason, never retried and never followed by the password; what is merely
// wanted gives way to a server that offers none; the certificate is pinned on first use and a
// different one is refused until the user clears the pin.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serversim/server.h"
#include "serversim/wire.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"
#include "support/support.h"

namespace {

using testsupport::PluginSession;
namespace code = serversim::code;

constexpr int kWaitMs = 30000;
const char* const kEmail = "kim@mail.example";
const char* const kPassword = "kim-s3cret-pw";
const char* const kServerName = "mrim.test";

class Encryption : public ::testing::Test {
 protected:
  void start(bool offered) {
    serversim::Settings settings;
    serversim::Account kim;
    kim.email = kEmail;
    kim.password = kPassword;
    settings.accounts = {kim};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    settings.behavior.tls = offered;
    server = std::make_unique<serversim::Server>(settings);
    server->start();
    session = std::make_unique<PluginSession>("MRIM");
    testsupport::route_plugin_to(host().netlib(), *server, kServerName);
    session->set_account_text("EMail", kEmail);
    session->set_account_password(kPassword);
    ASSERT_TRUE(session->load());
  }

  void TearDown() override {
    if (session) {
      EXPECT_EQ(session->log().find(kPassword), std::string::npos);
    }
    session.reset();
    if (server) server->stop();
  }

  hostsim::Host& host() { return session->host(); }
  void set_encryption(BYTE mode) {
    host().profile().write_setting(0, "MRIM", "Encryption", hostsim::Setting::byte(mode));
  }
  std::string security(INT_PTR* secure = nullptr) {
    char line[256] = "";
    INT_PTR result = session->call("/ConnectionSecurity", sizeof line, reinterpret_cast<LPARAM>(line));
    if (secure != nullptr) *secure = result;
    return line;
  }
  std::string pin() {
    auto value = host().setting(0, "MRIM", "CertificatePin");
    return value ? value->text : "";
  }
  size_t login_failures() {
    size_t count = 0;
    for (const hostsim::AckRecord& ack : host().acks())
      if (ack.type == ACKTYPE_LOGIN && ack.result == ACKRESULT_FAILED && ack.param == LOGINERR_WRONGPROTOCOL)
        ++count;
    return count;
  }
  size_t received(uint32_t packet_code) {
    size_t count = 0;
    for (const serversim::Received& r : server->received())
      if (r.packet.code == packet_code) ++count;
    return count;
  }
  bool go_online() {
    session->call("/SetStatus", ID_STATUS_ONLINE);
    return host().wait_until([&] { return session->call("/GetStatus") == ID_STATUS_ONLINE; }, kWaitMs);
  }
  void go_offline() {
    session->call("/SetStatus", ID_STATUS_OFFLINE);
    ASSERT_TRUE(server->wait_until([&] { return !server->session_of(kEmail).has_value(); }));
  }
  // Asks to go online and waits for the refusal; the log-in never went out.
  void expect_refused(size_t refusals, const std::string& reason) {
    const size_t logins = received(code::login2);
    session->call("/SetStatus", ID_STATUS_ONLINE);
    ASSERT_TRUE(host().wait_until([&] { return login_failures() == refusals; }, kWaitMs)) << session->log();
    EXPECT_EQ(session->call("/GetStatus"), ID_STATUS_OFFLINE);
    EXPECT_NE(security().find(reason), std::string::npos) << security();
    EXPECT_EQ(received(code::login2), logins) << "the password went to a server that was not trusted";
    // A plan would be written right after the refusal's acknowledgement.
    EXPECT_FALSE(host().wait_until(
        [&] {
          auto plan = host().setting(0, "MRIM", "ReconnectIn");
          return plan && plan->number != 0;
        },
        500))
        << "a refusal is not tried again by itself";
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

TEST_F(Encryption, RequiredButNotOfferedIsRefused) {
  start(false);
  set_encryption(2);
  expect_refused(1, "the server offers no encryption");
}

TEST_F(Encryption, WantedButNotOfferedGoesOnInClear) {
  start(false);
  ASSERT_TRUE(go_online()) << session->log();
  INT_PTR secure = -1;
  EXPECT_EQ(security(&secure), "not encrypted");
  EXPECT_EQ(secure, 0);
  EXPECT_EQ(received(code::tls_request), 1u);
  EXPECT_FALSE(server->session(*server->session_of(kEmail))->encrypted);
}

TEST_F(Encryption, NeverDoesNotAsk) {
  start(true);
  set_encryption(0);
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_EQ(received(code::tls_request), 0u);
  EXPECT_FALSE(server->session(*server->session_of(kEmail))->encrypted);
  EXPECT_EQ(pin(), "");
}

// A wrong pin, the right one as people paste it, a certificate that changed, and a cleared pin.
TEST_F(Encryption, OnlyThePinnedCertificateIsAccepted) {
  start(true);
  const std::string first = server->certificate_sha256();
  session->set_account_text("CertificatePin", std::string(64, '0'));
  expect_refused(1, "the server's certificate is not trusted");

  std::string pasted;
  for (size_t i = 0; i < first.size(); i += 2) pasted += (i ? ":" : "") + first.substr(i, 2);
  for (char& c : pasted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  session->set_account_text("CertificatePin", pasted);
  ASSERT_TRUE(go_online()) << session->log();
  INT_PTR secure = 0;
  EXPECT_NE(security(&secure).find(first), std::string::npos);
  EXPECT_EQ(secure, 1);
  go_offline();

  server->renew_certificate();
  expect_refused(2, "the server's certificate is not trusted");
  EXPECT_EQ(pin(), pasted) << "a refused certificate does not replace the pin";
  // The user sees what changed: the new certificate and the pinned one.
  EXPECT_NE(security().find(server->certificate_sha256()), std::string::npos) << security();
  EXPECT_NE(security().find(first), std::string::npos) << security();

  session->set_account_text("CertificatePin", "");
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_EQ(pin(), server->certificate_sha256());
  EXPECT_NE(pin(), first);
}

}  // namespace
