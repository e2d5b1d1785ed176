// The contact hooks and the visibility service as the host sees them when it loads the built
// plug-in: created and hooked at the right moments, removed at unload, and working end to end
// on the host's own events.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/plugin_session.h"

namespace {

using hostsim::Setting;
using testsupport::PluginSession;

int hooks_on(hostsim::Host& host, const std::string& event) {
  auto hooked = host.hooked_events();
  return static_cast<int>(std::count(hooked.begin(), hooked.end(), event));
}

TEST(ContactHooks, HookedWhenAllModulesAreLoadedAndRemovedAtUnload) {
  PluginSession session;
  ASSERT_TRUE(session.load_without_modules_loaded());
  auto& host = session.host();
  EXPECT_EQ(hooks_on(host, ME_DB_CONTACT_DELETED), 0);
  EXPECT_EQ(hooks_on(host, ME_DB_CONTACT_SETTINGCHANGED), 0);
  host.modules_loaded();
  EXPECT_EQ(hooks_on(host, ME_DB_CONTACT_DELETED), 1);
  EXPECT_EQ(hooks_on(host, ME_DB_CONTACT_SETTINGCHANGED), 1);
  session.unload();
  EXPECT_EQ(hooks_on(host, ME_DB_CONTACT_DELETED), 0);
  EXPECT_EQ(hooks_on(host, ME_DB_CONTACT_SETTINGCHANGED), 0);
}

TEST(ContactHooks, VisibilityServiceComesRightAfterTheStatusQuery) {
  PluginSession session;
  ASSERT_TRUE(session.load());
  auto names = session.host().service_names();
  auto status = std::find(names.begin(), names.end(), "MRIM/GetStatus");
  auto apparent = std::find(names.begin(), names.end(), "MRIM/SetApparentMode");
  ASSERT_NE(apparent, names.end());
  ASSERT_NE(status, names.end());
  EXPECT_LT(status - names.begin(), apparent - names.begin());
}

// Offline, a rename or deletion of a listed contact reaches the plug-in and is tried once: the
// request has no connection to go out on, and the host's own change stands.
TEST(ContactHooks, UserEditsOfflineAreTriedAndLogged) {
  PluginSession session;
  session.set_account_dword("Timeout", 1);
  ASSERT_TRUE(session.load());
  auto& host = session.host();
  hostsim::Handle kim = host.add_contact("MRIM");
  host.write_setting(kim, "MRIM", "EMail", Setting::string("kim@example.org"));
  host.write_setting(kim, "MRIM", "Number", Setting::dword(20));
  host.write_setting(kim, "CList", "MyHandle", Setting::string("Kim"));
  EXPECT_TRUE(
      session.wait_for_log("mrim_do_modify: MRIM_CS_MODIFY_CONTACT(20,0,0,kim@example.org,Kim) sended"));
  EXPECT_TRUE(host.delete_contact(kim));
  EXPECT_TRUE(session.wait_for_log("mrim_do_remove: ended with error"));
  EXPECT_FALSE(host.profile().contact_exists(kim));
}

TEST(ContactHooks, SetApparentModeThroughTheHost) {
  PluginSession session;
  ASSERT_TRUE(session.load());
  ProtocolCall call{nullptr, "MRIM/SetApparentMode", ID_STATUS_ONLINE, 0};
  EXPECT_EQ(session.call("/SetApparentMode", 0, reinterpret_cast<LPARAM>(&call)), 1);
}

}  // namespace
