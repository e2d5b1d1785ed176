// The account set-up dialog that Load shows while the account has no "EMail" or no "Password":
// what it shows, what OK, Cancel and the close box store, and when it is asked again.
#include <gtest/gtest.h>

#include <string>

#include "resources/resource.h"
#include "ui_support.h"

namespace {

using hostsim::Dialog;
using hostsim::DialogDesk;
using testsupport::PluginSession;
using uitest::account;
using uitest::account_text;
using uitest::encoded;

TEST(AccountSetup, OnAFreshProfileCancelStoresNothingAndAsksAgainAtTheNextLoad) {
  PluginSession session;
  DialogDesk desk;  // nobody answers: the dialog is cancelled
  ASSERT_TRUE(session.load());
  auto shown = desk.shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].template_id, IDD_ACCOUNT_SETUP);
  EXPECT_EQ(shown[0].caption, "MRIM Account Setup");
  EXPECT_EQ(shown[0].texts, (std::map<int, std::string>{{IDC_SETUP_EMAIL, ""}, {IDC_SETUP_PASSWORD, ""}}));
  EXPECT_TRUE(shown[0].had_big_icon);
  EXPECT_EQ(shown[0].result, IDCANCEL);
  EXPECT_FALSE(account(session, "EMail"));
  EXPECT_FALSE(account(session, "Password"));
  EXPECT_FALSE(account(session, "Nick"));
  // Loading went on: the services exist and "Timeout" got its default first.
  EXPECT_TRUE(session.host().service_exists("MRIM/GetStatus"));
  EXPECT_EQ(account(session, "Timeout"), hostsim::Setting::dword(10));

  session.unload();
  ASSERT_TRUE(session.load());
  EXPECT_EQ(desk.shown().size(), 2u);
}

TEST(AccountSetup, OkStoresTheAddressAndTheEncodedPasswordAndIsNotAskedAgain) {
  PluginSession session;
  DialogDesk desk([](Dialog& dialog) {
    EXPECT_TRUE(dialog.type(IDC_SETUP_EMAIL, "kim@mrim.example"));
    EXPECT_TRUE(dialog.type(IDC_SETUP_PASSWORD, "p4ss word"));
    dialog.press_ok();
  });
  ASSERT_TRUE(session.load());
  ASSERT_EQ(desk.shown().size(), 1u);
  EXPECT_TRUE(desk.shown()[0].answered);
  EXPECT_EQ(desk.shown()[0].result, IDOK);
  EXPECT_EQ(account_text(session, "EMail"), "kim@mrim.example");
  std::string stored = account_text(session, "Password").value_or("");
  EXPECT_EQ(stored, encoded(session.host(), "p4ss word"));
  EXPECT_NE(stored, "p4ss word");
  // Load copies the new address into "Nick" after the dialog.
  EXPECT_EQ(account_text(session, "Nick"), "kim@mrim.example");
  EXPECT_EQ(session.log().find("p4ss word"), std::string::npos);

  session.unload();
  ASSERT_TRUE(session.load());
  EXPECT_EQ(desk.shown().size(), 1u);
}

TEST(AccountSetup, ShowsWhatIsStoredAndAsksForWhatIsMissing) {
  {
    PluginSession session;
    session.set_account_text("EMail", "kim@mrim.example");
    DialogDesk desk;
    ASSERT_TRUE(session.load());
    ASSERT_EQ(desk.shown().size(), 1u);
    EXPECT_EQ(desk.shown()[0].texts.at(IDC_SETUP_EMAIL), "kim@mrim.example");
    EXPECT_EQ(desk.shown()[0].texts.at(IDC_SETUP_PASSWORD), "");
    EXPECT_EQ(account_text(session, "EMail"), "kim@mrim.example");
  }
  {
    PluginSession session;
    session.set_account_text("Password", encoded(session.host(), "secret"));
    DialogDesk desk;
    ASSERT_TRUE(session.load());
    ASSERT_EQ(desk.shown().size(), 1u);
    EXPECT_EQ(desk.shown()[0].texts.at(IDC_SETUP_EMAIL), "");
    EXPECT_EQ(desk.shown()[0].texts.at(IDC_SETUP_PASSWORD), "secret");
    // The decoding happened on the host's copy: the stored value is untouched.
    EXPECT_EQ(account_text(session, "Password"), encoded(session.host(), "secret"));
  }
  {
    PluginSession session;
    uitest::seed_account(session, "kim@mrim.example", "secret");
    DialogDesk desk;
    ASSERT_TRUE(session.load());
    EXPECT_TRUE(desk.shown().empty());
  }
}

TEST(AccountSetup, TheCloseBoxAndCancelStoreNothing) {
  for (bool close_box : {true, false}) {
    PluginSession session;
    DialogDesk desk([close_box](Dialog& dialog) {
      dialog.type(IDC_SETUP_EMAIL, "kim@mrim.example");
      dialog.type(IDC_SETUP_PASSWORD, "secret");
      if (close_box)
        dialog.close_box();
      else
        dialog.press_cancel();
    });
    ASSERT_TRUE(session.load());
    ASSERT_EQ(desk.shown().size(), 1u);
    EXPECT_TRUE(desk.shown()[0].answered) << close_box;
    EXPECT_EQ(desk.shown()[0].result, IDCANCEL);
    EXPECT_FALSE(account(session, "EMail")) << close_box;
    EXPECT_FALSE(account(session, "Password")) << close_box;
  }
}

TEST(AccountSetup, EmptyFieldsAreStoredAsEmptyTextsAndCountAsPresent) {
  PluginSession session;
  DialogDesk desk([](Dialog& dialog) { dialog.press_ok(); });
  ASSERT_TRUE(session.load());
  EXPECT_EQ(account_text(session, "EMail"), "");
  EXPECT_EQ(account_text(session, "Password"), "");
  session.unload();
  ASSERT_TRUE(session.load());
  EXPECT_EQ(desk.shown().size(), 1u);
}

TEST(AccountSetup, ReadsAtMost127CharactersOfEachField) {
  PluginSession session;
  const std::string long_address(300, 'a');
  const std::string long_password(200, 'p');
  DialogDesk desk([&](Dialog& dialog) {
    dialog.type(IDC_SETUP_EMAIL, long_address);
    dialog.type(IDC_SETUP_PASSWORD, long_password);
    dialog.press_ok();
  });
  ASSERT_TRUE(session.load());
  EXPECT_EQ(account_text(session, "EMail"), std::string(127, 'a'));
  EXPECT_EQ(account_text(session, "Password"), encoded(session.host(), std::string(127, 'p')));
}

TEST(AccountSetup, TheDialogIsTranslatedWithItsOwnWindow) {
  PluginSession session;
  void* window = nullptr;
  DialogDesk desk([&](Dialog& dialog) {
    window = dialog.handle();
    dialog.press_cancel();
  });
  ASSERT_TRUE(session.load());
  auto translated = session.host().translated_dialogs();
  ASSERT_NE(window, nullptr);
  EXPECT_NE(std::find(translated.begin(), translated.end(), reinterpret_cast<hostsim::Handle>(window)),
            translated.end());
}

}  // namespace
