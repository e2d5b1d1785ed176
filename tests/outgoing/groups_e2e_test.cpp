// Contact-list groups end to end, with the plug-in in the host stand-in and the server stand-in
// keeping the account's list: changes of a contact leave it in its group, a move in the host
// reaches the server (making the group when needed), and a refused move is undone with the
// server's reason in the tray.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/host_api.h"
#include "serversim/server.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"

namespace {

using hostsim::Setting;
using testsupport::PluginSession;

constexpr int kWaitMs = 10000;
const char* const kServerName = "mrim.test";

class Groups : public ::testing::Test {
 protected:
  void SetUp() override {
    serversim::Settings settings;
    serversim::Account kim;
    kim.email = "kim@mail.example";
    kim.password = "kim-pw";
    kim.groups = {serversim::Group{0, "General"}, serversim::Group{0, "Friends"}};
    serversim::Contact amy;
    amy.email = "amy@mail.example";
    amy.nickname = "Amy";
    amy.group = 1;
    kim.contacts = {amy};
    settings.accounts = {kim};
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    settings.behavior.group_limit = 3;
    settings.behavior.rename_from_address = true;
    testsupport::apply_write_style(settings.behavior);
    server = std::make_unique<serversim::Server>(settings);
    server->start();

    session = std::make_unique<PluginSession>("MRIM");
    testsupport::route_plugin_to(host().netlib(), *server, kServerName);
    session->set_account_text("EMail", kim.email);
    std::string password = kim.password;
    host().call_service(MS_DB_CRYPT_ENCODESTRING, password.size() + 1,
                        reinterpret_cast<LPARAM>(password.data()));
    session->set_account_text("Password", password);
    ASSERT_TRUE(session->load());
    ASSERT_EQ(session->call("/SetStatus", ID_STATUS_ONLINE), 0);
    // The user's changes count once the list is applied: while it is, its own writes are not theirs.
    ASSERT_TRUE(session->wait_for_log("MRIM_CS_CONTACT_LIST2 handled", kWaitMs)) << session->log();
    // The list can be shown before the log-in's thread has called the account online, and an
    // edit of an offline account is refused.
    ASSERT_TRUE(host().wait_until([&] { return session->call("/GetStatus") == ID_STATUS_ONLINE; }, kWaitMs));
    ASSERT_EQ(group_of(amy_contact()), "Friends");
  }

  void TearDown() override {
    session.reset();
    server->stop();
  }

  hostsim::Host& host() { return session->host(); }

  hostsim::Handle amy_contact() {
    for (hostsim::Handle contact : host().profile().contacts()) {
      std::optional<Setting> email = host().setting(contact, "MRIM", "EMail");
      if (email && email->text == "amy@mail.example") return contact;
    }
    return 0;
  }
  std::string group_of(hostsim::Handle contact) {
    std::optional<Setting> group = contact != 0 ? host().setting(contact, "CList", "Group") : std::nullopt;
    return group ? group->text : "";
  }
  serversim::Contact amy_on_server() { return server->account("kim@mail.example")->contacts.at(0); }
  std::vector<std::string> server_groups() {
    std::optional<serversim::Account> kim = server->account("kim@mail.example");
    std::vector<std::string> names;
    if (kim)
      for (const serversim::Group& group : kim->groups) names.push_back(group.name);
    return names;
  }
  // As the host's contact list renames (or, with no new name, deletes) a group: its contacts
  // first, then the event.
  void host_changes_group(const std::string& old_name, const char* new_name) {
    for (hostsim::Handle contact : host().profile().contacts())
      if (group_of(contact) == old_name)
        host().write_setting(contact, "CList", "Group", Setting::string(new_name ? new_name : ""));
    GroupChange change{sizeof change, old_name.c_str(), new_name};
    host().raise_event(ME_CLIST_GROUPCHANGE, 0, reinterpret_cast<LPARAM>(&change));
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

TEST_F(Groups, RenameAndVisibilityLeaveTheContactInItsGroup) {
  hostsim::Handle amy = amy_contact();
  host().write_setting(amy, "CList", "MyHandle", Setting::string("Amy Renamed"));
  EXPECT_EQ(amy_on_server().nickname, "Amy Renamed");
  EXPECT_EQ(amy_on_server().group, 1u);

  ProtocolCall call{reinterpret_cast<HANDLE>(amy), nullptr, ID_STATUS_ONLINE, 0};
  ASSERT_EQ(session->call("/SetApparentMode", 0, reinterpret_cast<LPARAM>(&call)), 0);
  EXPECT_EQ(amy_on_server().group, 1u);
}

TEST_F(Groups, AMoveToANewGroupMakesItOnTheServerFirst) {
  hostsim::Handle amy = amy_contact();
  host().write_setting(amy, "CList", "Group", Setting::string("Family"));
  std::optional<serversim::Account> kim = server->account("kim@mail.example");
  ASSERT_TRUE(kim);
  ASSERT_EQ(kim->groups.size(), 3u);
  EXPECT_EQ(kim->groups[2].name, "Family");
  EXPECT_EQ(amy_on_server().group, 2u);
  EXPECT_EQ(host().setting(amy, "MRIM", "GroupIndex"), Setting::dword(2));

  // Back into a group the server has: no new group.
  host().write_setting(amy, "CList", "Group", Setting::string("General"));
  EXPECT_EQ(amy_on_server().group, 0u);
  EXPECT_EQ(server->account("kim@mail.example")->groups.size(), 3u);
}

TEST_F(Groups, AMoveTheServerRefusesPutsTheOldGroupBack) {
  // The account believes in a group the server does not have.
  session->set_account_dword("GroupCount", 5);
  session->set_account_text("Group4", "Ghost");
  hostsim::Handle amy = amy_contact();
  host().write_setting(amy, "CList", "Group", Setting::string("Ghost"));
  EXPECT_EQ(group_of(amy), "Friends");
  EXPECT_EQ(amy_on_server().group, 1u);
  ASSERT_EQ(host().tray_notices().size(), 1u);
  EXPECT_NE(host().tray_notices()[0].text.find(
                "amy@mail.example was not changed on the server: The server refused"),
            std::string::npos)
      << host().tray_notices()[0].text;
}

TEST_F(Groups, AGroupPastTheServersLimitIsNotMadeAndTheUserIsToldWhy) {
  hostsim::Handle amy = amy_contact();
  host().write_setting(amy, "CList", "Group", Setting::string("Family"));
  ASSERT_EQ(amy_on_server().group, 2u);
  host().write_setting(amy, "CList", "Group", Setting::string("Work"));
  EXPECT_EQ(group_of(amy), "Family");
  EXPECT_EQ(amy_on_server().group, 2u);
  EXPECT_EQ(server->account("kim@mail.example")->groups.size(), 3u);
  ASSERT_EQ(host().tray_notices().size(), 1u);
  EXPECT_EQ(host().tray_notices()[0].info_flags, NIIF_WARNING);
  EXPECT_NE(
      host().tray_notices()[0].text.find("Work was not made on the server: The list has as many groups"),
      std::string::npos)
      << host().tray_notices()[0].text;
}

}  // namespace

TEST_F(Groups, TheHostsRenamesAndDeletionsReachTheServerAndIndicesShiftAsTheServersDo) {
  hostsim::Handle amy = amy_contact();
  // Amy's group renamed: the host moves her first, so the server gets a new group for her and
  // the emptied old one goes; the groups above it move down.
  host_changes_group("Friends", "Pals");
  EXPECT_EQ(server_groups(), (std::vector<std::string>{"General", "Pals"}));
  EXPECT_EQ(amy_on_server().group, 1u);
  EXPECT_EQ(host().setting(amy, "MRIM", "GroupIndex"), Setting::dword(1));
  EXPECT_EQ(host().setting(0, "MRIM", "Group1"), Setting::string("Pals"));
  EXPECT_EQ(host().setting(0, "MRIM", "GroupCount"), Setting::dword(2));
  // An empty group is renamed in place.
  host_changes_group("General", "Main");
  EXPECT_EQ(server_groups(), (std::vector<std::string>{"Main", "Pals"}));
  EXPECT_EQ(host().setting(0, "MRIM", "Group0"), Setting::string("Main"));
  // A group still holding a contact is not deleted, nor the server's first group.
  GroupChange keep{sizeof keep, "Pals", nullptr};
  host().raise_event(ME_CLIST_GROUPCHANGE, 0, reinterpret_cast<LPARAM>(&keep));
  host_changes_group("Main", nullptr);
  EXPECT_EQ(server_groups(), (std::vector<std::string>{"Main", "Pals"}));
  ASSERT_EQ(host().tray_notices().size(), 2u);
  EXPECT_NE(host().tray_notices()[0].text.find("Pals was not deleted on the server: It still holds contacts"),
            std::string::npos);
  EXPECT_NE(
      host().tray_notices()[1].text.find("Main was not deleted on the server: The server keeps its first"),
      std::string::npos);
  // Emptied as the host does it, it goes.
  host_changes_group("Pals", nullptr);
  EXPECT_EQ(server_groups(), (std::vector<std::string>{"Main"}));
  EXPECT_EQ(amy_on_server().group, 0u);
  EXPECT_EQ(host().setting(0, "MRIM", "GroupCount"), Setting::dword(1));
}
