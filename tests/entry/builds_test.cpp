// The two builds side by side: what each shows at load and says in its information record, and
// what its log holds of a message's text; the release build's log following the account's "Log".
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "hostsim/dialogs.h"
#include "resources/resource.h"
#include "serversim/server.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"

namespace {

using hostsim::Setting;
using testsupport::PluginSession;

constexpr int kWaitMs = 30000;
const char* const kEmail = "kim@mail.example";
const char* const kPassword = "kim-s3cret-pw";
const char* const kServerName = "mrim.test";

struct Build {
  const char* name;
  bool diagnostic;
  friend void PrintTo(const Build& build, std::ostream* out) { *out << build.name; }
};

class Builds : public ::testing::TestWithParam<Build> {
 protected:
  void SetUp() override {
    serversim::Settings settings;
    serversim::Account account;
    account.email = kEmail;
    account.password = kPassword;
    settings.accounts = {account};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    server_ = std::make_unique<serversim::Server>(settings);
    server_->start();
    session_ = std::make_unique<PluginSession>(
        "MRIM", GetParam().diagnostic ? testsupport::plugin_path() : testsupport::release_plugin_path());
    testsupport::route_plugin_to(host().netlib(), *server_, kServerName);
    session_->set_account_text("EMail", kEmail);
    session_->set_account_password(kPassword);
  }
  void TearDown() override {
    session_.reset();
    server_->stop();
  }

  hostsim::Host& host() { return session_->host(); }

  void go_online() {
    ASSERT_EQ(session_->call("/SetStatus", ID_STATUS_ONLINE), 0);
    ASSERT_TRUE(host().wait_until([&] { return session_->call("/GetStatus") == ID_STATUS_ONLINE; }, kWaitMs));
  }
  // Sends the text to the account itself and waits until the server confirmed it.
  void send_to_self(const char* text) {
    if (self_ == 0) {
      self_ = host().add_contact("MRIM");
      host().write_setting(self_, "MRIM", "EMail", Setting::string(kEmail));
    }
    ProtocolCall call{reinterpret_cast<HANDLE>(self_), "/SendMsg", 0, reinterpret_cast<LPARAM>(text)};
    auto id = static_cast<uintptr_t>(session_->call("/SendMsg", 0, reinterpret_cast<LPARAM>(&call)));
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(host().wait_until(
        [&] {
          for (const hostsim::AckRecord& ack : host().acks())
            if (ack.type == ACKTYPE_MESSAGE && ack.process == id && ack.result == ACKRESULT_SUCCESS)
              return true;
          return false;
        },
        kWaitMs));
  }

  std::unique_ptr<serversim::Server> server_;
  std::unique_ptr<PluginSession> session_;
  hostsim::Handle self_ = 0;
};

TEST_P(Builds, TheReleaseBuildLogsOnlyWhenAskedAndNeverTheTexts) {
  const bool diagnostic = GetParam().diagnostic;
  ASSERT_TRUE(session_->load());
  const std::string description = host().plugin_info()->description;
  EXPECT_EQ(description.rfind(diagnostic ? "Debug build: " : "Release build: ", 0), 0u) << description;
  EXPECT_EQ(host().message_boxes().size(), diagnostic ? 1u : 0u) << "the notice at load";

  go_online();
  const char* const kFirst = "a first secret message";
  send_to_self(kFirst);
  if (!diagnostic) {
    EXPECT_EQ(session_->log(), "") << "no log until the account asks for one";
  }

  // Ticked on the options page, as a user would before reproducing a fault.
  {
    hostsim::OptionsWindow options(host());
    ASSERT_NE(options.page("MRIM"), nullptr);
    EXPECT_TRUE(options.page("MRIM")->click(IDC_OPT_LOG));
    options.apply();
  }
  const char* const kSecond = "the second secret";
  send_to_self(kSecond);
  session_->unload();

  const std::string log = session_->log();
  EXPECT_EQ(log.find(kPassword), std::string::npos);
  const std::string shown = diagnostic ? kSecond : "<" + std::to_string(strlen(kSecond)) + " bytes>";
  EXPECT_NE(log.find(std::string("MRIM_CS_MESSAGE(0,") + kEmail + "," + shown + ",) sended"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find(kFirst) != std::string::npos, diagnostic) << log;
  EXPECT_EQ(log.find(kSecond) != std::string::npos, diagnostic) << log;
  EXPECT_EQ(log.find("vortel: Starting.") != std::string::npos, diagnostic) << "the log was off at Load";
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, Builds,
                         ::testing::Values(Build{"diagnostic", true}, Build{"release", false}),
                         [](const ::testing::TestParamInfo<Build>& info) {
                           return std::string(info.param.name);
                         });

TEST(ReleaseBuild, TakesTheLogSettingAtLoadAndStopsWhenItIsCleared) {
  PluginSession session("MRIM", testsupport::release_plugin_path());
  session.set_account_text("EMail", kEmail);
  session.set_account_password(kPassword);
  session.host().profile().write_setting(0, "MRIM", "Log", Setting::byte(1));
  ASSERT_TRUE(session.load());
  EXPECT_NE(session.log().find(" vortel: Starting.\r\n"), std::string::npos);
  session.host().write_setting(0, "MRIM", "Log", Setting::byte(0));
  session.unload();
  EXPECT_EQ(session.log().find("vortel: Terminating."), std::string::npos) << session.log();
}

}  // namespace
