// The page in the host's details window: for which contacts it is added, what it shows, and
// that Escape on it closes the whole window.
#include <gtest/gtest.h>

#include <string>

#include "resources/resource.h"
#include "ui_support.h"

namespace {

using hostsim::DetailsWindow;
using hostsim::Dialog;
using hostsim::Handle;
using hostsim::Setting;
using testsupport::PluginSession;

class DetailsPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::seed_account(session, "kim@mrim.example", "secret");
    ASSERT_TRUE(session.load());
  }
  Handle contact_of(const std::string& protocol) {
    Handle contact = host.add_contact(protocol);
    host.profile().write_setting(contact, protocol, "EMail", Setting::string("lee@other.example"));
    return contact;
  }

  PluginSession session;
  hostsim::Host& host = session.host();
};

TEST_F(DetailsPageTest, AContactOfThisProtocolGetsThePageWithItsAddressAndLocation) {
  Handle contact = contact_of("MRIM");
  host.profile().write_setting(contact, "MRIM", "Location", Setting::string("Москва"));
  host.profile().write_setting(contact, "MRIM", "MirVer", Setting::string("Agent 7.1"));
  host.profile().write_setting(contact, "MRIM", "PostText", Setting::string("Back from the hills"));
  host.profile().write_setting(contact, "MRIM", "PostTime", Setting::dword(1796896800));
  DetailsWindow details(host, contact);
  auto records = details.page_records();
  ASSERT_EQ(records.size(), 1u);
  const OptionsPage& page = records[0].page;
  EXPECT_EQ(page.size, static_cast<int>(sizeof(OptionsPage)));
  EXPECT_EQ(page.position, -1900000000);
  EXPECT_EQ(static_cast<uint32_t>(page.position), 0x8EC04D00u);
  EXPECT_EQ(records[0].title, "MRIM");
  EXPECT_EQ(page.template_name, MAKEINTRESOURCEA(IDD_USERINFO));
  EXPECT_NE(page.instance, nullptr);
  EXPECT_EQ(page.group, nullptr);
  EXPECT_EQ(page.flags, 0u);

  Dialog* shown = details.page("MRIM");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->text(IDC_INFO_EMAIL), "lee@other.example");
  EXPECT_EQ(shown->text(IDC_INFO_LOCATION), "Москва");
  EXPECT_EQ(shown->text(IDC_INFO_CLIENT), "Agent 7.1");
  EXPECT_EQ(shown->text(IDC_INFO_POST), "Back from the hills");
  EXPECT_EQ(shown->text(IDC_INFO_POST_TIME).rfind("2026-12-", 0), 0u) << shown->text(IDC_INFO_POST_TIME);
  // Read-only: the user cannot change what the page shows.
  EXPECT_FALSE(shown->type(IDC_INFO_EMAIL, "x"));
  EXPECT_FALSE(shown->type(IDC_INFO_LOCATION, "x"));
}

TEST_F(DetailsPageTest, AMissingSettingShowsTheInternalErrorText) {
  Handle contact = contact_of("MRIM");
  DetailsWindow details(host, contact);
  Dialog* shown = details.page("MRIM");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->text(IDC_INFO_EMAIL), "lee@other.example");
  EXPECT_EQ(shown->text(IDC_INFO_LOCATION), "-internal-error-");
  EXPECT_EQ(shown->text(IDC_INFO_CLIENT), "");  // a contact never seen online has no client
  EXPECT_EQ(shown->text(IDC_INFO_POST_TIME), "");

  // The details window says the information changed: the page shows it afresh.
  host.profile().write_setting(contact, "MRIM", "Location", Setting::string("Tver"));
  details.refresh();
  EXPECT_EQ(shown->text(IDC_INFO_LOCATION), "Tver");
}

TEST_F(DetailsPageTest, TheAccountItselfGetsThePage) {
  DetailsWindow details(host, 0);
  Dialog* shown = details.page("MRIM");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->text(IDC_INFO_EMAIL), "kim@mrim.example");
  EXPECT_EQ(shown->text(IDC_INFO_LOCATION), "-internal-error-");
}

TEST_F(DetailsPageTest, TheAccountWithoutAnAddressShowsTheInternalErrorTextTwice) {
  host.profile().delete_setting(0, "MRIM", "EMail");
  host.profile().write_setting(0, "MRIM", "Location", Setting::string("Омск"));
  DetailsWindow details(host, 0);
  Dialog* shown = details.page("MRIM");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->text(IDC_INFO_EMAIL), "-internal-error-");
  EXPECT_EQ(shown->text(IDC_INFO_LOCATION), "Омск");
}

TEST_F(DetailsPageTest, ContactsOfOtherProtocolsGetNoPage) {
  DetailsWindow other(host, contact_of("OTHERPROTO"));
  EXPECT_TRUE(other.page_records().empty());
  EXPECT_EQ(other.page("MRIM"), nullptr);
  // Nor does a contact that belongs to no protocol, or one whose module name only looks alike.
  DetailsWindow none(host, host.add_contact());
  EXPECT_TRUE(none.page_records().empty());
  DetailsWindow alike(host, contact_of("mrim"));
  EXPECT_TRUE(alike.page_records().empty());
}

TEST_F(DetailsPageTest, EscapeOnThePageClosesTheDetailsWindow) {
  DetailsWindow details(host, contact_of("MRIM"));
  Dialog* shown = details.page("MRIM");
  ASSERT_NE(shown, nullptr);
  shown->click(IDC_INFO_EMAIL);  // not a button: nothing happens
  EXPECT_TRUE(details.is_open());
  shown->press_escape();
  EXPECT_FALSE(details.is_open());
}

}  // namespace
