// The plug-in's spine through its exports and services: information record, module name,
// what Load registers and writes, the four simple services, the all-modules-loaded handler,
// and unloading (many times in one process).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/protocol_state.h"
#include "entry/vortel.h"
#include "platform/desktop.h"
#include "support/plugin_session.h"

namespace {

using hostsim::Setting;
using testsupport::PluginSession;

Setting dword_setting(DWORD value) { return Setting{DBVT_DWORD, value, {}}; }
Setting word_setting(DWORD value) { return Setting{DBVT_WORD, value, {}}; }

TEST(ModuleName, TakesTheFileNameWithoutFolderAndExtension) {
  char name[MODULE_NAME_MAX + 1];
  derive_module_name("C:\\Messenger\\Plugins\\chat.dll", name);
  EXPECT_STREQ(name, "chat");
  derive_module_name("chat.dll", name);
  EXPECT_STREQ(name, "chat");
  derive_module_name("C:\\Messenger\\Plugins\\chat", name);
  EXPECT_STREQ(name, "chat");
  derive_module_name("C:\\a.b\\my.test.dll", name);
  EXPECT_STREQ(name, "my.test");
  derive_module_name("C:\\p\\abcdefghijklmnopqrstuvwxyz0123456789ABCD.dll", name);
  EXPECT_STREQ(name, "abcdefghijklmnopqrstuvwxyz0123");
}

TEST(PluginInfoRecord, DescribesTheBuild) {
  PluginSession session;
  ASSERT_TRUE(session.load());
  const PluginInfo* info = session.host().plugin_info();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->size, static_cast<int>(sizeof(PluginInfo)));
  EXPECT_STREQ(info->short_name, "MRIM protocol support");
  EXPECT_EQ(info->version, 0x17u);
  // "Compiled: " then the build's date and time as "Mmm dd yyyy  hh:mm:ss" (day blank-padded).
  const std::string prefix = "Debug build: plugin for \"MRIM\" Support.\r\nCompiled: ";
  const std::string shape = "Aaa #9 9999  99:99:99";
  std::string description = info->description;
  ASSERT_EQ(description.substr(0, prefix.size()), prefix);
  std::string stamp = description.substr(prefix.size());
  ASSERT_EQ(stamp.size(), shape.size()) << stamp;
  for (size_t i = 0; i < shape.size(); ++i) {
    char c = stamp[i];
    bool fits = shape[i] == 'A'   ? isupper(static_cast<unsigned char>(c))
                : shape[i] == 'a' ? islower(static_cast<unsigned char>(c))
                : shape[i] == '9' ? isdigit(static_cast<unsigned char>(c))
                : shape[i] == '#' ? c == ' ' || isdigit(static_cast<unsigned char>(c))
                                  : c == shape[i];
    EXPECT_TRUE(fits) << "at " << i << " in " << stamp;
  }
  EXPECT_EQ(info->flags, 0);
  EXPECT_EQ(info->replaces_default_module, 0);
}

TEST(Load, RegistersTheAccountUnderTheFileName) {
  PluginSession session("chat_test");
  ASSERT_TRUE(session.load());
  auto& host = session.host();
  EXPECT_EQ(host.registered_protocols(), std::vector<std::string>{"chat_test"});
  std::vector<std::string> expected;
  for (const char* suffix : {"GetCaps",
                             "GetName",
                             "LoadIcon",
                             "SetStatus",
                             "GetStatus",
                             "SearchByEmail",
                             "SearchByName",
                             "CreateAdvSearchUI",
                             "SearchByAdvanced",
                             "AddToList",
                             "SendMsg",
                             "UserIsTyping",
                             "SetApparentMode",
                             "GetInfo",
                             "Authorize",
                             "AuthDeny",
                             "ReqAuth",
                             "AuthRequest",
                             "ConnectionSecurity",
                             "GetAwayMsg",
                             "SetAwayMsg",
                             "SendContacts",
                             "RecvContacts",
                             "GetAvatarInformation",
                             "PostMicroblog"})
    expected.push_back(std::string("chat_test/") + suffix);
  std::vector<std::string> created;
  for (const auto& name : host.service_names())
    if (name.rfind("chat_test/", 0) == 0) created.push_back(name);
  EXPECT_EQ(created, expected);
  std::string log = session.log();
  EXPECT_NE(log.find(" vortel: Starting.\r\n"), std::string::npos);
  ASSERT_EQ(host.message_boxes().size(), 1u);
  EXPECT_NE(host.message_boxes()[0].text_utf8.find("\"chat_test.dbg\""), std::string::npos);
}

TEST(Load, AddsTheAuthorizationMenuItem) {
  PluginSession session("chat");
  ASSERT_TRUE(session.load());
  auto items = session.host().menu_items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].size, static_cast<int>(sizeof(ContactMenuItem)));
  EXPECT_EQ(items[0].name, "Authorization..");
  EXPECT_EQ(items[0].position, 1000030000);
  EXPECT_EQ(items[0].flags, 0u);
  EXPECT_EQ(items[0].service, "chat/ReqAuth");
  EXPECT_EQ(items[0].contact_owner, "chat");
}

TEST(Load, MenuItemNameGoesThroughTheLanguagePack) {
  PluginSession session("chat");
  session.host().load_translations({{"Authorization..", "Autorisierung.."}});
  ASSERT_TRUE(session.load());
  ASSERT_EQ(session.host().menu_items().size(), 1u);
  EXPECT_EQ(session.host().menu_items()[0].name, "Autorisierung..");
}

TEST(Load, TimeoutIsMadeTenWhenMissingOrZero) {
  {
    PluginSession session;
    ASSERT_TRUE(session.load());
    EXPECT_EQ(session.host().setting(0, "MRIM", "Timeout"), dword_setting(10));
  }
  {
    PluginSession session;
    session.set_account_dword("Timeout", 0);
    ASSERT_TRUE(session.load());
    EXPECT_EQ(session.host().setting(0, "MRIM", "Timeout"), dword_setting(10));
  }
  {
    PluginSession session;
    session.set_account_dword("Timeout", 25);
    ASSERT_TRUE(session.load());
    EXPECT_EQ(session.host().setting(0, "MRIM", "Timeout"), dword_setting(25));
    for (const auto& write : session.host().setting_writes()) EXPECT_NE(write.setting, "Timeout");
  }
}

TEST(Load, NickFollowsTheAccountAddress) {
  PluginSession session;
  session.set_account_text("EMail", "kim@example.org");
  session.set_account_text("Nick", "old nick");
  ASSERT_TRUE(session.load());
  auto nick = session.host().setting(0, "MRIM", "Nick");
  ASSERT_TRUE(nick.has_value());
  EXPECT_EQ(nick->text, "kim@example.org");
  EXPECT_NE(session.log().find("Load: \"Nick\" (kim@example.org) is set.\r\n"), std::string::npos);
}

TEST(Load, WithoutAddressNickIsLeftAlone) {
  PluginSession session;
  ASSERT_TRUE(session.load());
  EXPECT_FALSE(session.host().setting(0, "MRIM", "Nick").has_value());
  EXPECT_EQ(session.log().find("Nick"), std::string::npos);
}

// Every capability the plug-in reports names services the host then calls: each of them must
// be there. Bits without a service say how the plug-in behaves (messages arrive as events, the
// user id is the address).
TEST(Services, EveryCapabilityBitHasItsServicesAndTheOldProtocolPromisesNoAwayMessages) {
  const std::map<DWORD, std::vector<const char*>> services = {
      {PF1_IMSEND, {"/SendMsg"}},
      {PF1_IMRECV, {}},
      {PF1_MODEMSGSEND, {"/SetAwayMsg"}},
      {PF1_MODEMSGRECV, {"/GetAwayMsg"}},
      {PF1_AUTHREQ, {"/Authorize", "/AuthDeny", "/AuthRequest"}},
      {PF1_VISLIST, {"/SetApparentMode"}},
      {PF1_INVISLIST, {"/SetApparentMode"}},
      {PF1_EXTSEARCH, {"/SearchByAdvanced"}},
      {PF1_ADDSEARCHRES, {"/AddToList"}},
      {PF1_CONTACTSEND, {"/SendContacts"}},
      {PF1_CONTACTRECV, {"/RecvContacts"}},
      {PF1_SEARCHBYEMAIL, {"/SearchByEmail"}},
      {PF1_USERIDISEMAIL, {}},
      {PF1_SEARCHBYNAME, {"/SearchByName"}},
      {PF1_EXTSEARCHUI, {"/CreateAdvSearchUI", "/SearchByAdvanced"}},
  };
  PluginSession session;
  ASSERT_TRUE(session.load());
  auto word1 = static_cast<DWORD>(session.call("/GetCaps", 1));
  std::vector<std::string> names = session.host().service_names();
  for (DWORD bit = 1; bit != 0; bit <<= 1) {
    if ((word1 & bit) == 0) continue;
    auto known = services.find(bit);
    ASSERT_NE(known, services.end()) << std::hex << "bit 0x" << bit << " answers to nothing";
    for (const char* suffix : known->second)
      EXPECT_NE(std::find(names.begin(), names.end(), std::string("MRIM") + suffix), names.end()) << suffix;
  }
  EXPECT_EQ(word1 & (PF1_MODEMSGSEND | PF1_MODEMSGRECV), PF1_MODEMSGSEND | PF1_MODEMSGRECV);
  EXPECT_EQ(session.call("/GetCaps", 2), 7);
  EXPECT_EQ(session.call("/GetCaps", 3), 7);  // online, invisible and away carry texts
  EXPECT_EQ(session.call("/GetCaps", 4), PF4_SUPPORTTYPING | PF4_AVATARS);
  for (WPARAM other : {0, 5, 100}) EXPECT_EQ(session.call("/GetCaps", other), 0) << other;
  session.host().profile().write_setting(0, "MRIM", "LegacyProtocol", hostsim::Setting::byte(1));
  EXPECT_EQ(static_cast<DWORD>(session.call("/GetCaps", 1)) & (PF1_MODEMSGSEND | PF1_MODEMSGRECV), 0u);
  EXPECT_EQ(session.call("/GetCaps", 3), 0);
}

TEST(Services, GetNameCutsToTheCallersBuffer) {
  PluginSession session("chat_test");
  ASSERT_TRUE(session.load());
  char buffer[16];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(session.call("/GetName", 4, reinterpret_cast<LPARAM>(buffer)), 0);
  EXPECT_STREQ(buffer, "cha");
  EXPECT_EQ(buffer[4], 'x');  // nothing written past the given size
  session.call("/GetName", sizeof buffer, reinterpret_cast<LPARAM>(buffer));
  EXPECT_STREQ(buffer, "chat_test");
}

TEST(Services, LoadIconPicksTheResourceAndSize) {
  PluginSession session;
  ASSERT_TRUE(session.load());
  struct Case {
    WPARAM request;
    int resource;
    int size;
  };
  for (Case c : {Case{1, 101, 32}, Case{2, 104, 32}, Case{3, 105, 32}, Case{0x10001, 101, 16},
                 Case{0x10002, 104, 16}, Case{0x10003, 105, 16}}) {
    auto icon = reinterpret_cast<void*>(session.call("/LoadIcon", c.request));
    int resource = 0, cx = 0, cy = 0;
    ASSERT_TRUE(PlatformIconInfo(icon, &resource, &cx, &cy)) << c.request;
    EXPECT_EQ(resource, c.resource);
    EXPECT_EQ(cx, c.size);
    EXPECT_EQ(cy, c.size);
  }
  EXPECT_EQ(session.call("/LoadIcon", 0x10004), 0);
  EXPECT_EQ(session.call("/LoadIcon", 0), 0);
}

TEST(Services, GetStatusIsOfflineAfterLoad) {
  PluginSession session;
  ASSERT_TRUE(session.load());
  EXPECT_EQ(session.call("/GetStatus"), ID_STATUS_OFFLINE);
}

TEST(ModulesLoaded, MarksOnlyThisAccountsOnlineContactsOffline) {
  PluginSession session("chat");
  auto& host = session.host();
  hostsim::Handle online = host.add_contact("chat");
  hostsim::Handle offline = host.add_contact("chat");
  hostsim::Handle foreign = host.add_contact("OTHERPROTO");
  host.profile().write_setting(online, "chat", "Status", word_setting(ID_STATUS_ONLINE));
  host.profile().write_setting(offline, "chat", "Status", word_setting(ID_STATUS_OFFLINE));
  host.profile().write_setting(foreign, "chat", "Status", word_setting(ID_STATUS_ONLINE));
  ASSERT_TRUE(session.load_without_modules_loaded());
  host.clear_records();
  host.modules_loaded();
  EXPECT_EQ(host.setting(online, "chat", "Status"), word_setting(ID_STATUS_OFFLINE));
  EXPECT_EQ(host.setting(foreign, "chat", "Status"), word_setting(ID_STATUS_ONLINE));
  std::vector<hostsim::Handle> written;
  for (const auto& write : host.setting_writes()) written.push_back(write.contact);
  EXPECT_EQ(written, std::vector<hostsim::Handle>{online});
}

TEST(ModulesLoaded, WithNoContactsWritesNothing) {
  PluginSession session;
  ASSERT_TRUE(session.load_without_modules_loaded());
  session.host().clear_records();
  session.host().modules_loaded();
  EXPECT_TRUE(session.host().setting_writes().empty());
}

TEST(Unload, LogsTheEndAndCanBeRepeated) {
  for (int round = 0; round < 3; ++round) {
    PluginSession session;
    ASSERT_TRUE(session.load());
    session.unload();
    std::string log = session.log();
    size_t end = log.rfind(" vortel: Terminating.\r\n");
    ASSERT_NE(end, std::string::npos) << round;
    EXPECT_EQ(end + strlen(" vortel: Terminating.\r\n"), log.size());  // the last record
  }
}

}  // namespace
