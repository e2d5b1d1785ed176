// Two accounts of the real plug-in in one host stand-in, talking to each other through the MRIM
// server stand-in over loopback TCP. The host stand-in is one per process, so both accounts
// live in it: the plug-in file is loaded under two names, "alice" and "bob", each with its own
// settings module (and so its own "EMail" and "Password"), contacts, events and log. Every wait
// is a wait for a condition with a generous bound.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/host.h"
#include "hostsim/netlib.h"
#include "hostsim/profile.h"
#include "protocol/online.h"
#include "serversim/server.h"
#include "support/server_routes.h"
#include "support/support.h"

namespace twoaccounts {

using hostsim::Handle;
using hostsim::Setting;

// Going online may first wait out the address service; new mail is looked at every 4 s.
constexpr int kWaitMs = 30000;
const char* const kServerName = "mrim.test";
const std::string kAlice = "alice";
const std::string kBob = "bob";

inline std::string address_of(const std::string& module) { return module + "@mail.example"; }
inline std::string password_of(const std::string& module) { return module + "-pw-0123"; }

inline serversim::Account server_account(const std::string& name) {
  serversim::Account a;
  a.email = address_of(name);
  a.password = password_of(name);
  a.nickname = name;
  a.groups.push_back(serversim::Group{0, "Friends"});
  return a;
}

class TwoAccounts : public ::testing::Test {
 protected:
  // Lets a test change the server's accounts before it starts.
  virtual void configure(serversim::Settings& settings) { (void)settings; }
  // And the host (its version, the accounts' settings) before the plug-ins load.
  virtual void configure_host() {}

  void SetUp() override {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    settings.accounts = {server_account(kAlice), server_account(kBob), server_account("carol")};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    configure(settings);
    testsupport::apply_write_style(settings.behavior);
    server_ = std::make_unique<serversim::Server>(settings);
    server_->start();

    auto& netlib = host_.netlib();
    testsupport::route_plugin_to(netlib, *server_, kServerName);
    configure_host();
    for (const std::string& module : {kAlice, kBob}) {
      account_text(module, "EMail", address_of(module));
      std::string password = password_of(module);
      std::vector<char> text(password.begin(), password.end());
      text.resize(128, '\0');
      host_.call_service(MS_DB_CRYPT_ENCODESTRING, text.size(), reinterpret_cast<LPARAM>(text.data()));
      account_text(module, "Password", text.data());
      ASSERT_TRUE(host_.load_plugin(testsupport::plugin_copy(module, folder_.path()))) << host_.error();
    }
    host_.modules_loaded();
  }

  void TearDown() override {
    host_.unload_plugins();
    server_->stop();
    for (const std::string& module : {kAlice, kBob})
      EXPECT_EQ(log(module).find(password_of(module)), std::string::npos)
          << "password in the log of " << module;
  }

  INT_PTR call(const std::string& module, const std::string& suffix, WPARAM w = 0, LPARAM l = 0) {
    return host_.call_service(module + suffix, w, l);
  }
  void account_text(const std::string& module, const std::string& name, const std::string& value) {
    host_.profile().write_setting(0, module, name, Setting::string(value));
  }
  void account_number(const std::string& module, const std::string& name, const Setting& value) {
    host_.profile().write_setting(0, module, name, value);
  }
  std::string log(const std::string& module) { return testsupport::read_file(folder_.file(module + ".dbg")); }

  bool status_acknowledged(const std::string& module, int status) {
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.module == module && ack.type == ACKTYPE_STATUS && ack.param == status) return true;
    return false;
  }
  void go_online(const std::string& module) {
    ASSERT_EQ(call(module, "/SetStatus", ID_STATUS_ONLINE), 0);
    ASSERT_TRUE(host_.wait_until([&] { return status_acknowledged(module, ID_STATUS_ONLINE); }, kWaitMs))
        << log(module);
    ASSERT_TRUE(server_->wait_until([&] { return server_->session_of(address_of(module)).has_value(); }));
  }

  // The account's contact with this address, if it has one.
  std::optional<Handle> contact_of(const std::string& module, const std::string& email) {
    for (Handle contact : host_.profile().contacts()) {
      if (host_.profile().protocol(contact) != module) continue;
      if (host_.profile().setting(contact, module, "EMail") == Setting::string(email)) return contact;
    }
    return std::nullopt;
  }
  // A contact the user put on the account's list by hand (not yet on the server's list).
  Handle add_contact(const std::string& module, const std::string& email) {
    Handle contact = host_.profile().add_contact();
    host_.profile().set_protocol(contact, module);
    host_.profile().write_setting(contact, module, "EMail", Setting::string(email));
    host_.profile().write_setting(contact, "CList", "MyHandle", Setting::string(email));
    return contact;
  }
  // The texts of the account's events of this type from the address, in order.
  std::vector<hostsim::StoredEvent> events_from(const std::string& module, const std::string& email,
                                                WORD type) {
    std::vector<hostsim::StoredEvent> found;
    std::optional<Handle> contact = contact_of(module, email);
    if (!contact) return found;
    for (const hostsim::StoredEvent& event : host_.profile().events(*contact))
      if (event.type == type && event.module == module) found.push_back(event);
    return found;
  }
  static std::string text_of(const hostsim::StoredEvent& event) {
    std::string text(event.blob.begin(), event.blob.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
  }

  // What the server took from the account's sessions, of one code.
  std::vector<serversim::Packet> from(const std::string& module, uint32_t packet_code) {
    std::vector<serversim::Packet> found;
    for (const serversim::Received& r : server_->received())
      if (r.email == address_of(module) && r.packet.code == packet_code) found.push_back(r.packet);
    return found;
  }

  testsupport::WorkFolder folder_;
  hostsim::Host host_;
  std::unique_ptr<serversim::Server> server_;
};

}  // namespace twoaccounts
