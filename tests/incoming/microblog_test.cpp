// Microblog posts through MRIM_HSP in a 1.20 session: in the list and pushed, on this machine's
// clock, each new one once in the history; strangers', the ignored and broken records dropped;
// and the stored messages' dates read and put on this machine's clock.
#include "incoming/microblog.h"

#include <gtest/gtest.h>

#include "core/charset.h"
#include "core/unix_time.h"
#include "incoming/messages.h"
#include "support/unit_host.h"

namespace {

using testsupport::Handle;
using testsupport::PacketBuilder;
using testsupport::Setting;
using testsupport::UnitHost;

std::string utf16(const std::string& text) {
  std::string out(text.size() * 2, '\0');
  out.resize(
      utf16le_from_utf8(text.c_str(), text.size(), reinterpret_cast<uint8_t*>(out.data()), out.size()));
  return out;
}

class Microblog : public UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    host_version = HOST_VERSION_UTF8;
    protocol_state.wire_revision = MRIM_PROTO_VERSION_MICROBLOG;
    server_clock_offset = 3600;  // the server's clock is an hour ahead of ours
  }
  void TearDown() override {
    server_clock_offset = 0;
    UnitHost::TearDown();
  }
  // A 1.20 list of one contact, its post as given.
  PacketBuilder list(uint64_t id, uint32_t time, const std::string& text) {
    PacketBuilder packet(MRIM_CS_CONTACT_LIST2);
    packet.ul(0).ul(1).lps("us").lps("uussuussssusuuusss").ul(0).lps_bytes(utf16("General"));
    packet.ul(0).ul(0).lps("amy@mrim.example").lps_bytes(utf16("Amy")).ul(0).ul(MRIM_STATUS_ONLINE);
    packet.lps("").lps("").lps_bytes("").lps_bytes("").ul(0).lps("");
    packet.ul(static_cast<uint32_t>(id)).ul(static_cast<uint32_t>(id >> 32)).ul(time);
    packet.lps_bytes(utf16(text)).lps_bytes("").lps_bytes("");
    return packet;
  }
  PacketBuilder pushed(const std::string& from, uint64_t id, uint32_t time, const std::string& text) {
    PacketBuilder packet(MRIM_CS_USER_BLOG_STATUS);
    packet.ul(MRIM_POST_FLAG_STORED)
        .lps(from)
        .ul(static_cast<uint32_t>(id))
        .ul(static_cast<uint32_t>(id >> 32));
    packet.ul(time).lps_bytes(utf16(text)).ul(0);
    return packet;
  }
  std::vector<hostsim::StoredEvent> posts() {
    std::vector<hostsim::StoredEvent> found;
    for (auto& event : events())
      if (event.type == EVENTTYPE_MICROBLOG) found.push_back(event);
    return found;
  }
};

TEST_F(Microblog, TheListsPostIsKeptOnOurClockAndEntersTheHistoryOnce) {
  const uint32_t server_time = 1800000000;
  dispatch(list(0x100000002ull, server_time, "Привет из гор 🏔"));
  ASSERT_EQ(contacts_with("amy@mrim.example").size(), 1u);
  Handle amy = contacts_with("amy@mrim.example")[0];
  EXPECT_EQ(setting(amy, "PostText"), Setting::utf8("Привет из гор 🏔"));
  EXPECT_EQ(setting(amy, "PostId"), Setting::string("4294967298"));
  EXPECT_EQ(setting(amy, "PostTime"), Setting::dword(server_time - 3600));
  ASSERT_EQ(posts().size(), 1u);
  EXPECT_EQ(posts()[0].timestamp, server_time - 3600);
  EXPECT_EQ(blob_text(posts()[0]), std::string("Привет из гор 🏔") + '\0');

  // The same list again, and one whose post is past a week (sent empty): nothing new.
  dispatch(list(0x100000002ull, server_time, "Привет из гор 🏔"));
  dispatch(list(0, 0, ""));
  EXPECT_EQ(posts().size(), 1u);
  EXPECT_EQ(setting(amy, "PostText"), Setting::utf8("Привет из гор 🏔"));
}

TEST_F(Microblog, PushesCountFromContactsOnlyAndOursConfirmsOurPost) {
  seed(0, kModule, "EMail", Setting::string("me@mrim.example"));
  Handle amy = add_contact("amy@mrim.example");
  Handle quiet = add_contact("quiet@mrim.example");
  seed(quiet, kModule, "Flags", Setting::dword(CONTACT_FLAG_IGNORED));
  dispatch(pushed("amy@mrim.example", 7, 1800000000, "new post"));
  dispatch(pushed("quiet@mrim.example", 8, 1800000000, "ignored"));
  dispatch(pushed("stranger@mrim.example", 9, 1800000000, "spam"));
  dispatch(PacketBuilder(MRIM_CS_USER_BLOG_STATUS).ul(1).lps("amy@mrim.example").ul(10));  // cut short
  ASSERT_EQ(posts().size(), 1u);
  EXPECT_EQ(posts()[0].contact, amy);
  EXPECT_TRUE(contacts_with("stranger@mrim.example").empty());
  EXPECT_FALSE(setting(quiet, "PostText").has_value());

  dispatch(pushed("ME@mrim.example", 11, 1800000000, "my own"));
  EXPECT_EQ(setting(0, "PostText"), Setting::string("my own"));
  EXPECT_EQ(setting(0, "PostTime"), Setting::dword(1800000000 - 3600));
  EXPECT_EQ(posts().size(), 1u);  // ours is no contact's news
}

TEST(MailDate, ReadsTheServersDatesAndNothingElse) {
  EXPECT_EQ(mrim_mail_date("Thu, 10 Dec 2026 10:00:00 GMT"), 1796896800u);
  EXPECT_EQ(mrim_mail_date("10 Dec 2026 13:00:00 +0300"), 1796896800u);
  EXPECT_EQ(mrim_mail_date("Thu, 10 Dec 2026 07:30:00 -0230"), 1796896800u);
  for (const char* broken :
       {"", "yesterday", "Thu, 10 Foo 2026 10:00:00 GMT", "Thu, 32 Dec 2026 10:00:00 GMT",
        "Thu, 10 Dec 1969 10:00:00 GMT", "Thu, 10 Dec 2026 25:00:00 GMT"})
    EXPECT_EQ(mrim_mail_date(broken), 0u) << broken;
}

}  // namespace
