// Instant messages, typing notices and authorization requests through MRIM_HSP: what reaches
// the host, what goes back to the server and in which order, and items cut short or too long.
#include "incoming/messages.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/support.h"
#include "support/unit_host.h"

namespace {

using testsupport::Handle;
using testsupport::PacketBuilder;
using testsupport::Setting;
using testsupport::UnitHost;

class MessageAck : public UnitHost {
 protected:
  PacketBuilder message(uint32_t id, uint32_t flags, const std::string& from, const std::string& text) {
    PacketBuilder packet(MRIM_CS_MESSAGE_ACK, 77);
    packet.ul(id).ul(flags).lps(from).lps(text);
    return packet;
  }
  Handle contact_of(const std::string& email) {
    auto found = contacts_with(email);
    EXPECT_EQ(found.size(), 1u) << email;
    return found.empty() ? 0 : found[0];
  }
};

TEST_F(MessageAck, RegularMessageEndsTypingThenConfirmsThenAddsTheEvent) {
  Handle kim = add_contact("kim@example.org");
  dispatch(message(0x1234, 0, "kim@example.org", "hello there"));

  std::string k = std::to_string(kim);
  EXPECT_EQ(order(), (std::vector<std::string>{"typing " + k + " 0", "send 0x1011", "event " + k + " 0"}));
  auto receipts = sent_with_code(MRIM_CS_MESSAGE_RECV);
  ASSERT_EQ(receipts.size(), 1u);
  EXPECT_EQ(receipts[0].seq, 0u);
  serversim::Reader reader(receipts[0].body);
  EXPECT_EQ(reader.lps(), "kim@example.org");
  EXPECT_EQ(reader.ul(), 0x1234u);
  EXPECT_TRUE(reader.at_end());

  auto stored = events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].contact, kim);
  EXPECT_EQ(stored[0].module, "MRIM");
  EXPECT_EQ(stored[0].type, EVENTTYPE_MESSAGE);
  EXPECT_EQ(stored[0].flags, 0u);
  EXPECT_EQ(blob_text(stored[0]), std::string("hello there", 12));  // with its NUL

  std::string log = log_text();
  EXPECT_NE(log.find("MRIM_HSP: started.\r\n"), std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: MRIM_CS_MESSAGE_ACK received\r\n"), std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: MRIM_CS_MESSAGE_ACK handled\r\n"), std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: ended.\r\n"), std::string::npos);
}

TEST_F(MessageAck, EventIsStampedWithTheTimeOfReceipt) {
  add_contact("kim@example.org");
  uint32_t before = testsupport::unix_seconds_now();
  dispatch(message(1, 0, "kim@example.org", "hi"));
  uint32_t after = testsupport::unix_seconds_now();
  auto stored = events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_GE(stored[0].timestamp, before);
  EXPECT_LE(stored[0].timestamp, after);
}

TEST_F(MessageAck, TypingNoticeShowsTypingAndNothingElse) {
  Handle kim = add_contact("kim@example.org");
  for (uint32_t flags : {0x400u, 0x404u, 0x408u}) {
    dispatch(message(5, flags, "kim@example.org", ""));
  }
  std::string typing = "typing " + std::to_string(kim) + " 11";
  EXPECT_EQ(order(), (std::vector<std::string>{typing, typing, typing}));
  EXPECT_TRUE(events().empty());
  EXPECT_TRUE(sent().empty());
}

TEST_F(MessageAck, NoReceiptWhenTheSenderAsksForNone) {
  Handle kim = add_contact("kim@example.org");
  dispatch(message(9, MESSAGE_FLAG_NORECV, "kim@example.org", "quiet"));
  std::string k = std::to_string(kim);
  EXPECT_EQ(order(), (std::vector<std::string>{"typing " + k + " 0", "event " + k + " 0"}));
}

TEST_F(MessageAck, AuthorizationRequestBlobOfAmySayingHi) {
  dispatch(message(3, MESSAGE_FLAG_AUTHORIZE, "amy", "hi"));
  Handle amy = contact_of("amy");
  auto stored = events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].type, EVENTTYPE_AUTHREQUEST);
  ASSERT_EQ(stored[0].blob.size(), 21u);
  std::vector<BYTE> expected = {0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) expected.push_back(static_cast<BYTE>(amy >> (8 * i)));
  for (char c : std::string("amy\0\0\0amy\0hi\0", 13)) expected.push_back(static_cast<BYTE>(c));
  EXPECT_EQ(stored[0].blob, expected);
  EXPECT_EQ(sent_with_code(MRIM_CS_MESSAGE_RECV).size(), 1u);
}

TEST_F(MessageAck, StrangerBecomesATemporaryContact) {
  dispatch(message(1, 0, "new@example.org", "hello"));
  Handle stranger = contact_of("new@example.org");
  ASSERT_NE(stranger, 0u);
  EXPECT_EQ(setting(stranger, "NotOnList", "CList"), Setting::byte(1));
  EXPECT_EQ(setting(stranger, "Hidden", "CList"), Setting::byte(0));
  EXPECT_EQ(text(stranger, "MyHandle", "CList"), "new@example.org");
  EXPECT_FALSE(setting(stranger, "Number").has_value());
  ASSERT_EQ(events().size(), 1u);
  EXPECT_EQ(events()[0].contact, stranger);
}

TEST_F(MessageAck, ItemsCutShortOrMissingEndTheHandlerWithoutTrace) {
  add_contact("kim@example.org");
  // The text's count runs past the body.
  dispatch(PacketBuilder(MRIM_CS_MESSAGE_ACK).ul(1).ul(0).lps("kim@example.org").ul(50).raw({'h', 'i'}));
  // No text at all.
  dispatch(PacketBuilder(MRIM_CS_MESSAGE_ACK).ul(1).ul(0).lps("kim@example.org"));
  // The flags cut in half.
  dispatch(PacketBuilder(MRIM_CS_MESSAGE_ACK).ul(1).raw({0, 0}));
  // Empty body.
  dispatch(PacketBuilder(MRIM_CS_MESSAGE_ACK));
  // The address's count says more than the whole body.
  dispatch(PacketBuilder(MRIM_CS_MESSAGE_ACK).ul(1).ul(0).ul(0xFFFFFFF0).raw({'a'}));
  EXPECT_TRUE(order().empty());
  EXPECT_EQ(contacts_with("kim@example.org").size(), 1u);
  EXPECT_EQ(host_.profile().contacts().size(), 1u);
  std::string log = log_text();
  EXPECT_EQ(testsupport::count_of(log, "MRIM_CS_MESSAGE_ACK handled"), 5);
}

TEST_F(MessageAck, LongAddressAndTextAreCutToTheirBuffers) {
  std::string address(600, 'a');
  std::string body(40000, 'x');
  memset(work_->nickname, 'N', sizeof work_->nickname);
  memset(work_->auth_record, 'R', sizeof work_->auth_record);
  dispatch(message(1, 0, address, body));

  std::string kept_address(511, 'a');
  ASSERT_EQ(contacts_with(kept_address).size(), 1u);
  auto stored = events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].blob.size(), 30000u);
  EXPECT_EQ(blob_text(stored[0]), std::string(29999, 'x') + '\0');
  // The neighbours of the two buffers are untouched.
  EXPECT_EQ(std::string(work_->nickname, sizeof work_->nickname), std::string(sizeof work_->nickname, 'N'));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(work_->auth_record), 16), std::string(16, 'R'));
  // The receipt names the sender as kept.
  auto receipts = sent_with_code(MRIM_CS_MESSAGE_RECV);
  ASSERT_EQ(receipts.size(), 1u);
  EXPECT_EQ(serversim::Reader(receipts[0].body).lps(), kept_address);
}

TEST_F(MessageAck, LongestAuthorizationRequestFitsItsRecord) {
  std::string address(600, 'a');
  std::string body(40000, 'x');
  dispatch(message(1, MESSAGE_FLAG_AUTHORIZE, address, body));
  auto stored = events();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].blob.size(), 2u * 511 + 29999 + 13);
}

TEST_F(MessageAck, HostThatCannotCreateContactsGetsNothing) {
  make_contact_creation_fail();
  auto before = account_settings();
  dispatch(message(1, 0, "new@example.org", "hello"));
  dispatch(message(2, MESSAGE_FLAG_AUTHORIZE, "new@example.org", "hello"));
  EXPECT_EQ(account_settings(), before);
  EXPECT_TRUE(order().empty());
}

TEST_F(MessageAck, NothingIsSentWithoutAConnection) {
  protocol_state.connection = nullptr;
  add_contact("kim@example.org");
  dispatch(message(1, 0, "kim@example.org", "hello"));
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(events().size(), 1u);
}

}  // namespace
