// The quirks of a community server with messages: long texts cut, a strict store for absent
// receivers, answered typing notices, the MESSAGE_ACK trailer, a delete that wipes every stored
// message, and a converter that loses what it cannot write in code page 1251.
#include "community.h"

namespace serversim {
namespace {

using namespace testing_support;

const std::string kAmy = "amy@mail.example";
const std::string kBob = "bob@mail.example";
const std::string kKim = "kim@mail.example";

using CommunityMessages = CommunityTest;

TEST_F(CommunityMessages, LongTextsAreCutAtFiveThousandUnitsNeverInsideAPair) {
  turn_on(&Behavior::cut_long_messages);
  auto kim = logged_in(kKim, "kim-pw", mrim_status::online, revision::v1_19);
  auto amy = logged_in(kAmy, "amy-pw", mrim_status::online, revision::v1_19);
  auto send = [&](const std::string& to, const std::string& text) {
    return status_of(kim->read_reply(kim->request(code::message, message(0, to, kim->text(text)))));
  };
  // The pair would take units 5,000 and 5,001: it goes whole.
  EXPECT_EQ(send(kAmy, std::string(4999, 'a') + "🙂tail"), kMessageDelivered);
  EXPECT_EQ(utf16le_to_utf8(read_message_ack(*amy).text), std::string(4999, 'a'));
  EXPECT_EQ(send(kAmy, std::string(6000, 'b')), kMessageDelivered);
  EXPECT_EQ(utf16le_to_utf8(read_message_ack(*amy).text), std::string(5000, 'b'));
  EXPECT_EQ(send(kBob, std::string(5001, 'c')), kMessageDelivered);
  EXPECT_EQ(server->account(kBob)->offline.at(0).text, std::string(5000, 'c'));
}

TEST_F(CommunityMessages, OnlyPlainMessagesAreStoredAndTwentyAtMost) {
  turn_on(&Behavior::strict_offline_store);
  auto kim = logged_in(kKim, "kim-pw");
  auto send = [&](uint32_t flags) {
    return status_of(kim->read_reply(kim->request(code::message, message(flags, kBob, "later"))));
  };
  EXPECT_EQ(send(message_flag::unicode), kMessageNotStored);
  EXPECT_EQ(send(message_flag::norecv), kMessageNotStored);
  EXPECT_EQ(send(0x80), kMessageDelivered);
  for (int i = 1; i < 20; ++i) EXPECT_EQ(send(0), kMessageDelivered);
  EXPECT_EQ(send(0), kMessageStoreFull);
  EXPECT_EQ(server->account(kBob)->offline.size(), 20u);
}

TEST_F(CommunityMessages, TypingNoticesAreAnsweredByWhetherTheReceiverIsLoggedIn) {
  turn_on(&Behavior::answer_typing);
  auto kim = logged_in(kKim, "kim-pw");
  auto amy = logged_in(kAmy, "amy-pw", mrim_status::online, revision::v1_19);
  uint32_t to_amy = kim->request(code::message, message(0x404, kAmy, " "));
  uint32_t to_bob = kim->request(code::message, message(0x404, kBob, " "));
  EXPECT_EQ(status_of(kim->read_reply(to_amy)), kMessageDelivered);
  EXPECT_EQ(status_of(kim->read_reply(to_bob)), kMessageNotStored);
  EXPECT_EQ(read_message_ack(*amy).flags, 0x404u | message_flag::unicode);
  EXPECT_TRUE(server->account(kBob)->offline.empty());
}

TEST_F(CommunityMessages, MessageAcksEndWithThreeZeroUls) {
  turn_on(&Behavior::message_ack_trailer);
  auto kim = logged_in(kKim, "kim-pw");
  auto amy = logged_in(kAmy, "amy-pw");
  kim->request(code::message, message(0, kAmy, "hi"));
  MessageAck m = read_message_ack(*amy);
  EXPECT_EQ(m.text, "hi");
  EXPECT_EQ(m.trailer, (std::vector<uint32_t>{0, 0, 0}));
}

TEST_F(CommunityMessages, DeletingOneStoredMessageWipesThemAll) {
  for (const char* text : {"one", "two", "three"}) server->store_offline(kBob, OfflineMessage{.text = text});
  turn_on(&Behavior::delete_offline_wipes_all);
  auto bob = logged_in(kBob, "bob-pw");
  const uint64_t second = server->account(kBob)->offline.at(1).id;
  bob->send(Packet{code::delete_offline_message, 1,
                   Writer().ul(uint32_t(second)).ul(uint32_t(second >> 32)).take()});
  EXPECT_TRUE(server->wait_until([&] { return server->account(kBob)->offline.empty(); }));
}

using Converter = CommunityTest;

TEST_F(Converter, AMessageAnOldSessionCannotHaveIsLostWithItsStatus) {
  turn_on(&Behavior::cp1251_converter_fails);
  auto kim = logged_in(kKim, "kim-pw", mrim_status::online, revision::v1_19);
  auto amy = logged_in(kAmy, "amy-pw");
  auto bob = logged_in(kBob, "bob-pw", mrim_status::online, revision::v1_19);
  uint32_t lost = kim->request(code::message, message(0, kAmy, kim->text("smile 🙂")));
  uint32_t kept = kim->request(code::message, message(0, kAmy, kim->text("Привет")));
  EXPECT_EQ(status_of(kim->read_reply(kept)), kMessageDelivered);
  // Answered in order: had the first one been answered, its status would be here already.
  EXPECT_FALSE(kim->read_reply(lost, milliseconds(0)));
  EXPECT_EQ(read_message_ack(*amy).text, "\xCF\xF0\xE8\xE2\xE5\xF2");
  EXPECT_FALSE(server->deliver_message(kAmy, "eve@else.example", "✓"));

  // A Unicode session takes every character.
  EXPECT_EQ(
      status_of(kim->read_reply(kim->request(code::message, message(0, kBob, kim->text("smile 🙂"))))),
      kMessageDelivered);
  EXPECT_EQ(utf16le_to_utf8(read_message_ack(*bob).text), "smile 🙂");
}

TEST_F(Converter, AListWithANameOutside1251IsNotSentToAnOldSession) {
  Account kim = *server->account(kKim);
  kim.contacts[0].nickname = "Amy 🙂";
  server->add_account(kim);
  turn_on(&Behavior::cp1251_converter_fails, &Behavior::send_after_login);
  auto old = logged_in(kKim, "kim-pw");
  // The other notices come without it.
  std::optional<Packet> info = old->read();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->code, code::user_info);
  std::optional<Packet> next = old->read();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->code, code::mailbox_status);

  auto fresh = logged_in(kKim, "kim-pw", mrim_status::online, revision::v1_19);
  EXPECT_TRUE(fresh->read_code(code::contact_list2));
}

TEST_F(Converter, SearchResultsWithAValueOutside1251AreNotSentToAnOldSession) {
  Account amy = *server->account(kAmy);
  amy.directory = {{"FirstName", "Amy ✓"}};
  server->add_account(amy);
  turn_on(&Behavior::cp1251_converter_fails);
  auto search = [](const std::string& user) {
    return Writer().ul(0).lps(user).ul(1).lps("mail.example").take();
  };
  auto old = logged_in(kKim, "kim-pw");
  uint32_t lost = old->request(code::directory_request, search("amy"));
  uint32_t kept = old->request(code::directory_request, search("bob"));
  EXPECT_EQ(status_of(old->read_reply(kept)), 1u);
  EXPECT_FALSE(old->read_reply(lost, milliseconds(0)));

  auto fresh = logged_in(kBob, "bob-pw", mrim_status::online, revision::v1_19);
  EXPECT_EQ(status_of(fresh->read_reply(fresh->request(code::directory_request, search("amy")))), 1u);
}

}  // namespace
}  // namespace serversim
