// A Unicode session (the modern revision): the log-in and status change in their long forms,
// and UTF-16 texts coming in (presence with status texts, the list with flagged names,
// messages) on a host of code page texts, where what the code page lacks becomes "?". Texts
// that say they are UTF-16 but have an odd length are taken as the code page.
#include <gtest/gtest.h>

#include "contacts/messaging.h"
#include "core/charset.h"
#include "protocol/online.h"
#include "protocol/wire_text.h"
#include "support/unit_host.h"

namespace {

using testsupport::Bytes;
using testsupport::Handle;
using testsupport::Packet;
using testsupport::PacketBuilder;
using testsupport::Setting;
using testsupport::UnitHost;

std::string u16(const std::string& utf8) {
  std::string out(2 * utf8.size(), '\0');
  out.resize(utf16le_from_utf8(utf8.data(), utf8.size(), reinterpret_cast<uint8_t*>(out.data()), out.size()));
  return out;
}
std::string cp1251(const std::string& utf8) {
  std::string out(utf8.size() + 1, '\0');
  out.resize(cp1251_from_utf8(utf8.data(), utf8.size(), out.data(), out.size()));
  return out;
}

class ModernSession : public UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    protocol_state.wire_revision = MRIM_PROTO_VERSION_MODERN;
  }
  // The server answers every packet of this code with `code` and the given body.
  void answer(uint32_t request, uint32_t code, const Bytes& body = {}) {
    serve([=](const Packet& sent) {
      return sent.code == request ? std::vector<Packet>{{code, sent.seq, body}} : std::vector<Packet>{};
    });
  }
};

TEST_F(ModernSession, LogInAndStatusChangeCarryUriTextsFeaturesAndClient) {
  seed(0, kModule, "StatusTitle", Setting::string(cp1251("На работе")));
  answer(MRIM_CS_LOGIN2, MRIM_CS_LOGIN_ACK);
  EXPECT_EQ(mrim_do_login("kim@mail.example", "s3cret", MRIM_STATUS_AWAY), 0);
  EXPECT_EQ(mrim_do_changestatus(MRIM_STATUS_ONLINE), 0);
  auto packets = sent();
  ASSERT_EQ(packets.size(), 2u);
  Bytes texts = serversim::Writer().lps(u16("На работе")).lps("").ul(MRIM_FEATURES).take();
  Bytes login = serversim::Writer()
                    .lps("kim@mail.example")
                    .lps("s3cret")
                    .ul(MRIM_STATUS_AWAY)
                    .lps("STATUS_AWAY")
                    .take();
  login.insert(login.end(), texts.begin(), texts.end());
  Bytes tail = serversim::Writer().lps(MRIM_CLIENT_ATTRIBUTES).lps("ru").lps(MRIM_CLIENT_DESCRIPTION).take();
  login.insert(login.end(), tail.begin(), tail.end());
  EXPECT_EQ(packets[0].body, login);
  Bytes status = serversim::Writer().ul(MRIM_STATUS_ONLINE).lps("STATUS_ONLINE").take();
  status.insert(status.end(), texts.begin(), texts.end());
  EXPECT_EQ(packets[1].body, status);
}

TEST_F(ModernSession, StatusTitlesAreCutToWhatServersKeep) {
  seed(0, kModule, "StatusTitle", Setting::string(std::string(40, 'a')));
  EXPECT_EQ(mrim_do_changestatus(MRIM_STATUS_ONLINE), 0);
  Bytes body = sent().at(0).body;
  serversim::Reader reader(body);
  reader.ul();
  reader.lps();
  EXPECT_EQ(reader.lps(), u16(std::string(MRIM_STATUS_TITLE_MAX, 'a')));
}

TEST_F(ModernSession, PresenceTakesTheNumberAndStoresTheTexts) {
  Handle kim = add_contact("kim@example.org");
  auto notice = [](uint32_t status, const std::string& title, const std::string& client) {
    return PacketBuilder(MRIM_CS_USER_STATUS)
        .ul(status)
        .lps("status_chat")
        .lps_bytes(u16(title))
        .lps_bytes(u16("до 5 🙂"))
        .lps("kim@example.org")
        .ul(MRIM_FEATURES)
        .lps(client);
  };
  // The client's description is code page text in a Unicode session too.
  dispatch(
      notice(MRIM_STATUS_USER_DEFINED, "В зале", cp1251("client=\"Агент\" version=\"7.1\" build=\"2\"")));
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(text(kim, "StatusTitle"), cp1251("В зале"));
  EXPECT_EQ(text(kim, "StatusDesc"), cp1251("до 5 ?"));
  EXPECT_EQ(text(kim, "MirVer"), cp1251("Агент 7.1"));
  // The URI is stale beside the newer number, which wins. Going offline leaves no client to
  // read: the one last seen stays.
  dispatch(notice(MRIM_STATUS_AWAY, "", ""));
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_AWAY));
  EXPECT_EQ(text(kim, "StatusTitle"), "");
  EXPECT_EQ(text(kim, "MirVer"), cp1251("Агент 7.1"));
  // A free-text description of an older client is shown as it stands.
  dispatch(notice(MRIM_STATUS_ONLINE, "", "Old Agent 5.0 "));
  EXPECT_EQ(text(kim, "MirVer"), "Old Agent 5.0");
}

TEST_F(ModernSession, ListNamesAreUtf16WhereFlaggedAndStatusTextsAlways) {
  PacketBuilder list(MRIM_CS_CONTACT_LIST2);
  list.ul(0).ul(1).lps("us").lps("uussuussssus");
  list.ul(CONTACT_FLAG_UNICODE_NAME).lps_bytes(u16("Друзья"));
  auto entry = [&](uint32_t flags, const std::string& address, const std::string& nickname,
                   const std::string& client = "") {
    list.ul(flags).ul(0).lps(address).lps_bytes(nickname).ul(0).ul(MRIM_STATUS_USER_DEFINED).lps("");
    list.lps("status_chat").lps_bytes(u16("Чай")).lps_bytes(u16("")).ul(0).lps(client);
  };
  // An even length, so that the client read as UTF-16 would come out as other characters.
  entry(CONTACT_FLAG_UNICODE_NAME, "kim@example.org", u16("Ким"), "client=\"Kit\" version=\"2.10\" ");
  entry(0, "amy@example.org", cp1251("Эми"));                  // no flag: the code page
  entry(CONTACT_FLAG_UNICODE_NAME, "bob@example.org", "Bob");  // odd length: the code page
  dispatch(list);
  Handle kim = contacts_with("kim@example.org").at(0);
  EXPECT_EQ(text(kim, "MyHandle", "CList"), cp1251("Ким"));
  EXPECT_EQ(text(kim, "Group", "CList"), cp1251("Друзья"));
  EXPECT_EQ(text(kim, "StatusTitle"), cp1251("Чай"));
  EXPECT_EQ(text(kim, "MirVer"), "Kit 2.10");
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(text(contacts_with("amy@example.org").at(0), "MyHandle", "CList"), cp1251("Эми"));
  EXPECT_EQ(text(contacts_with("bob@example.org").at(0), "MyHandle", "CList"), "Bob");
}

// A widely used server passes an authorization request's text in UTF-16LE without the flag.
TEST_F(ModernSession, AnAuthorizationRequestsUnmarkedUtf16TextIsReadAsSuch) {
  Handle kim = add_contact("kim@example.org");
  auto request = [](const std::string& body) {
    return PacketBuilder(MRIM_CS_MESSAGE_ACK)
        .ul(7)
        .ul(MESSAGE_FLAG_AUTHORIZE | MESSAGE_FLAG_NORECV)
        .lps("kim@example.org")
        .lps_bytes(body)
        .lps(" ");
  };
  dispatch(request(u16("Привет, it's Kim")));
  dispatch(request(cp1251("Привет")));  // code page text stays code page text
  auto stored = host_.profile().events(kim);
  ASSERT_EQ(stored.size(), 2u);
  auto reason = [](const hostsim::StoredEvent& event) {
    std::string blob(event.blob.begin(), event.blob.end() - 1);
    return blob.substr(blob.rfind('\0') + 1);
  };
  EXPECT_EQ(reason(stored[0]), cp1251("Привет, it's Kim"));
  EXPECT_EQ(reason(stored[1]), cp1251("Привет"));
}

TEST_F(ModernSession, MessagesAreUtf16OnlyWhenMarkedAndEven) {
  Handle kim = add_contact("kim@example.org");
  auto message = [](uint32_t flags, const std::string& body) {
    return PacketBuilder(MRIM_CS_MESSAGE_ACK)
        .ul(7)
        .ul(flags | MESSAGE_FLAG_NORECV)
        .lps("kim@example.org")
        .lps_bytes(body)
        .lps(" ");
  };
  dispatch(message(MESSAGE_FLAG_UNICODE, u16("Привет 🙂")));
  dispatch(message(MESSAGE_FLAG_UNICODE, "odd"));
  dispatch(message(0, cp1251("Пока")));
  auto stored = host_.profile().events(kim);
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(blob_text(stored[0]), cp1251("Привет ?") + '\0');
  EXPECT_EQ(blob_text(stored[1]), std::string("odd") + '\0');
  EXPECT_EQ(blob_text(stored[2]), cp1251("Пока") + '\0');
  EXPECT_EQ(stored[0].flags, 0u);  // an older host: no UTF-8 mark
}

TEST_F(ModernSession, OutgoingTextsAreUtf16WithoutTheUnicodeMark) {
  answer(MRIM_CS_MESSAGE, MRIM_CS_MESSAGE_STATUS, serversim::Writer().ul(0).take());
  EXPECT_EQ(mrim_do_sendmessage("kim@example.org", cp1251("Привет").c_str()), MESSAGE_OUTCOME_DELIVERED);
  Bytes body = sent_with_code(MRIM_CS_MESSAGE).at(0).body;
  serversim::Reader reader(body);
  EXPECT_EQ(reader.ul().value_or(MESSAGE_FLAG_UNICODE) & MESSAGE_FLAG_UNICODE, 0u);
  EXPECT_EQ(reader.lps(), "kim@example.org");
  EXPECT_EQ(reader.lps(), u16("Привет"));
}

}  // namespace
