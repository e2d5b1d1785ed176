// Visibility in both directions: the server's flags into the host's "ApparentMode" and "Flags",
// and the "/SetApparentMode" service sending the user's choice to the server.
#include "contacts/apparent.h"

#include <gtest/gtest.h>

#include "contacts/contact_records.h"
#include "support/unit_host.h"

namespace {

using testsupport::as_handle;
using testsupport::Handle;
using testsupport::ModifyRequest;
using testsupport::read_modify;
using testsupport::Setting;
using testsupport::UnitHost;

class ApparentApply : public UnitHost {
 protected:
  Handle contact_with(WORD mode, DWORD flags) {
    Handle contact = add_contact("kim@example.org");
    seed(contact, "MRIM", "ApparentMode", Setting::word(mode));
    seed(contact, "MRIM", "Flags", Setting::dword(flags));
    host_.clear_records();
    return contact;
  }
  std::vector<std::string> written() {
    std::vector<std::string> names;
    for (const auto& write : host_.setting_writes()) names.push_back(write.setting);
    return names;
  }
};

TEST_F(ApparentApply, VisibleBitPutsTheContactOnTheVisibleList) {
  Handle kim = contact_with(0, 0);
  mrim_apparent_apply(as_handle(kim), 0x08);
  EXPECT_EQ(setting(kim, "ApparentMode"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(setting(kim, "Flags"), Setting::dword(8));
}

TEST_F(ApparentApply, NoBitTakesTheContactOffTheInvisibleList) {
  Handle kim = contact_with(ID_STATUS_OFFLINE, 4);
  mrim_apparent_apply(as_handle(kim), 0);
  EXPECT_EQ(setting(kim, "ApparentMode"), Setting::word(0));
  EXPECT_EQ(setting(kim, "Flags"), Setting::dword(0));
}

TEST_F(ApparentApply, TheServersHighBitsAreKeptAsTheyCame) {
  Handle kim = contact_with(0, 0);
  mrim_apparent_apply(as_handle(kim), 0x10008);
  EXPECT_EQ(setting(kim, "ApparentMode"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(setting(kim, "Flags"), Setting::dword(0x10008));
  host_.clear_records();
  mrim_apparent_apply(as_handle(kim), 0x10008);
  EXPECT_TRUE(written().empty());
}

TEST_F(ApparentApply, UnchangedValuesAreNotWrittenAgain) {
  Handle kim = contact_with(ID_STATUS_ONLINE, 8);
  mrim_apparent_apply(as_handle(kim), 8);
  EXPECT_TRUE(written().empty());
}

TEST_F(ApparentApply, BothBitsShowTheInvisibleList) {
  Handle kim = contact_with(ID_STATUS_ONLINE, 8);
  mrim_apparent_apply(as_handle(kim), 0x0C);
  EXPECT_EQ(setting(kim, "ApparentMode"), Setting::word(ID_STATUS_OFFLINE));
  EXPECT_EQ(setting(kim, "Flags"), Setting::dword(0x0C));
}

class SetApparentMode : public UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    seed(0, "MRIM", "Timeout", Setting::dword(1));
  }
  Handle listed(DWORD number, DWORD flags, WORD mode) {
    Handle contact = add_contact("kim@example.org");
    seed(contact, "CList", "MyHandle", Setting::string("Kim"));
    seed(contact, "MRIM", "Number", Setting::dword(number));
    seed(contact, "MRIM", "Flags", Setting::dword(flags));
    seed(contact, "MRIM", "ApparentMode", Setting::word(mode));
    return contact;
  }
  INT_PTR set(Handle contact, WPARAM mode) {
    ProtocolCall call{as_handle(contact), "MRIM/SetApparentMode", mode, 0};
    return MRIM_SetApparentMode(0, reinterpret_cast<LPARAM>(&call));
  }
  std::vector<uint32_t> sent_flags() {
    std::vector<uint32_t> flags;
    for (const auto& packet : sent_with_code(MRIM_CS_MODIFY_CONTACT)) {
      auto request = read_modify(packet);
      EXPECT_TRUE(request.has_value());
      if (request) flags.push_back(request->flags);
    }
    return flags;
  }
};

TEST_F(SetApparentMode, VisibleListRequestIsSentAndRecordedOnSuccess) {
  Handle kim = listed(30, 0, 0);
  EXPECT_EQ(set(kim, ID_STATUS_ONLINE), 0);
  auto requests = sent_with_code(MRIM_CS_MODIFY_CONTACT);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(read_modify(requests[0]), (ModifyRequest{30, 0x08, 0, "kim@example.org", "Kim", 0}));
  EXPECT_EQ(setting(kim, "ApparentMode"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(setting(kim, "Flags"), Setting::dword(0x08)) << "the stored flags follow what the server took";
}

TEST_F(SetApparentMode, FlagsSentForEachChangeKeepOneListBitAndTheOtherBits) {
  EXPECT_EQ(set(listed(30, 0x0C, ID_STATUS_ONLINE), 0), 0);
  EXPECT_EQ(set(listed(31, 0x08, ID_STATUS_ONLINE), ID_STATUS_OFFLINE), 0);
  EXPECT_EQ(set(listed(32, 0x10014, 0), ID_STATUS_ONLINE), 0);
  EXPECT_EQ(sent_flags(), (std::vector<uint32_t>{0x00, 0x04, 0x10018}));
}

// Invisible, normal, visible, then a rename: the rename carries the visible bit the server
// took last, not the flags the list gave at log-in.
TEST_F(SetApparentMode, ARenameAfterChangesSendsTheLastAcceptedVisibility) {
  host_.hook_event(ME_DB_CONTACT_SETTINGCHANGED, MRIM_SettingChanged);
  Handle kim = listed(30, 0, 0);
  EXPECT_EQ(set(kim, ID_STATUS_OFFLINE), 0);
  EXPECT_EQ(set(kim, 0), 0);
  EXPECT_EQ(set(kim, ID_STATUS_ONLINE), 0);
  host_.write_setting(kim, "CList", "MyHandle", Setting::string("Kimberly"));
  EXPECT_EQ(sent_flags(), (std::vector<uint32_t>{0x04, 0x00, 0x08, 0x08}));
}

TEST_F(SetApparentMode, RequestsThatSendNothing) {
  EXPECT_EQ(set(listed(30, 0x08, ID_STATUS_ONLINE), ID_STATUS_ONLINE), 1);  // already so
  EXPECT_EQ(set(listed(30, 0, 0), ID_STATUS_AWAY), 1);                      // no such mode
  EXPECT_EQ(set(listed(0, 0, 0), ID_STATUS_ONLINE), 1);                     // not on the server list
  Handle nameless = add_contact("kim@example.org");
  seed(nameless, "MRIM", "Number", Setting::dword(30));
  EXPECT_EQ(set(nameless, ID_STATUS_ONLINE), 1);
  Handle addressless = add_contact("");
  seed(addressless, "CList", "MyHandle", Setting::string("Kim"));
  seed(addressless, "MRIM", "Number", Setting::dword(30));
  EXPECT_EQ(set(addressless, ID_STATUS_ONLINE), 1);
  EXPECT_EQ(set(0, ID_STATUS_ONLINE), 1);
  EXPECT_EQ(MRIM_SetApparentMode(0, 0), 1);
  EXPECT_TRUE(sent().empty());
}

TEST_F(SetApparentMode, RefusalOrSilenceLeavesTheModeAlone) {
  Handle kim = listed(30, 0, 0);
  answer_modify_with(1);
  EXPECT_EQ(set(kim, ID_STATUS_OFFLINE), 1);
  answer_modify_with(std::nullopt);
  EXPECT_EQ(set(kim, ID_STATUS_OFFLINE), 1);
  EXPECT_EQ(setting(kim, "ApparentMode"), Setting::word(0));
  EXPECT_EQ(sent().size(), 2u);
  EXPECT_NE(log_text().find("MRIM_SetApparentMode: ended with error\r\n"), std::string::npos);
}

}  // namespace
