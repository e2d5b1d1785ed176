// The three dialog templates as the plug-in's dialogs are made from them: every control's id,
// kind, text, position and style, and each dialog's style, font, size and caption. The style
// words are those the Windows resource compiler gives the same script, so these tests also pin
// the Linux model to the DLL's real templates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource.h"
#include "ui_support.h"

namespace {

using hostsim::ControlView;
using hostsim::Dialog;
using hostsim::DialogDesk;
using testsupport::PluginSession;

struct Expected {
  int id;
  int kind;
  const char* text;  // the template's text; edit fields start empty
  int x, y, cx, cy;
  uint32_t style;
};

constexpr int kLabel = PLATFORM_CONTROL_LABEL;
constexpr int kEdit = PLATFORM_CONTROL_EDIT;
constexpr int kButton = PLATFORM_CONTROL_BUTTON;
constexpr int kCheck = PLATFORM_CONTROL_CHECKBOX;
constexpr int kGroup = PLATFORM_CONTROL_GROUPBOX;

constexpr uint32_t kVisibleChild = WS_CHILD | WS_VISIBLE;
constexpr uint32_t kLeftLabel = kVisibleChild | WS_GROUP | SS_LEFT;
constexpr uint32_t kRightLabel = kVisibleChild | WS_GROUP | SS_RIGHT;
constexpr uint32_t kBorderedEdit = kVisibleChild | WS_BORDER | WS_TABSTOP;
constexpr uint32_t kReadOnlyEdit = kVisibleChild | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY;
constexpr uint32_t kCheckBox = kVisibleChild | WS_TABSTOP | BS_AUTOCHECKBOX | BS_MULTILINE | BS_TOP;

void expect_controls(const std::vector<ControlView>& controls, const std::vector<Expected>& expected,
                     const std::vector<int>& skip_text_of = {}) {
  ASSERT_EQ(controls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const ControlView& c = controls[i];
    const Expected& e = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + " (" + std::to_string(e.id) + ")");
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.kind, e.kind);
    if (std::find(skip_text_of.begin(), skip_text_of.end(), e.id) == skip_text_of.end()) {
      EXPECT_EQ(c.text, e.text);
    }
    EXPECT_EQ((std::vector<int>{c.x, c.y, c.cx, c.cy}), (std::vector<int>{e.x, e.y, e.cx, e.cy}));
    EXPECT_EQ(c.style, e.style) << std::hex << c.style << " vs " << e.style;
  }
}

TEST(Templates, OptionsPage201) {
  PluginSession session;
  uitest::seed_account(session, "kim@mrim.example", "secret");
  ASSERT_TRUE(session.load());
  hostsim::OptionsWindow options(session.host());
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  auto info = page->info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->style, kVisibleChild | DS_SETFONT);
  EXPECT_EQ(info->ex_style, WS_EX_CONTROLPARENT);
  EXPECT_EQ(info->cx, 281);
  EXPECT_EQ(info->cy, 386);
  EXPECT_STREQ(info->font, "MS Shell Dlg");
  EXPECT_EQ(info->font_size, 8);
  EXPECT_EQ(info->parent, options.handle());
  expect_controls(
      page->controls(),
      {
          {IDC_GROUP, kGroup, "MRIM", 4, 5, 273, 60, kVisibleChild | BS_GROUPBOX},
          {IDC_STATIC, kLabel, "EMail:", 12, 17, 42, 8, kRightLabel},
          {2001, kEdit, "", 59, 16, 116, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {IDC_STATIC, kLabel, "Password:", 12, 32, 42, 8, kRightLabel},
          {2002, kEdit, "", 59, 30, 116, 12, kBorderedEdit | ES_PASSWORD},
          {IDC_STATIC, kLabel, "You will need to reconnect if you make changes.", 12, 46, 257, 12,
           kLeftLabel},
          {IDC_GROUP, kGroup, "New Mail", 4, 76, 273, 43, kVisibleChild | BS_GROUPBOX},
          {2004, kCheck, "New Mail Notify", 12, 90, 257, 12, kCheckBox},
          {2003, kCheck, "Baloon-style (if not set, notify by mailbox contact)", 12, 102, 257, 12, kCheckBox},
          {IDC_GROUP, kGroup, "Expert", 4, 120, 273, 63, kVisibleChild | BS_GROUPBOX},
          {IDC_STATIC, kLabel, "Timeout (Sec):", 10, 128, 48, 8, kRightLabel},
          {2005, kEdit, "", 65, 127, 116, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {2008, kCheck, "Reconnect by itself after a lost connection", 12, 141, 257, 12, kCheckBox},
          {2010, kCheck, "Old protocol (code page 1251 texts, no status texts)", 12, 154, 257, 12, kCheckBox},
          {2009, kCheck, "Write a diagnostic log (for bug reports)", 12, 167, 257, 12, kCheckBox},
          {IDC_GROUP, kGroup, "Server", 4, 186, 273, 64, kVisibleChild | BS_GROUPBOX},
          {IDC_STATIC, kLabel, "Host name:", 10, 198, 48, 8, kRightLabel},
          {2006, kEdit, "", 65, 197, 140, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {IDC_STATIC, kLabel, "Port:", 208, 198, 20, 8, kRightLabel},
          {2007, kEdit, "", 231, 197, 38, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {IDC_STATIC, kLabel, "Leave empty for the built-in server.", 65, 212, 204, 8, kLeftLabel},
          {IDC_STATIC, kLabel, "Pictures:", 10, 224, 48, 8, kRightLabel},
          {2017, kEdit, "", 65, 223, 204, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {IDC_STATIC, kLabel, "host:port; empty: the MRIM server, port 8081; off: none.", 65, 238, 204, 8,
           kLeftLabel},
          {IDC_GROUP, kGroup, "Encryption", 4, 254, 273, 81, kVisibleChild | BS_GROUPBOX},
          {2013, kCheck, "Encrypt the connection when the server offers it", 12, 266, 257, 12, kCheckBox},
          {2014, kCheck, "Refuse servers that offer no encryption", 12, 278, 257, 12, kCheckBox},
          {IDC_STATIC, kLabel, "Certificate:", 10, 293, 48, 8, kRightLabel},
          {2015, kEdit, "", 65, 292, 204, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {IDC_STATIC, kLabel, "SHA-256; empty: trust the first one seen.", 65, 305, 204, 8, kLeftLabel},
          {2016, kLabel, "", 65, 315, 204, 16, kLeftLabel},
          {IDC_GROUP, kGroup, "My status message", 4, 338, 273, 44, kVisibleChild | BS_GROUPBOX},
          {IDC_STATIC, kLabel, "Title:", 10, 351, 48, 8, kRightLabel},
          {2011, kEdit, "", 65, 350, 204, 12, kBorderedEdit | ES_AUTOHSCROLL},
          {IDC_STATIC, kLabel, "Description:", 10, 366, 48, 8, kRightLabel},
          {2012, kEdit, "", 65, 365, 204, 12, kBorderedEdit | ES_AUTOHSCROLL},
      },
      {2001, 2002, 2005, 2016});
}

TEST(Templates, AccountSetup501) {
  PluginSession session;
  std::vector<ControlView> controls;
  std::optional<PlatformDialogInfo> info;
  DialogDesk desk([&](Dialog& dialog) {
    controls = dialog.controls();
    info = dialog.info();
    dialog.press_cancel();
  });
  ASSERT_TRUE(session.load());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->style, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFONT);
  EXPECT_EQ(info->ex_style, 0u);
  EXPECT_EQ(info->cx, 200);
  EXPECT_EQ(info->cy, 101);
  EXPECT_STREQ(info->caption, "MRIM Account Setup");
  EXPECT_STREQ(info->font, "MS Sans Serif");
  EXPECT_EQ(info->font_size, 8);
  EXPECT_EQ(info->parent, nullptr);  // no owner window
  expect_controls(
      controls,
      {
          {IDOK, kButton, "OK", 87, 80, 50, 14, kVisibleChild | WS_TABSTOP | BS_DEFPUSHBUTTON},
          {IDCANCEL, kButton, "Cancel", 143, 80, 50, 14, kVisibleChild | WS_TABSTOP},
          {IDC_STATIC, kLabel, "Please enter your MRIM details to continue:", 7, 9, 186, 20, kLeftLabel},
          {IDC_STATIC, kLabel, "E-Mail:", 21, 37, 65, 8, kLeftLabel},
          {IDC_STATIC, kLabel, "Password:", 21, 57, 66, 8, kLeftLabel},
          {1001, kEdit, "", 91, 34, 102, 13, kBorderedEdit | ES_AUTOHSCROLL},
          {1002, kEdit, "", 91, 54, 102, 13, kBorderedEdit | ES_PASSWORD},
      });
}

TEST(Templates, DetailsPage601) {
  PluginSession session;
  uitest::seed_account(session, "kim@mrim.example", "secret");
  ASSERT_TRUE(session.load());
  hostsim::DetailsWindow details(session.host(), 0);
  Dialog* page = details.page("MRIM");
  ASSERT_NE(page, nullptr);
  auto info = page->info();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->style, WS_CHILD | DS_SETFONT);  // not visible until the window shows it
  EXPECT_EQ(info->ex_style, WS_EX_CONTROLPARENT);
  EXPECT_EQ(info->cx, 222);
  EXPECT_EQ(info->cy, 132);
  EXPECT_STREQ(info->font, "MS Shell Dlg");
  expect_controls(page->controls(),
                  {
                      {IDC_STATIC, kLabel, "Email:", 5, 5, 71, 8, kLeftLabel},
                      {1001, kEdit, "", 74, 5, 143, 12, kReadOnlyEdit},
                      {700, kEdit, "", 5, 18, 200, 12, kReadOnlyEdit},
                      {IDC_STATIC, kLabel, "Client:", 5, 31, 71, 8, kLeftLabel},
                      {1003, kEdit, "", 74, 31, 143, 12, kReadOnlyEdit},
                      {IDC_STATIC, kLabel, "Post:", 5, 44, 71, 8, kLeftLabel},
                      {1004, kEdit, "", 74, 44, 143, 12, kReadOnlyEdit},
                      {IDC_STATIC, kLabel, "Posted:", 5, 57, 71, 8, kLeftLabel},
                      {1005, kEdit, "", 74, 57, 143, 12, kReadOnlyEdit},
                  },
                  {1001, 700, 1003, 1004, 1005});
}

}  // namespace
