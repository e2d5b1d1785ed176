// The account's encryption choices end to end: the real MRIM.so in the host stand-in against the
// server stand-in with and without TLS on offer. What is required and cannot be had is a
// refusal with its reason, never retried and never followed by the password; what is merely
// wanted gives way to a server that offers none; the certificate is pinned on first use and a
// different one is refused until the user clears the pin.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serversim/server.h"
#include "serversim/tls.h"
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
  void start(bool offered, const std::function<void(serversim::Behavior&)>& attacker = {}) {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    serversim::Account kim;
    kim.email = kEmail;
    kim.password = kPassword;
    settings.accounts = {kim};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    settings.behavior.tls = offered;
    if (attacker) attacker(settings.behavior);
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
    if (!trust_file.empty()) {
      unsetenv("SSL_CERT_FILE");
      std::remove(trust_file.c_str());
    }
  }

  // The system trusts the server's certificate from now on (for the names it carries:
  // detail::kTlsServerName and 127.0.0.1); each call serves a new one, which the system then
  // trusts instead. The trust store is read again only from a file of another name.
  void serve_trusted_certificate() {
    std::string cert, key;
    serversim::Server::make_certificate(cert, key);
    server->use_certificate(cert, key);
    if (!trust_file.empty()) std::remove(trust_file.c_str());
    trust_file = testing::TempDir() + "tls_e2e_trust." + std::to_string(getpid()) + "." +
                 std::to_string(++trust_files) + ".pem";
    FILE* file = std::fopen(trust_file.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(cert.c_str(), file);
    std::fclose(file);
    setenv("SSL_CERT_FILE", trust_file.c_str(), 1);
  }
  // The user chooses the server the certificates are good for: the address service is asked
  // under that name.
  void choose_certificate_name() {
    session->set_account_text("Server", serversim::detail::kTlsServerName);
    host().write_setting(0, "MRIM", "Port", hostsim::Setting::dword(2042));
    host().netlib().add_route(serversim::detail::kTlsServerName, 2042, "127.0.0.1", server->address_port());
  }
  // Message events whose text is `text`, on any contact.
  size_t messages_saying(const std::string& text) {
    size_t count = 0;
    for (hostsim::Handle contact : host().profile().contacts())
      for (const hostsim::StoredEvent& event : host().profile().events(contact))
        if (event.type == EVENTTYPE_MESSAGE &&
            std::string(event.blob.begin(), event.blob.end()).find(text) == 0)
          ++count;
    return count;
  }
  static serversim::Packet injected(const std::string& text) {
    return serversim::Packet{
        code::message_ack, 0,
        serversim::Writer().ul(7).ul(0).lps("eve@mrim.example").lps(text).lps("").take()};
  }
  size_t login_failures(int reason) {
    size_t count = 0;
    for (const hostsim::AckRecord& ack : host().acks())
      if (ack.type == ACKTYPE_LOGIN && ack.result == ACKRESULT_FAILED && ack.param == reason) ++count;
    return count;
  }

  std::string trust_file;
  int trust_files = 0;

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

// An attacker on the path appends a clear packet to the go-ahead: it is never dispatched, and
// the connection it came on is dropped.
TEST_F(Encryption, ClearBytesBehindTheGoAheadAreAnAttackAndNeverDispatched) {
  start(true, [](serversim::Behavior& b) { b.after_go_ahead = serversim::encode(injected("in clear")); });
  session->call("/SetStatus", ID_STATUS_ONLINE);
  ASSERT_TRUE(host().wait_until([&] { return security().find("attack on the upgrade") != std::string::npos; },
                                kWaitMs))
      << security();
  EXPECT_EQ(messages_saying("in clear"), 0u);
  EXPECT_EQ(received(code::login2), 0u);
  EXPECT_NE(session->call("/GetStatus"), ID_STATUS_ONLINE);
}

// What the server sends inside TLS before the certificate is accepted waits for the acceptance:
// it is lost with a refused certificate, and comes after an accepted one.
TEST_F(Encryption, NothingDecryptedIsDispatchedBeforeTheCertificateIsAccepted) {
  start(true, [](serversim::Behavior& b) { b.after_handshake = {injected("inside TLS")}; });
  session->set_account_text("CertificatePin", std::string(64, '0'));
  expect_refused(1, "the server's certificate is not trusted");
  EXPECT_EQ(messages_saying("inside TLS"), 0u);

  session->set_account_text("CertificatePin", "");
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_TRUE(host().wait_until([&] { return messages_saying("inside TLS") == 1; }, kWaitMs));
}

// Encrypted once means encrypted for good: a refusal of TLS (which anyone on the path can forge)
// is a refusal of the log-in, until the user clears the pin.
TEST_F(Encryption, APinnedAccountNeverFallsBackToClear) {
  start(true);
  ASSERT_TRUE(go_online()) << session->log();
  go_offline();
  serversim::Behavior plain = server->behavior();
  plain.tls = false;
  server->set_behavior(plain);
  expect_refused(1, "the server no longer offers encryption");

  session->set_account_text("CertificatePin", "");
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_EQ(security(), "not encrypted");
}

// The address service's reply comes in clear: the host it names decides nothing about trust.
// A certificate the system trusts for that host, but not for the server the user chose, is
// held to the pin.
TEST_F(Encryption, TrustIsForTheChosenServerNotTheRepliedOne) {
  start(true, [](serversim::Behavior& b) {
    b.address_reply = std::string(serversim::detail::kTlsServerName) + ":443\r\n";
  });
  host().netlib().add_route(serversim::detail::kTlsServerName, 443, "127.0.0.1", server->mrim_port());
  serve_trusted_certificate();
  session->set_account_text("CertificatePin", std::string(64, '0'));
  expect_refused(1, "the server's certificate is not trusted");
}

// Chosen by the user and trusted by the system: pinned all the same, and the pin moves to a new
// certificate only because the system trusts that one too.
TEST_F(Encryption, ATrustedCertificateIsPinnedAndThePinMovesOnlyToATrustedOne) {
  start(true, [](serversim::Behavior& b) {
    b.address_reply = std::string(serversim::detail::kTlsServerName) + ":443\r\n";
  });
  host().netlib().add_route(serversim::detail::kTlsServerName, 443, "127.0.0.1", server->mrim_port());
  choose_certificate_name();
  serve_trusted_certificate();
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_EQ(pin(), server->certificate_sha256());
  EXPECT_NE(security().find("the system trusts it for mrim.example"), std::string::npos) << security();
  go_offline();

  const std::string first = pin();
  serve_trusted_certificate();
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_EQ(pin(), server->certificate_sha256());
  EXPECT_NE(security().find("it replaces the pinned " + first), std::string::npos) << security();
  go_offline();

  // Changing the server starts the pin afresh: the old server's pin says nothing of the new one.
  session->set_account_text("Server", "");
  host().write_setting(0, "MRIM", "Port", hostsim::Setting::dword(0));
  server->renew_certificate();  // not trusted by the system
  ASSERT_TRUE(go_online()) << session->log();
  EXPECT_EQ(pin(), server->certificate_sha256());
}

// A server slow to answer the request for TLS is a server that cannot be reached now: tried
// again later, not refused for good.
TEST_F(Encryption, NoAnswerToTheRequestIsANetworkFailureEvenWhenRequired) {
  start(true, [](serversim::Behavior& b) { b.tls_silent = true; });
  set_encryption(2);
  host().write_setting(0, "MRIM", "Timeout", hostsim::Setting::dword(1));
  session->call("/SetStatus", ID_STATUS_ONLINE);
  ASSERT_TRUE(host().wait_until([&] { return login_failures(LOGINERR_NOSERVER) >= 1; }, kWaitMs));
  EXPECT_EQ(login_failures(LOGINERR_WRONGPROTOCOL), 0u);
  EXPECT_TRUE(host().wait_until(
      [&] {
        auto plan = host().setting(0, "MRIM", "ReconnectIn");
        return plan && plan->number != 0;
      },
      kWaitMs));
  EXPECT_EQ(received(code::login2), 0u);
}

}  // namespace
