// The Linux platform layer's dialog functions over its model of a dialog, exercised directly
// with a dialog procedure of the test's own on the plug-in's templates: what reaches the
// procedure, the default handling of the system's dialog manager, modal dialogs with and
// without someone at the desk, and destroying a dialog from inside its own procedure.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostsim/dialogs.h"
#include "platform/desktop.h"
#include "platform/win32.h"
#include "resources/resource.h"

namespace {

using hostsim::Dialog;
using hostsim::DialogDesk;

struct Seen {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
};

// What the test procedure saw, and what it is to do.
std::vector<Seen> seen;
INT_PTR end_on_ok = 0;            // EndDialog result on IDOK, 0 for none
bool end_in_init = false;         // EndDialog(42) during WM_INITDIALOG
bool destroy_on_command = false;  // DestroyWindow on any command
bool handle_close = false;        // WM_CLOSE is handled (returns 1)

INT_PTR CALLBACK test_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  seen.push_back({message, wparam, lparam});
  switch (message) {
    case WM_INITDIALOG:
      if (end_in_init) EndDialog(window, 42);
      return 1;
    case WM_COMMAND:
      if (destroy_on_command) {
        DestroyWindow(window);
        // Still usable until the procedure returns.
        SetDlgItemTextA(window, IDC_GROUP, "after destroy");
      }
      if (LOWORD(wparam) == IDOK && end_on_ok != 0) EndDialog(window, end_on_ok);
      return 0;
    case WM_CLOSE:
      return handle_close ? 1 : 0;
    default:
      return 0;
  }
}

HINSTANCE own_instance() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&own_instance), &info);
  return static_cast<HINSTANCE>(info.dli_fbase);
}

class PlatformDialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    seen.clear();
    end_on_ok = 0;
    end_in_init = false;
    destroy_on_command = false;
    handle_close = false;
  }
  HWND create(int template_id, HWND parent = nullptr, LPARAM param = 0) {
    return CreateDialogParamA(own_instance(), MAKEINTRESOURCEA(template_id), parent, test_proc, param);
  }
  std::vector<UINT> commands() const {
    std::vector<UINT> out;
    for (const Seen& s : seen)
      if (s.message == WM_COMMAND) out.push_back(static_cast<UINT>(s.wparam));
    return out;
  }
};

TEST_F(PlatformDialogs, CreatingSendsInitialisationWithTheParameterAndKeepsTheParent) {
  auto parent = reinterpret_cast<HWND>(&seen);  // any window of the host
  HWND dialog = create(IDD_OPTIONS, parent, 77);
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].message, WM_INITDIALOG);
  EXPECT_EQ(seen[0].lparam, 77);
  EXPECT_EQ(GetParent(dialog), parent);
  EXPECT_TRUE(DestroyWindow(dialog));
  EXPECT_FALSE(DestroyWindow(dialog));
  EXPECT_EQ(GetParent(dialog), nullptr);
}

TEST_F(PlatformDialogs, UnknownTemplatesAndOtherModulesGiveNoDialog) {
  EXPECT_EQ(create(999), nullptr);
  EXPECT_EQ(CreateDialogParamA(reinterpret_cast<HINSTANCE>(0x1000), MAKEINTRESOURCEA(IDD_OPTIONS), nullptr,
                               test_proc, 0),
            nullptr);
  EXPECT_EQ(DialogBoxParamA(own_instance(), MAKEINTRESOURCEA(999), nullptr, test_proc, 0), -1);
  EXPECT_TRUE(seen.empty());
}

TEST_F(PlatformDialogs, FieldTextsAreCutToTheCallersBuffer) {
  HWND dialog = create(IDD_OPTIONS);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(SetDlgItemTextA(dialog, IDC_OPT_EMAIL, "abcdef"));
  char text[8] = "zzzzzzz";
  EXPECT_EQ(GetDlgItemTextA(dialog, IDC_OPT_EMAIL, text, 4), 3u);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(GetDlgItemTextA(dialog, IDC_OPT_EMAIL, text, sizeof text), 6u);
  EXPECT_STREQ(text, "abcdef");
  // A control the dialog does not have.
  EXPECT_FALSE(SetDlgItemTextA(dialog, 9999, "x"));
  EXPECT_EQ(GetDlgItemTextA(dialog, 9999, text, sizeof text), 0u);
  EXPECT_STREQ(text, "");
  // Labels keep their template text until changed.
  EXPECT_EQ(GetDlgItemTextA(dialog, IDC_GROUP, text, sizeof text), 4u);
  EXPECT_STREQ(text, "MRIM");
  DestroyWindow(dialog);
  EXPECT_EQ(GetDlgItemTextA(dialog, IDC_OPT_EMAIL, text, sizeof text), 0u);
}

TEST_F(PlatformDialogs, AnEditFieldReportsEveryChangeOfItsText) {
  HWND dialog = create(IDD_OPTIONS);
  seen.clear();
  SetDlgItemTextA(dialog, IDC_OPT_TIMEOUT, "10");
  SetDlgItemTextA(dialog, IDC_GROUP, "Other");  // a group box says nothing
  EXPECT_EQ(commands(), (std::vector<UINT>{MAKEWPARAM(IDC_OPT_TIMEOUT, EN_CHANGE)}));
  DestroyWindow(dialog);
}

TEST_F(PlatformDialogs, CheckBoxesKeepTheirState) {
  HWND dialog = create(IDD_OPTIONS);
  EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_OPT_NMNOTIFY), BST_UNCHECKED);
  EXPECT_TRUE(CheckDlgButton(dialog, IDC_OPT_NMNOTIFY, BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_OPT_NMNOTIFY), BST_CHECKED);
  EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_OPT_BALLOON), BST_UNCHECKED);
  EXPECT_FALSE(CheckDlgButton(dialog, 9999, BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(dialog, 9999), BST_UNCHECKED);
  EXPECT_TRUE(seen.size() == 1u);  // no messages besides the initialisation
  DestroyWindow(dialog);
}

TEST_F(PlatformDialogs, TheDialogManagerKeepsIconsAndTurnsTheCloseBoxIntoCancel) {
  HWND dialog = create(IDD_ACCOUNT_SETUP);
  HICON icon = LoadIconA(own_instance(), MAKEINTRESOURCEA(IDI_PROTOCOL));
  int id = 0, cx = 0, cy = 0;
  ASSERT_TRUE(PlatformIconInfo(icon, &id, &cx, &cy));
  EXPECT_EQ(id, IDI_PROTOCOL);
  EXPECT_EQ(cx, 32);
  EXPECT_EQ(SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon)), 0);
  EXPECT_EQ(SendMessageA(dialog, WM_SETICON, ICON_BIG, 0), reinterpret_cast<LRESULT>(icon));

  seen.clear();
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_EQ(commands(), (std::vector<UINT>{MAKEWPARAM(IDCANCEL, BN_CLICKED)}));
  // A procedure that handles the close box itself gets no Cancel command.
  handle_close = true;
  seen.clear();
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_TRUE(commands().empty());
  DestroyWindow(dialog);
}

TEST_F(PlatformDialogs, ADialogDestroyedInsideItsProcedureGoesWhenTheProcedureReturns) {
  HWND dialog = create(IDD_OPTIONS);
  destroy_on_command = true;
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_OPT_BALLOON, BN_CLICKED), 0);
  char text[8];
  EXPECT_EQ(GetDlgItemTextA(dialog, IDC_GROUP, text, sizeof text), 0u);
  EXPECT_EQ(GetParent(dialog), nullptr);
  EXPECT_FALSE(DestroyWindow(dialog));
}

TEST_F(PlatformDialogs, AModalDialogReturnsWhatEndDialogWasGiven) {
  end_on_ok = 1234;
  std::vector<std::string> typed;
  DialogDesk desk([&](Dialog& dialog) {
    EXPECT_TRUE(dialog.type(IDC_SETUP_EMAIL, "kim"));
    typed.push_back(dialog.text(IDC_SETUP_EMAIL));
    dialog.press_ok();
  });
  EXPECT_EQ(DialogBoxParamA(own_instance(), MAKEINTRESOURCEA(IDD_ACCOUNT_SETUP), nullptr, test_proc, 0),
            1234);
  EXPECT_EQ(typed, std::vector<std::string>{"kim"});
  ASSERT_EQ(desk.shown().size(), 1u);
  EXPECT_TRUE(desk.shown()[0].answered);
  EXPECT_EQ(desk.shown()[0].result, 1234);
}

TEST_F(PlatformDialogs, AModalDialogNobodyEndsIsCancelled) {
  {
    // The desk's answer leaves it open; then the procedure is sent Cancel but ignores it too.
    DialogDesk desk([](Dialog&) {});
    EXPECT_EQ(DialogBoxParamA(own_instance(), MAKEINTRESOURCEA(IDD_ACCOUNT_SETUP), nullptr, test_proc, 0),
              IDCANCEL);
    ASSERT_EQ(desk.shown().size(), 1u);
    EXPECT_FALSE(desk.shown()[0].answered);
  }
  seen.clear();
  // Nobody at the desk at all.
  EXPECT_EQ(DialogBoxParamA(own_instance(), MAKEINTRESOURCEA(IDD_ACCOUNT_SETUP), nullptr, test_proc, 0),
            IDCANCEL);
  std::vector<UINT> sent = commands();
  EXPECT_NE(std::find(sent.begin(), sent.end(), MAKEWPARAM(IDCANCEL, BN_CLICKED)), sent.end());
}

TEST_F(PlatformDialogs, AModalDialogEndedDuringInitialisationIsNeverShown) {
  end_in_init = true;
  DialogDesk desk([](Dialog&) { ADD_FAILURE() << "the desk was asked"; });
  EXPECT_EQ(DialogBoxParamA(own_instance(), MAKEINTRESOURCEA(IDD_ACCOUNT_SETUP), nullptr, test_proc, 0), 42);
  EXPECT_TRUE(desk.shown().empty());
}

}  // namespace
