// Stored offline messages through MRIM_HSP: the old mail-like forms give exactly what they
// always gave, the form of today's servers (CR LF, base64, UTF-16LE or UTF-8) is decoded into
// code page 1251, messages that cannot be taken apart are still shown, and every message that
// was read whole is deleted on the server.
#include <gtest/gtest.h>

#include "incoming/messages.h"
#include "serversim/stored.h"
#include "support/unit_host.h"

namespace {

using testsupport::Handle;
using testsupport::PacketBuilder;
using testsupport::UnitHost;

class OfflineMessage : public UnitHost {
 protected:
  void deliver(const std::string& stored, uint32_t low = 0x11111111, uint32_t high = 0x22222222) {
    dispatch(PacketBuilder(MRIM_CS_OFFLINE_MESSAGE_ACK, 5).ul(low).ul(high).lps(stored));
  }
  // The one event added, as text with its NUL; fails the test when there is not exactly one.
  std::string only_event_blob(Handle* contact = nullptr) {
    auto stored = events();
    EXPECT_EQ(stored.size(), 1u);
    if (stored.size() != 1) return "<none>";
    EXPECT_EQ(stored[0].type, EVENTTYPE_MESSAGE);
    if (contact) *contact = stored[0].contact;
    return blob_text(stored[0]);
  }
  void expect_deleted(uint32_t low = 0x11111111, uint32_t high = 0x22222222) {
    auto deletions = sent_with_code(MRIM_CS_DELETE_OFFLINE_MESSAGE);
    ASSERT_EQ(deletions.size(), 1u);
    EXPECT_EQ(deletions[0].seq, 1u);
    serversim::Reader reader(deletions[0].body);
    EXPECT_EQ(reader.ul(), low);
    EXPECT_EQ(reader.ul(), high);
    EXPECT_TRUE(reader.at_end());
  }
  Handle kim() {
    auto found = contacts_with("kim");
    return found.size() == 1 ? found[0] : 0;
  }
};

// The examples of the old forms, to the byte.
TEST_F(OfflineMessage, BoundaryExampleGivesHelloAndALineFeed) {
  deliver("From: kim\nBoundary: QQ\nVersion: 1.0\n\nhello\n--QQ--\n");
  Handle contact = 0;
  EXPECT_EQ(only_event_blob(&contact), std::string("hello\n\0", 7));
  EXPECT_EQ(contact, kim());
  EXPECT_NE(contact, 0u);
  expect_deleted();
  // The event comes before the deletion request.
  auto steps = order();
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].rfind("event ", 0), 0u);
  EXPECT_EQ(steps[1], "send 0x101E");
}

TEST_F(OfflineMessage, PlainExampleGivesHi) {
  deliver("From: kim\nDate: d\n\nhi");
  EXPECT_EQ(only_event_blob(), std::string("hi\0", 3));
  expect_deleted();
}

TEST_F(OfflineMessage, SenderIsATemporaryContact) {
  deliver("From: kim\nDate: d\n\nhi");
  ASSERT_NE(kim(), 0u);
  EXPECT_EQ(setting(kim(), "NotOnList", "CList"), testsupport::Setting::byte(1));
}

TEST_F(OfflineMessage, TodaysFormFromTheServersInUse) {
  deliver(
      "From: kim@example.org\r\n"
      "Date: Tue, 08 Dec 2026 14:01:57 GMT\r\n"
      "X-MRIM-Flags: 00100000\r\n"
      "Content-Type: text/plain; charset=UTF-16LE\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "\r\n"
      "dwBoAGkAbABlACAAeQBvAHUAIAB3AGUAcgBlACAAbwB1AHQA");
  Handle contact = 0;
  EXPECT_EQ(only_event_blob(&contact), std::string("while you were out\0", 19));
  EXPECT_EQ(contacts_with("kim@example.org"), std::vector<Handle>{contact});
  expect_deleted();
}

TEST_F(OfflineMessage, CyrillicInUtf16AndUtf8BecomesCodePage1251) {
  // "Привет, мир! ёЁ №" in code page 1251.
  const std::string cp1251 = "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0! \xB8\xA8 \xB9";
  for (auto form : {serversim::OfflineForm::modern, serversim::OfflineForm::utf8}) {
    SCOPED_TRACE(form == serversim::OfflineForm::modern ? "UTF-16LE" : "UTF-8");
    serversim::OfflineMessage message;
    message.form = form;
    message.from = "kim@example.org";
    message.text = cp1251;
    std::string stored = serversim::stored_message_text(message, 1796680209);
    deliver(stored);
    auto all = events();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(blob_text(all.back()), cp1251 + '\0');
  }
}

TEST_F(OfflineMessage, CharactersOutsideTheCodePageBecomeQuestionMarks) {
  // "a", U+4E2D, U+1F600 (a surrogate pair), "b" in UTF-16LE, then in UTF-8.
  std::string utf16(
      "a\0\x2D\x4E\x3D\xD8\x00\xDE"
      "b\0",
      10);
  deliver(
      "From: kim\r\nContent-Type: text/plain; charset=UTF-16LE\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
      serversim::base64(utf16));
  EXPECT_EQ(only_event_blob(), std::string("a??b\0", 5));
}

TEST_F(OfflineMessage, Utf8BodyWithoutBase64IsConvertedToo) {
  deliver("From: kim\nContent-Type: text/plain; charset=\"utf-8\"\n\n\xD0\x9F\xD1\x80\xE4\xB8\xAD!");
  EXPECT_EQ(only_event_blob(), std::string("\xCF\xF0?!\0", 5));
}

TEST_F(OfflineMessage, HeaderNamesIgnoreLetterCase) {
  deliver(
      "FROM: kim\r\ncontent-type: TEXT/PLAIN; CHARSET=utf-16le\r\ncontent-transfer-encoding: BASE64\r\n\r\n" +
      serversim::base64(std::string("o\0k\0", 4)));
  Handle contact = 0;
  EXPECT_EQ(only_event_blob(&contact), std::string("ok\0", 3));
  EXPECT_EQ(contact, kim());
}

TEST_F(OfflineMessage, Base64SplitOverLinesIsDecodedWhole) {
  serversim::OfflineMessage message;
  message.form = serversim::OfflineForm::modern;
  message.from = "kim";
  message.text = std::string(300, 'z') + " end";
  std::string stored = serversim::stored_message_text(message, 1796680209);
  ASSERT_NE(stored.find("\r\n", stored.find("\r\n\r\n") + 4), std::string::npos) << "the body spans lines";
  deliver(stored);
  EXPECT_EQ(only_event_blob(), message.text + '\0');
}

TEST_F(OfflineMessage, HeaderBlockEndingInCrLfCrLfNowGivesItsBody) {
  deliver("From: kim\r\nDate: d\r\n\r\nhi there\r\n");
  EXPECT_EQ(only_event_blob(), std::string("hi there\r\n\0", 11));
  expect_deleted();
}

TEST_F(OfflineMessage, BoundaryAsTheLastHeaderLineStillYieldsTheBody) {
  deliver("From: kim\nBoundary: QQ\n\nhello\n--QQ--\n");
  EXPECT_EQ(only_event_blob(), std::string("hello\n\0", 7));
  deliver("From: kim\r\nBoundary: QQ\r\n\r\nhello\r\n--QQ--\r\n", 3, 4);
  auto all = events();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(blob_text(all[1]), std::string("hello\r\n\0", 8));
}

TEST_F(OfflineMessage, BoundaryWithoutClosingLineKeepsTheWholeBody) {
  deliver("From: kim\nBoundary: QQ\nVersion: 1.0\n\nhello\n");
  EXPECT_EQ(only_event_blob(), std::string("hello\n\0", 7));
}

TEST_F(OfflineMessage, UnparsableMessageIsShownWholeFromItsSender) {
  const std::string text = "From: kim\nno blank line after the header";
  deliver(text);
  Handle contact = 0;
  EXPECT_EQ(only_event_blob(&contact), text + '\0');
  EXPECT_EQ(contact, kim());
  expect_deleted();
  EXPECT_NE(log_text().find("offline message cannot be parsed"), std::string::npos);
}

TEST_F(OfflineMessage, MessageWithoutSenderGoesToTheAccountsOwnHistory) {
  const std::string text = "Date: d\n\nsomething without a sender";
  auto contacts_before = host_.profile().contacts();
  deliver(text);
  Handle contact = 99;
  EXPECT_EQ(only_event_blob(&contact), text + '\0');
  EXPECT_EQ(contact, 0u);
  EXPECT_EQ(host_.profile().contacts(), contacts_before);
  expect_deleted();
}

TEST_F(OfflineMessage, EmptyStoredTextShowsNothingButIsDeleted) {
  deliver("");
  EXPECT_TRUE(events().empty());
  expect_deleted();
}

TEST_F(OfflineMessage, PacketCutShortIsDroppedWithoutDeletion) {
  dispatch(PacketBuilder(MRIM_CS_OFFLINE_MESSAGE_ACK).ul(1).ul(2));
  dispatch(PacketBuilder(MRIM_CS_OFFLINE_MESSAGE_ACK).ul(1));
  dispatch(PacketBuilder(MRIM_CS_OFFLINE_MESSAGE_ACK).ul(1).ul(2).ul(100).raw({'F', 'r'}));
  EXPECT_TRUE(order().empty());
  EXPECT_EQ(testsupport::count_of(log_text(), "MRIM_HSP: MRIM_CS_OFFLINE_MESSAGE_ACK handled"), 3);
}

TEST_F(OfflineMessage, LongSenderAndTextStayInTheirBuffers) {
  memset(work_->nickname, 'N', sizeof work_->nickname);
  memset(work_->auth_record, 'R', sizeof work_->auth_record);
  std::string sender(700, 's');
  deliver("From: " + sender + "\n\n" + std::string(40000, 'b'));
  Handle contact = 0;
  std::string blob = only_event_blob(&contact);
  // 29,999 characters are kept in all; the header takes 6 + 700 + 2 of them.
  EXPECT_EQ(blob, std::string(29999 - 708, 'b') + '\0');
  EXPECT_EQ(contacts_with(std::string(511, 's')), std::vector<Handle>{contact});
  EXPECT_EQ(std::string(work_->nickname, sizeof work_->nickname), std::string(sizeof work_->nickname, 'N'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(work_->auth_record), 16), std::string(16, 'R'));
  expect_deleted();
}

TEST_F(OfflineMessage, HostThatCannotCreateTheSenderStillDeletes) {
  make_contact_creation_fail();
  auto before = account_settings();
  deliver("From: kim\nDate: d\n\nhi");
  EXPECT_TRUE(events().empty());
  EXPECT_EQ(account_settings(), before);
  expect_deleted();
}

}  // namespace
