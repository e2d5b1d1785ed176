// The host stand-in's profile database, used as a plug-in uses it: through CallService.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hostsim/host.h"
#include "hostsim/profile.h"

namespace {

using hostsim::Handle;
using hostsim::Host;
using hostsim::Setting;

class DatabaseTest : public ::testing::Test {
 protected:
  Host host;
  const PluginLink& link = *host.plugin_link();

  INT_PTR call(const char* service, WPARAM w = 0, LPARAM l = 0) { return link.CallService(service, w, l); }
  template <class T>
  static LPARAM ptr(T* p) {
    return reinterpret_cast<LPARAM>(p);
  }

  Handle add_contact() { return static_cast<Handle>(call(MS_DB_CONTACT_ADD)); }
  std::vector<Handle> walk() {
    std::vector<Handle> found;
    for (auto c = static_cast<Handle>(call(MS_DB_CONTACT_FINDFIRST)); c != 0;
         c = static_cast<Handle>(call(MS_DB_CONTACT_FINDNEXT, c)))
      found.push_back(c);
    return found;
  }
  INT_PTR write(Handle contact, const char* module, const char* name, BYTE type, DWORD number,
                const char* text = nullptr) {
    SettingWrite w{module, name, {}};
    w.value.type = type;
    if (type == DBVT_ASCIIZ || type == DBVT_UTF8)
      w.value.text = const_cast<char*>(text);
    else
      w.value.dword_value = number;
    return call(MS_DB_CONTACT_WRITESETTING, contact, ptr(&w));
  }
  // GetSetting's result and the variant it filled.
  INT_PTR read(Handle contact, const char* module, const char* name, SettingVariant& value) {
    SettingRequest request{module, name, &value};
    return call(MS_DB_CONTACT_GETSETTING, contact, ptr(&request));
  }
  // GetSettingStr in the type asked for; "<missing>" when it fails.
  std::string read_text_as(BYTE type, Handle contact, const char* module, const char* name) {
    SettingVariant v{};
    v.type = type;
    SettingRequest request{module, name, &v};
    if (call(MS_DB_CONTACT_GETSETTING_STR, contact, ptr(&request)) != 0) return "<missing>";
    EXPECT_EQ(v.type, type);
    std::string text = v.text;
    EXPECT_EQ(call(MS_DB_CONTACT_FREEVARIANT, 0, ptr(&v)), 0);
    EXPECT_EQ(v.text, nullptr);
    return text;
  }
  std::string read_text(Handle contact, const char* module, const char* name) {
    SettingVariant v{};
    if (read(contact, module, name, v) != 0) return "<missing>";
    EXPECT_EQ(v.type, DBVT_ASCIIZ);
    std::string text = v.text;
    call(MS_DB_CONTACT_FREEVARIANT, 0, ptr(&v));
    return text;
  }
};

TEST_F(DatabaseTest, ContactsAreWalkedInCreationOrder) {
  EXPECT_EQ(call(MS_DB_CONTACT_FINDFIRST), 0);
  Handle a = add_contact(), b = add_contact(), c = add_contact();
  EXPECT_NE(a, 0u);
  EXPECT_EQ(walk(), (std::vector<Handle>{a, b, c}));
  EXPECT_EQ(call(MS_DB_CONTACT_FINDNEXT, c), 0);
  EXPECT_TRUE(host.delete_contact(b));
  EXPECT_FALSE(host.delete_contact(b));
  Handle d = add_contact();
  EXPECT_EQ(walk(), (std::vector<Handle>{a, c, d}));
}

TEST_F(DatabaseTest, TypedSettingsPerContactAndModule) {
  Handle contact = add_contact();
  EXPECT_EQ(write(0, "MRIM", "Flag", DBVT_BYTE, 7), 0);
  EXPECT_EQ(write(0, "MRIM", "Status", DBVT_WORD, 40072), 0);
  EXPECT_EQ(write(0, "MRIM", "Timeout", DBVT_DWORD, 0xFFFFFFF0u), 0);
  char email[] = "me@mrim.example";
  EXPECT_EQ(write(0, "MRIM", "EMail", DBVT_ASCIIZ, 0, email), 0);
  std::strcpy(email, "xx");  // the host keeps its own copy
  EXPECT_EQ(write(contact, "MRIM", "EMail", DBVT_ASCIIZ, 0, "friend@mrim.example"), 0);
  EXPECT_EQ(write(contact, "CList", "EMail", DBVT_ASCIIZ, 0, "other module"), 0);

  for (auto [name, type, number] :
       {std::tuple{"Flag", DBVT_BYTE, 7u}, std::tuple{"Status", DBVT_WORD, 40072u},
        std::tuple{"Timeout", DBVT_DWORD, 0xFFFFFFF0u}}) {
    SettingVariant v{};
    ASSERT_EQ(read(0, "MRIM", name, v), 0) << name;
    EXPECT_EQ(v.type, type) << name;
    EXPECT_EQ(v.dword_value, number) << name;
  }
  EXPECT_EQ(read_text(0, "MRIM", "EMail"), "me@mrim.example");
  EXPECT_EQ(read_text(contact, "MRIM", "EMail"), "friend@mrim.example");
  EXPECT_EQ(read_text(contact, "CList", "EMail"), "other module");
  EXPECT_EQ(host.setting(contact, "MRIM", "EMail"), Setting::string("friend@mrim.example"));

  SettingVariant v{};
  EXPECT_NE(read(contact, "MRIM", "Flag", v), 0);  // another contact's setting
  EXPECT_NE(read(0, "mrim", "Flag", v), 0);        // module names are case-sensitive
  EXPECT_NE(read(12345, "MRIM", "EMail", v), 0);   // no such contact
  EXPECT_NE(write(12345, "MRIM", "EMail", DBVT_ASCIIZ, 0, "x"), 0);
  EXPECT_NE(write(0, "MRIM", "Bad", 3, 1), 0);  // not a type the host stores
}

TEST_F(DatabaseTest, NumericReadsReportTheStoredTypeAndTheLowBitsFit) {
  write(0, "MRIM", "Word", DBVT_WORD, 0x0102);
  SettingVariant v{};
  ASSERT_EQ(read(0, "MRIM", "Word", v), 0);
  EXPECT_EQ(v.type, DBVT_WORD);
  EXPECT_EQ(v.byte_value, 0x02);  // what a byte reader of a word setting gets
  write(0, "MRIM", "Zero", DBVT_DWORD, 0);
  ASSERT_EQ(read(0, "MRIM", "Zero", v), 0);  // a stored 0 exists
  EXPECT_EQ(v.dword_value, 0u);
  // The value is cut to the written width.
  write(0, "MRIM", "Byte", DBVT_BYTE, 0x1FF);
  ASSERT_EQ(read(0, "MRIM", "Byte", v), 0);
  EXPECT_EQ(v.dword_value, 0xFFu);
}

TEST_F(DatabaseTest, FreeVariantReleasesTheTextCopy) {
  write(0, "MRIM", "Nick", DBVT_ASCIIZ, 0, "nick");
  SettingVariant first{}, second{};
  ASSERT_EQ(read(0, "MRIM", "Nick", first), 0);
  ASSERT_EQ(read(0, "MRIM", "Nick", second), 0);
  EXPECT_NE(first.text, second.text);  // every read gets its own allocation
  first.text[0] = 'N';                 // and owns it
  EXPECT_EQ(read_text(0, "MRIM", "Nick"), "nick");
  for (SettingVariant* v : {&first, &second}) {
    EXPECT_EQ(call(MS_DB_CONTACT_FREEVARIANT, 0, ptr(v)), 0);
    EXPECT_EQ(v->type, DBVT_DELETED);
    EXPECT_EQ(v->text, nullptr);
  }
}

TEST_F(DatabaseTest, SettingChangedIsRaisedSynchronouslyOnEveryWrite) {
  Handle contact = add_contact();
  struct Seen {
    Handle contact;
    std::string module, setting;
    BYTE type;
    DWORD number;
    std::string text, stored;
  };
  std::vector<Seen> seen;
  host.hook_event(ME_DB_CONTACT_SETTINGCHANGED, [&](WPARAM w, LPARAM l) -> INT_PTR {
    auto* change = reinterpret_cast<const SettingWrite*>(l);
    Seen s{w, change->module, change->setting, change->value.type, 0, {}, {}};
    if (s.type == DBVT_ASCIIZ) {
      s.text = change->value.text;
      s.stored = read_text(w, change->module, change->setting);  // already stored
    } else {
      s.number = change->value.dword_value;
    }
    seen.push_back(s);
    return 0;
  });
  write(contact, "CList", "MyHandle", DBVT_ASCIIZ, 0, "Bob");
  ASSERT_EQ(seen.size(), 1u);  // before WriteSetting returned
  write(0, "MRIM", "Status", DBVT_WORD, 40071);
  write(0, "MRIM", "Status", DBVT_WORD, 40071);  // an unchanged value is a write too

  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].contact, contact);
  EXPECT_EQ(seen[0].module, "CList");
  EXPECT_EQ(seen[0].setting, "MyHandle");
  EXPECT_EQ(seen[0].type, DBVT_ASCIIZ);
  EXPECT_EQ(seen[0].text, "Bob");
  EXPECT_EQ(seen[0].stored, "Bob");
  EXPECT_EQ(seen[1].contact, 0u);
  EXPECT_EQ(seen[1].type, DBVT_WORD);
  EXPECT_EQ(seen[1].number, 40071u);

  auto writes = host.setting_writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[0].contact, contact);
  EXPECT_EQ(writes[0].setting, "MyHandle");
  EXPECT_EQ(writes[0].value, Setting::string("Bob"));
  EXPECT_EQ(writes[2].value, Setting::word(40071));
}

// "Привет 🙂 héllo" in UTF-8, and as code page 1251 gives it: "?" for the emoji and the "é".
const char* const kUtf8Text =
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xF0\x9F\x99\x82 h\xC3\xA9llo";
const char* const kAnsiText = "\xCF\xF0\xE8\xE2\xE5\xF2 ? h?llo";

TEST_F(DatabaseTest, AModernHostStoresUtf8AndHandsItOutInTheTypeAskedFor) {
  host.set_version(0x00080000);
  EXPECT_TRUE(link.ServiceExists(MS_DB_CONTACT_GETSETTING_STR));
  Handle contact = add_contact();
  std::vector<std::pair<BYTE, std::string>> seen;
  host.hook_event(ME_DB_CONTACT_SETTINGCHANGED, [&](WPARAM, LPARAM l) -> INT_PTR {
    auto* change = reinterpret_cast<const SettingWrite*>(l);
    bool text = change->value.type == DBVT_UTF8 || change->value.type == DBVT_ASCIIZ;
    seen.emplace_back(change->value.type, text ? change->value.text : "");
    return 0;
  });
  ASSERT_EQ(write(contact, "CList", "MyHandle", DBVT_UTF8, 0, kUtf8Text), 0);
  EXPECT_EQ(seen, (std::vector<std::pair<BYTE, std::string>>{{DBVT_UTF8, kUtf8Text}}));
  EXPECT_EQ(host.setting(contact, "CList", "MyHandle"), Setting::utf8(kUtf8Text));

  // The older service speaks the system's code page whatever is stored.
  EXPECT_EQ(read_text(contact, "CList", "MyHandle"), kAnsiText);
  EXPECT_EQ(read_text_as(DBVT_UTF8, contact, "CList", "MyHandle"), kUtf8Text);
  EXPECT_EQ(read_text_as(DBVT_ASCIIZ, contact, "CList", "MyHandle"), kAnsiText);
  // A code page text is handed out as UTF-8 when asked so: "Боб".
  write(contact, "MRIM", "Nick", DBVT_ASCIIZ, 0, "\xC1\xEE\xE1");
  EXPECT_EQ(read_text_as(DBVT_UTF8, contact, "MRIM", "Nick"), "\xD0\x91\xD0\xBE\xD0\xB1");
  EXPECT_EQ(read_text_as(DBVT_ASCIIZ, contact, "MRIM", "Nick"), "\xC1\xEE\xE1");

  // Code page bytes labelled UTF-8 are refused and change nothing.
  size_t changes = seen.size();
  EXPECT_NE(write(contact, "CList", "MyHandle", DBVT_UTF8, 0, kAnsiText), 0);
  EXPECT_EQ(read_text_as(DBVT_UTF8, contact, "CList", "MyHandle"), kUtf8Text);
  EXPECT_EQ(seen.size(), changes);
  // Only texts, and only in the two text types.
  write(contact, "MRIM", "Status", DBVT_WORD, 40072);
  EXPECT_EQ(read_text_as(DBVT_UTF8, contact, "MRIM", "Status"), "<missing>");
  EXPECT_EQ(read_text_as(DBVT_WORD, contact, "MRIM", "Nick"), "<missing>");
  EXPECT_EQ(read_text_as(DBVT_UTF8, contact, "MRIM", "Nothing"), "<missing>");
}

TEST_F(DatabaseTest, AnOlderHostRefusesUtf8AndHasNoServiceForIt) {
  host.set_version(0x00060000);
  EXPECT_FALSE(link.ServiceExists(MS_DB_CONTACT_GETSETTING_STR));
  int changes = 0;
  host.hook_event(ME_DB_CONTACT_SETTINGCHANGED, [&](WPARAM, LPARAM) -> INT_PTR { return ++changes, 0; });
  EXPECT_NE(write(0, "MRIM", "StatusTitle", DBVT_UTF8, 0, "gym"), 0);
  EXPECT_FALSE(host.write_setting(0, "MRIM", "StatusTitle", Setting::utf8("gym")));
  EXPECT_EQ(read_text(0, "MRIM", "StatusTitle"), "<missing>");
  EXPECT_EQ(changes, 0);
  SettingVariant v{};
  v.type = DBVT_UTF8;
  SettingRequest request{"MRIM", "StatusTitle", &v};
  EXPECT_EQ(call(MS_DB_CONTACT_GETSETTING_STR, 0, ptr(&request)), Host::CALLSERVICE_NOTFOUND);

  // The version decides, both ways.
  host.set_version(HOST_VERSION_UTF8);
  EXPECT_EQ(write(0, "MRIM", "StatusTitle", DBVT_UTF8, 0, "gym"), 0);
  EXPECT_TRUE(link.ServiceExists(MS_DB_CONTACT_GETSETTING_STR));
  host.set_version(0x00060000);
  EXPECT_FALSE(link.ServiceExists(MS_DB_CONTACT_GETSETTING_STR));
  EXPECT_NE(write(0, "MRIM", "StatusTitle", DBVT_UTF8, 0, "gym"), 0);
}

TEST_F(DatabaseTest, DeletedIsRaisedWhileTheContactCanStillBeRead) {
  Handle contact = add_contact();
  write(contact, "MRIM", "EMail", DBVT_ASCIIZ, 0, "gone@mrim.example");
  call(MS_DB_EVENT_ADD, contact, 0);
  std::vector<std::string> seen;
  host.hook_event(ME_DB_CONTACT_DELETED, [&](WPARAM w, LPARAM) -> INT_PTR {
    seen.push_back(read_text(w, "MRIM", "EMail"));
    return 0;
  });
  EXPECT_TRUE(host.delete_contact(contact));
  EXPECT_EQ(seen, (std::vector<std::string>{"gone@mrim.example"}));
  EXPECT_EQ(read_text(contact, "MRIM", "EMail"), "<missing>");
  EXPECT_TRUE(walk().empty());
  EXPECT_FALSE(host.delete_contact(0));  // the account is not a contact
}

TEST_F(DatabaseTest, EncodeAndDecodeAreInverseAndStayInTheBuffer) {
  // A full 128-byte field: 127 characters and the terminator, with guard bytes behind it.
  std::vector<char> memory(128 + 16, '#');
  std::string plain;
  for (int i = 0; i < 127; ++i) plain += static_cast<char>(1 + (i * 37) % 255);
  std::memcpy(memory.data(), plain.c_str(), 128);
  EXPECT_EQ(call(MS_DB_CRYPT_ENCODESTRING, 128, ptr(memory.data())), 0);
  EXPECT_EQ(std::strlen(memory.data()), 127u);  // same length, no NUL produced
  EXPECT_NE(std::string(memory.data()), plain);
  EXPECT_EQ(std::string(memory.begin() + 128, memory.end()), std::string(16, '#'));
  EXPECT_EQ(call(MS_DB_CRYPT_DECODESTRING, 127 + 1, ptr(memory.data())), 0);
  EXPECT_EQ(std::string(memory.data()), plain);

  // Every byte value survives a long text.
  std::string all;
  for (int round = 0; round < 8; ++round)
    for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string buffer = all;
  call(MS_DB_CRYPT_ENCODESTRING, buffer.size() + 1, ptr(buffer.data()));
  EXPECT_EQ(std::strlen(buffer.c_str()), all.size());
  call(MS_DB_CRYPT_DECODESTRING, buffer.size() + 1, ptr(buffer.data()));
  EXPECT_EQ(buffer, all);

  // A size shorter than the text bounds what is touched.
  char shorter[] = "password";
  call(MS_DB_CRYPT_ENCODESTRING, 4, ptr(shorter));
  EXPECT_STREQ(shorter + 4, "word");
  call(MS_DB_CRYPT_DECODESTRING, 4, ptr(shorter));
  EXPECT_STREQ(shorter, "password");
}

TEST_F(DatabaseTest, EventsKeepTheirBlobsModuleAndFlags) {
  Handle contact = add_contact();
  std::string text = "hello";
  std::string module = "MRIM";
  EventInfo info{sizeof(EventInfo),
                 module.c_str(),
                 1700000000,
                 DBEF_UTF8 | 0x2,
                 EVENTTYPE_AUTHREQUEST,
                 static_cast<DWORD>(text.size() + 1),
                 reinterpret_cast<BYTE*>(text.data())};
  auto first = static_cast<Handle>(call(MS_DB_EVENT_ADD, contact, ptr(&info)));
  auto second = static_cast<Handle>(call(MS_DB_EVENT_ADD, contact, ptr(&info)));
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, first);
  module = "XXXX";  // the host copied the module name
  EXPECT_EQ(call(MS_DB_EVENT_GETBLOBSIZE, first), 6);
  EXPECT_EQ(call(MS_DB_EVENT_GETBLOBSIZE, 9999), -1);

  BYTE blob[6 + 4];
  std::memset(blob, '#', sizeof blob);
  EventInfo got{sizeof(EventInfo), nullptr, 0, 0, 0, 6, blob};
  ASSERT_EQ(call(MS_DB_EVENT_GET, first, ptr(&got)), 0);
  EXPECT_STREQ(got.module, "MRIM");
  EXPECT_EQ(got.event_type, EVENTTYPE_AUTHREQUEST);
  EXPECT_EQ(got.timestamp, 1700000000u);
  EXPECT_EQ(got.flags, DBEF_UTF8 | 0x2);  // the UTF-8 mark with the others
  EXPECT_STREQ(reinterpret_cast<char*>(blob), "hello");
  EXPECT_EQ(blob[6], '#');

  // A smaller buffer gets what fits and nothing beyond it.
  std::memset(blob, '#', sizeof blob);
  EventInfo small{sizeof(EventInfo), nullptr, 0, 0, 0, 2, blob};
  ASSERT_EQ(call(MS_DB_EVENT_GET, first, ptr(&small)), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(blob), 3), "he#");
  EXPECT_EQ(small.blob_size, 2u);
  const char* module_seen = small.module;
  for (int i = 0; i < 50; ++i) call(MS_DB_EVENT_ADD, contact, ptr(&info));
  EXPECT_STREQ(module_seen, "MRIM");  // still valid

  EXPECT_NE(call(MS_DB_EVENT_GET, 9999, ptr(&got)), 0);
  EventInfo no_blob{sizeof(EventInfo), "MRIM", 0, 0, 0, 10, nullptr};
  EXPECT_EQ(call(MS_DB_EVENT_ADD, contact, ptr(&no_blob)), 0);
  EXPECT_EQ(host.profile().events(contact).size(), 52u);
}

}  // namespace
