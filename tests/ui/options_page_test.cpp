// The options page: its record in the options window, what it shows when it opens, the
// page-changed message, and what the Apply button stores (every one of its settings, in order, with
// the rules of the reply time-out and of the server fields).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource.h"
#include "ui_support.h"

namespace {

using hostsim::Dialog;
using hostsim::OptionsWindow;
using hostsim::Setting;
using testsupport::PluginSession;
using uitest::account;
using uitest::account_text;
using uitest::encoded;

class OptionsPageTest : public ::testing::Test {
 protected:
  void SetUp() override { uitest::seed_account(session, "kim@mrim.example", "secret"); }
  void load() { ASSERT_TRUE(session.load()); }

  PluginSession session;
  hostsim::Host& host = session.host();
};

TEST_F(OptionsPageTest, IsAddedToTheNetworkGroupUnderTheModuleName) {
  host.load_translations({{"Network", "Сеть"}});
  load();
  OptionsWindow options(host);
  auto records = options.page_records();
  ASSERT_EQ(records.size(), 1u);
  const OptionsPage& page = records[0].page;
  EXPECT_EQ(page.size, static_cast<int>(sizeof(OptionsPage)));
  EXPECT_EQ(page.position, 0);
  EXPECT_EQ(records[0].title, "MRIM");
  EXPECT_EQ(records[0].group, "Сеть");
  EXPECT_EQ(page.template_name, MAKEINTRESOURCEA(IDD_OPTIONS));
  EXPECT_NE(page.instance, nullptr);
  EXPECT_NE(page.dialog_proc, nullptr);
  EXPECT_EQ(page.icon, nullptr);
  EXPECT_EQ(page.group_position, 0);
  EXPECT_EQ(page.group_icon, nullptr);
  EXPECT_EQ(page.flags, 4u);
  EXPECT_EQ(page.simple_bottom_control, 0);
  EXPECT_EQ(page.simple_right_control, 0);
  EXPECT_EQ(page.expert_only_controls, nullptr);
  EXPECT_EQ(page.expert_only_control_count, 0);
  ASSERT_NE(options.page("MRIM"), nullptr);
  EXPECT_EQ(options.page("MRIM")->template_id(), IDD_OPTIONS);
}

TEST_F(OptionsPageTest, ShowsTheStoredSettings) {
  session.set_account_dword("Timeout", 25);
  session.host().profile().write_setting(0, "MRIM", "NMNotify", Setting::byte(1));
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->text(IDC_OPT_EMAIL), "kim@mrim.example");
  EXPECT_EQ(page->text(IDC_OPT_PASSWORD), "secret");
  EXPECT_EQ(page->text(IDC_OPT_TIMEOUT), "25");
  EXPECT_TRUE(page->checked(IDC_OPT_NMNOTIFY));
  EXPECT_FALSE(page->checked(IDC_OPT_BALLOON));
  auto translated = host.translated_dialogs();
  EXPECT_NE(
      std::find(translated.begin(), translated.end(), reinterpret_cast<hostsim::Handle>(page->handle())),
      translated.end());
}

TEST_F(OptionsPageTest, ShowsTheBalloonStyleAndEmptyFieldsForMissingSettings) {
  session.host().profile().write_setting(0, "MRIM", "NMPN", Setting::dword(7));
  session.host().profile().write_setting(0, "MRIM", "NMNotify", Setting::byte(0));
  load();
  // Only after loading: the set-up dialog is not part of this test.
  host.profile().delete_setting(0, "MRIM", "EMail");
  host.profile().delete_setting(0, "MRIM", "Password");
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->text(IDC_OPT_EMAIL), "");
  EXPECT_EQ(page->text(IDC_OPT_PASSWORD), "");
  EXPECT_EQ(page->text(IDC_OPT_TIMEOUT), "10");  // written at load
  EXPECT_FALSE(page->checked(IDC_OPT_NMNOTIFY));
  EXPECT_TRUE(page->checked(IDC_OPT_BALLOON));
  EXPECT_TRUE(page->checked(IDC_OPT_RECONNECT)) << "reconnecting is on until the user turns it off";
  EXPECT_FALSE(page->checked(IDC_OPT_LOG)) << "the release build's log is off until the user turns it on";
  EXPECT_TRUE(page->checked(IDC_OPT_ENCRYPT)) << "encrypting when offered is the default";
  EXPECT_FALSE(page->checked(IDC_OPT_ENCRYPT_REQUIRED));
  EXPECT_EQ(page->text(IDC_OPT_CERT_PIN), "");
}

TEST_F(OptionsPageTest, ApplyWithoutChangesRewritesEverySettingInOrder) {
  session.set_account_dword("Timeout", 25);
  load();
  OptionsWindow options(host);
  ASSERT_NE(options.page("MRIM"), nullptr);
  host.clear_records();
  options.apply();
  std::vector<std::string> names;
  for (const auto& write : host.setting_writes()) {
    EXPECT_EQ(write.contact, 0u);
    EXPECT_EQ(write.module, "MRIM");
    names.push_back(write.setting);
  }
  // The status texts are written only when changed: each write announces the status again. So
  // is the pin: the connection may have pinned a certificate since the page opened.
  EXPECT_EQ(names,
            (std::vector<std::string>{"EMail", "Password", "NMNotify", "NMPN", "Timeout", "Reconnect", "Log",
                                      "Server", "Port", "AvatarServer", "LegacyProtocol", "Encryption"}));
  EXPECT_EQ(account(session, "EMail"), Setting::string("kim@mrim.example"));
  EXPECT_EQ(account(session, "Password"), Setting::string(encoded(host, "secret")));
  EXPECT_EQ(account(session, "NMNotify"), Setting::byte(0));
  EXPECT_EQ(account(session, "NMPN"), Setting::dword(0));
  EXPECT_EQ(account(session, "Timeout"), Setting::dword(25));
  // Empty fields: the build's default server.
  EXPECT_EQ(account(session, "Server"), Setting::string(""));
  EXPECT_EQ(account(session, "Port"), Setting::dword(0));
  EXPECT_EQ(account(session, "AvatarServer"), Setting::string(""));
  EXPECT_EQ(account(session, "Encryption"), Setting::byte(1));
}

// The connection pins a certificate while the page is open: Apply keeps it unless the user
// edited the field, or chose another server, whose certificate the old pin says nothing of.
TEST_F(OptionsPageTest, ApplyKeepsAPinWrittenSinceThePageOpened) {
  const std::string pinned(64, 'a');
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->text(IDC_OPT_CERT_SESSION), "This session: not connected");
  session.set_account_text("CertificatePin", pinned);
  options.apply();
  EXPECT_EQ(account(session, "CertificatePin"), Setting::string(pinned));

  page->type(IDC_OPT_SERVER, "mrim.example.org");
  options.apply();
  EXPECT_EQ(account(session, "CertificatePin"), Setting::string(""));
  EXPECT_EQ(page->text(IDC_OPT_CERT_PIN), "");
}

TEST_F(OptionsPageTest, ApplyStoresWhatTheUserChanged) {
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  EXPECT_TRUE(page->type(IDC_OPT_EMAIL, "lee@other.example"));
  EXPECT_TRUE(page->type(IDC_OPT_PASSWORD, "other secret"));
  EXPECT_TRUE(page->click(IDC_OPT_NMNOTIFY));
  EXPECT_TRUE(page->click(IDC_OPT_BALLOON));
  EXPECT_TRUE(page->type(IDC_OPT_TIMEOUT, "42"));
  EXPECT_TRUE(page->click(IDC_OPT_RECONNECT));
  EXPECT_TRUE(page->click(IDC_OPT_LOG));
  EXPECT_TRUE(page->click(IDC_OPT_LEGACY));
  EXPECT_TRUE(page->type(IDC_OPT_STATUS_TITLE, "\xC2 \xE7\xE0\xEB\xE5"));  // "В зале" as the dialog holds it
  options.apply();
  EXPECT_EQ(account(session, "Reconnect"), Setting::byte(0));
  EXPECT_EQ(account(session, "Log"), Setting::byte(1));
  EXPECT_EQ(account(session, "LegacyProtocol"), Setting::byte(1));
  EXPECT_EQ(account(session, "StatusTitle"), Setting::utf8("В зале"));  // the host takes UTF-8
  EXPECT_EQ(account_text(session, "EMail"), "lee@other.example");
  EXPECT_EQ(account_text(session, "Password"), encoded(host, "other secret"));
  EXPECT_EQ(account(session, "NMNotify"), Setting::byte(1));
  EXPECT_EQ(account(session, "NMPN"), Setting::dword(1));
  EXPECT_EQ(account(session, "Timeout"), Setting::dword(42));

  // Unticking stores 0 again.
  page->click(IDC_OPT_NMNOTIFY);
  page->click(IDC_OPT_BALLOON);
  page->click(IDC_OPT_LOG);
  options.apply();
  EXPECT_EQ(account(session, "NMNotify"), Setting::byte(0));
  EXPECT_EQ(account(session, "Log"), Setting::byte(0));
  EXPECT_EQ(account(session, "NMPN"), Setting::dword(0));
}

TEST_F(OptionsPageTest, TheTimeoutIsOneTo60SecondsElse10) {
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  struct Case {
    const char* entry;
    DWORD stored;
  };
  const Case cases[] = {{"61", 10},
                        {"60", 60},
                        {"7 and a word", 7},
                        {"-5", 10},
                        {"", 10},
                        {"0", 10},
                        {"1", 1},
                        {"  +30", 30},
                        {"abc", 10},
                        {"25s", 25},
                        {"-0", 10},
                        {"4294967297", 10},
                        {"-4294967295", 10},
                        {"99999999999999", 10}};
  for (const Case& c : cases) {
    page->type(IDC_OPT_TIMEOUT, c.entry);
    options.apply();
    EXPECT_EQ(account(session, "Timeout"), Setting::dword(c.stored)) << '"' << c.entry << '"';
  }
}

TEST_F(OptionsPageTest, TheServerFieldsShowAndStoreTheAccountsServer) {
  session.set_account_text("Server", "mrim.example.org");
  session.set_account_dword("Port", 2041);
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->text(IDC_OPT_SERVER), "mrim.example.org");
  EXPECT_EQ(page->text(IDC_OPT_PORT), "2041");

  page->type(IDC_OPT_SERVER, "  other.mrim.test ");
  page->type(IDC_OPT_PORT, "8443");
  options.apply();
  EXPECT_EQ(account(session, "Server"), Setting::string("other.mrim.test"));
  EXPECT_EQ(account(session, "Port"), Setting::dword(8443));
}

TEST_F(OptionsPageTest, AnUnusableServerOrPortIsStoredAsTheDefault) {
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  struct Case {
    std::string entry;
    const char* stored;
  };
  const std::string longest(255, 'a');
  const Case names[] = {{"two words.test", ""},
                        {"tab\there.test", ""},
                        {longest, longest.c_str()},
                        {longest + "a", ""},
                        {"", ""}};
  for (const Case& c : names) {
    page->type(IDC_OPT_SERVER, c.entry);
    options.apply();
    EXPECT_EQ(account(session, "Server"), Setting::string(c.stored)) << '"' << c.entry << '"';
  }
  const std::pair<const char*, DWORD> ports[] = {{"65535", 65535}, {"1", 1},         {"0", 0},   {"65536", 0},
                                                 {"-443", 0},      {"443 tls", 443}, {"abc", 0}, {"", 0}};
  for (const auto& [entry, stored] : ports) {
    page->type(IDC_OPT_PORT, entry);
    options.apply();
    EXPECT_EQ(account(session, "Port"), Setting::dword(stored)) << '"' << entry << '"';
  }
}

// Each of the three values shows as its own pair of boxes and comes back unchanged from apply;
// the boxes can only be made to stand for one of the three.
TEST_F(OptionsPageTest, TheEncryptionBoxesStandForTheThreeValues) {
  load();
  struct Case {
    BYTE stored;
    bool encrypt, required;
  };
  for (const Case& c : {Case{0, false, false}, Case{1, true, false}, Case{2, true, true}}) {
    host.profile().write_setting(0, "MRIM", "Encryption", Setting::byte(c.stored));
    OptionsWindow options(host);
    Dialog* page = options.page("MRIM");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->checked(IDC_OPT_ENCRYPT), c.encrypt) << int{c.stored};
    EXPECT_EQ(page->checked(IDC_OPT_ENCRYPT_REQUIRED), c.required) << int{c.stored};
    options.apply();
    EXPECT_EQ(account(session, "Encryption"), Setting::byte(c.stored));
  }

  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  page->click(IDC_OPT_ENCRYPT);  // off: never
  EXPECT_FALSE(page->checked(IDC_OPT_ENCRYPT_REQUIRED));
  page->click(IDC_OPT_ENCRYPT_REQUIRED);  // requiring it encrypts
  EXPECT_TRUE(page->checked(IDC_OPT_ENCRYPT));
  options.apply();
  EXPECT_EQ(account(session, "Encryption"), Setting::byte(2));
  page->click(IDC_OPT_ENCRYPT);  // never encrypting requires nothing
  EXPECT_FALSE(page->checked(IDC_OPT_ENCRYPT_REQUIRED));
  options.apply();
  EXPECT_EQ(account(session, "Encryption"), Setting::byte(0));
}

TEST_F(OptionsPageTest, APastedFingerprintIsStoredAsPlainLowerCaseHex) {
  // As certificate viewers show one, "3F:AB:12:C0:...", here with blanks besides.
  std::string pin, pasted = " ";
  for (int i = 0; i < 8; ++i) {
    pin += "3fab12c0";
    pasted += i == 0 ? "3F:AB:12:C0" : ": 3F:AB:12:C0";
  }
  pasted += "\t";
  load();
  {
    OptionsWindow options(host);
    Dialog* page = options.page("MRIM");
    ASSERT_NE(page, nullptr);
    page->type(IDC_OPT_CERT_PIN, pasted);
    options.apply();
    EXPECT_EQ(account(session, "CertificatePin"), Setting::string(pin));
  }
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->text(IDC_OPT_CERT_PIN), pin);
  // Clearing the field accepts the next certificate the server shows.
  page->type(IDC_OPT_CERT_PIN, "");
  options.apply();
  EXPECT_EQ(account(session, "CertificatePin"), Setting::string(""));
}

TEST_F(OptionsPageTest, EveryCommandTellsTheWindowThePageChanged) {
  load();
  OptionsWindow options(host);
  Dialog* page = options.page("MRIM");
  ASSERT_NE(page, nullptr);
  int opened = options.changed_notices();
  page->type(IDC_OPT_EMAIL, "lee@other.example");
  EXPECT_EQ(options.changed_notices(), opened + 1);
  page->click(IDC_OPT_BALLOON);
  EXPECT_EQ(options.changed_notices(), opened + 2);
  // A notice other than apply changes nothing and stores nothing.
  host.clear_records();
  page->notify(options.handle(), 0, PSN_INFOCHANGED);
  EXPECT_TRUE(host.setting_writes().empty());
  EXPECT_EQ(options.changed_notices(), opened + 2);
}

TEST_F(OptionsPageTest, NoPageBeforeAllModulesAreLoadedNorAfterUnload) {
  ASSERT_TRUE(session.load_without_modules_loaded());
  {
    OptionsWindow options(host);
    EXPECT_TRUE(options.page_records().empty());
  }
  host.modules_loaded();
  {
    OptionsWindow options(host);
    EXPECT_EQ(options.page_records().size(), 1u);
  }
  session.unload();
  OptionsWindow options(host);
  EXPECT_TRUE(options.page_records().empty());
}

}  // namespace
