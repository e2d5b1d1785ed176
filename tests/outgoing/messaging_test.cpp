// Sending messages and typing notices: the packets on the wire, the delivery report and its
// acknowledgement to the host, the failures and their reasons, and typing notices from several
// host threads at once.
#include "contacts/messaging.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "support/unit_host.h"

namespace {

using testsupport::Ack;
using testsupport::as_handle;
using testsupport::Handle;
using testsupport::Packet;
using testsupport::Reader;
using testsupport::RequestHost;
using testsupport::Setting;
using testsupport::Writer;
namespace code = serversim::code;

struct MessageRequest {
  uint32_t flags = 0;
  std::string to, text, rtf;
};
std::optional<MessageRequest> read_message(const Packet& packet) {
  Reader reader(packet.body);
  auto flags = reader.ul();
  auto to = reader.lps(), text = reader.lps(), rtf = reader.lps();
  if (!flags || !to || !text || !rtf || !reader.at_end()) return std::nullopt;
  return MessageRequest{*flags, *to, *text, *rtf};
}

class SendMessage : public RequestHost {
 protected:
  void SetUp() override {
    RequestHost::SetUp();
    seed(0, kModule, "EMail", Setting::string("me@mail.example"));
    kim = add_contact("kim@ab.test");
  }

  // The server's delivery report to every message: a status, or a whole packet of its own.
  void report(std::optional<uint32_t> status, uint32_t reply_code = code::message_status) {
    serve([=](const Packet& request) -> std::vector<Packet> {
      if (request.code != code::message) return {};
      Packet reply{reply_code, request.seq, {}};
      if (status) reply.body = Writer().ul(*status).take();
      return {reply};
    });
  }

  INT_PTR send(Handle contact, const char* text) {
    ProtocolCall call{as_handle(contact), "MRIM/SendMsg", 0, reinterpret_cast<LPARAM>(text)};
    return MRIM_SendMessage(0, reinterpret_cast<LPARAM>(&call));
  }
  // Sends and waits until the send thread has ended.
  INT_PTR send_and_wait(Handle contact, const char* text) {
    int ended = log_count("MRIM_SendMessageAckThread: ended\r\n");
    INT_PTR id = send(contact, text);
    EXPECT_NE(id, 0);
    EXPECT_TRUE(wait_for_log("MRIM_SendMessageAckThread: ended", ended + 1)) << log_text();
    return id;
  }
  std::vector<Ack> message_acks() {
    std::vector<Ack> found;
    for (const Ack& ack : acks())
      if (ack.type == ACKTYPE_MESSAGE) found.push_back(ack);
    return found;
  }

  Handle kim = 0;
};

TEST_F(SendMessage, BuildsTheRequestAndAcknowledgesTheDeliveryWithTheReturnedNumber) {
  report(0);
  INT_PTR id = send_and_wait(kim, "hi");

  std::vector<Packet> messages = sent_with_code(code::message);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].body.size(), 30u) << "4 + 15 + 6 + 5";
  auto request = read_message(messages[0]);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->flags, 0u);
  EXPECT_EQ(request->to, "kim@ab.test");
  EXPECT_EQ(request->text, "hi");
  EXPECT_EQ(request->rtf, " ");
  EXPECT_NE(static_cast<uint32_t>(id), messages[0].seq) << "the packet takes a number of its own";

  std::vector<Ack> found = message_acks();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].module, "MRIM");
  EXPECT_EQ(found[0].contact, kim);
  EXPECT_EQ(found[0].result, ACKRESULT_SUCCESS);
  EXPECT_EQ(found[0].process, static_cast<uintptr_t>(id));
  EXPECT_EQ(found[0].text, "Ok.");
}

TEST_F(SendMessage, LogsEachStageAsWritten) {
  report(0);
  INT_PTR id = send_and_wait(kim, "hi");
  char returning[64];
  snprintf(returning, sizeof returning, "MRIM_SendMessage: returning sequence %8.08X",
           static_cast<unsigned>(id));
  for (const std::string& line : std::vector<std::string>{
           "MRIM_SendMessage: started", "MRIM_SendMessage: contact ok, malloc() ok",
           "MRIM_SendMessage: \"Nick\" (me@mail.example) is set.", "MRIM_SendMessage: Creating send Thread",
           std::string(returning), "MRIM_SendMessageAckThread: started", "mrim_do_sendmessage: started",
           "mrim_do_sendmessage: malloc() ok",
           "mrim_do_sendmessage: MRIM_CS_MESSAGE(0,kim@ab.test,hi,) sended",
           "mrim_do_sendmessage: packet received", "mrim_do_sendmessage: MRIM_CS_MESSAGE_STATUS received",
           "mrim_do_sendmessage: MRIM_CS_MESSAGE_STATUS(MESSAGE_DELIVERED) received",
           "mrim_do_sendmessage: ok", "mrim_do_sendmessage: ended",
           "MRIM_SendMessageAckThread: mrim_do_sendmessage(kim@ab.test,hi) ok",
           "MRIM_SendMessageAckThread: returning memory", "MRIM_SendMessageAckThread: ended"})
    EXPECT_TRUE(logged(line)) << line << "\n" << log_text();
}

TEST_F(SendMessage, EmptyReportBodyCountsAsDelivered) {
  report(std::nullopt);
  send_and_wait(kim, "hi");
  EXPECT_EQ(message_acks().size(), 1u);
}

// Every message the host was given a number for ends in one acknowledgement; a failed one
// carries a reason that stays readable after the send thread has gone.
TEST_F(SendMessage, UndeliveredMessageIsAcknowledgedAsFailedWithTheReason) {
  const std::string unconfirmed = "The server did not confirm delivery.";
  const std::string refused = "The server reported an error delivering the message.";
  struct Case {
    const char* name;
    std::optional<uint32_t> status;
    uint32_t reply_code;
    bool answer;
    std::string reason;
  };
  for (const Case& c : {Case{"refused", 1, code::message_status, true, refused},
                        Case{"no such user", 0x8001, code::message_status, true, "There is no such user."},
                        Case{"store full", 0x8004, code::message_status, true,
                             "The recipient is offline and their store of offline messages is full."},
                        Case{"wrong code", 0, code::add_contact_ack, true, unconfirmed},
                        Case{"time-out", 0, 0, false, unconfirmed}}) {
    SCOPED_TRACE(c.name);
    if (c.answer)
      report(c.status, c.reply_code);
    else
      serve(nullptr);
    size_t before = message_acks().size();
    INT_PTR id = send_and_wait(kim, "hi");
    std::vector<Ack> found = message_acks();
    ASSERT_EQ(found.size(), before + 1);
    const Ack& ack = found.back();
    EXPECT_EQ(ack.module, "MRIM");
    EXPECT_EQ(ack.contact, kim);
    EXPECT_EQ(ack.result, ACKRESULT_FAILED);
    EXPECT_EQ(ack.process, static_cast<uintptr_t>(id));
    EXPECT_EQ(ack.text, c.reason);
    ASSERT_NE(ack.text_pointer, nullptr);
    EXPECT_EQ(std::string(ack.text_pointer), c.reason) << "the reason outlives the send thread";
  }
  EXPECT_EQ(log_count("mrim_do_sendmessage: ok\r\n"), 0);
  EXPECT_EQ(log_count("MRIM_SendMessageAckThread: returning memory\r\n"), 5);
}

TEST_F(SendMessage, MessageCutShortByUnloadIsNotAcknowledged) {
  set_timeout(30);
  send(kim, "hi");
  ASSERT_TRUE(eventually([&] { return !sent_with_code(code::message).empty(); }));
  threads_stop_all(pending_queue_wake_all);
  EXPECT_TRUE(logged("MRIM_SendMessageAckThread: ended")) << log_text();
  EXPECT_TRUE(message_acks().empty());
}

TEST_F(SendMessage, ReplyThatArrivesWhileTheThreadWaits) {
  set_timeout(10);
  INT_PTR id = send(kim, "later");
  ASSERT_TRUE(eventually([&] { return !sent_with_code(code::message).empty(); }));
  uint32_t seq = sent_with_code(code::message)[0].seq;
  queue(Packet{code::message_status, seq, Writer().ul(0).take()});
  ASSERT_TRUE(eventually([&] { return !message_acks().empty(); }));
  EXPECT_EQ(message_acks()[0].process, static_cast<uintptr_t>(id));
}

TEST_F(SendMessage, EmptyTextGoesOutAsAnEmptyItem) {
  report(0);
  send_and_wait(kim, "");
  auto request = read_message(sent_with_code(code::message).at(0));
  ASSERT_TRUE(request);
  EXPECT_EQ(request->text, "");
  EXPECT_EQ(message_acks().size(), 1u);
}

TEST_F(SendMessage, NothingStartsWithoutContactTextOrAddress) {
  Handle nameless = add_contact("");
  EXPECT_EQ(send(0, "hi"), 0);
  EXPECT_EQ(send(kim, nullptr), 0);
  EXPECT_EQ(send(nameless, "hi"), 0);
  EXPECT_EQ(MRIM_SendMessage(0, 0), 0);
  // A number where the address should be is no address either.
  Handle numbered = add_contact("");
  seed(numbered, kModule, "EMail", Setting::dword(5));
  EXPECT_EQ(send(numbered, "hi"), 0);
  EXPECT_EQ(log_count("MRIM_SendMessage: returning sequence 00000000\r\n"), 5);
  EXPECT_EQ(log_count("MRIM_SendMessage: Creating send Thread\r\n"), 0);
  EXPECT_TRUE(sent().empty());
}

TEST_F(SendMessage, SendingSetsTheNickToTheAccountAddress) {
  seed(0, kModule, "Nick", Setting::string("somebody else"));
  report(0);
  send_and_wait(kim, "hi");
  EXPECT_EQ(setting(0, "Nick"), Setting::string("me@mail.example"));
}

// Sent together, they are written one at a time, each once the one before has its report.
TEST_F(SendMessage, MessagesSentTogetherAreMatchedToTheirOwnReports) {
  set_timeout(10);
  std::vector<Handle> contacts;
  std::vector<INT_PTR> ids;
  for (int i = 0; i < 4; ++i) {
    contacts.push_back(add_contact("user" + std::to_string(i) + "@ab.test"));
    ids.push_back(send(contacts.back(), "hello"));
  }
  // The third is refused.
  for (size_t reported = 0; reported < 4; ++reported) {
    ASSERT_TRUE(eventually([&] { return sent_with_code(code::message).size() == reported + 1; }));
    Packet message = sent_with_code(code::message).back();
    uint32_t status = read_message(message)->to == "user2@ab.test" ? 1 : 0;
    queue(Packet{code::message_status, message.seq, Writer().ul(status).take()});
  }
  ASSERT_TRUE(eventually([&] { return message_acks().size() == 4; }));
  ASSERT_TRUE(wait_for_log("MRIM_SendMessageAckThread: ended", 4));
  std::set<std::pair<Handle, uintptr_t>> delivered, failed;
  for (const Ack& ack : message_acks())
    (ack.result == ACKRESULT_SUCCESS ? delivered : failed).insert({ack.contact, ack.process});
  std::set<std::pair<Handle, uintptr_t>> expected;
  for (int i : {0, 1, 3}) expected.insert({contacts[i], static_cast<uintptr_t>(ids[i])});
  EXPECT_EQ(delivered, expected);
  EXPECT_EQ(failed, (std::set<std::pair<Handle, uintptr_t>>{{contacts[2], static_cast<uintptr_t>(ids[2])}}));
}

// A text longer than any packet goes in parts, each within the servers' limit, and is
// acknowledged once; the first part a server refuses ends it with that reason.
TEST_F(SendMessage, ATextLongerThanAnyPacketGoesInPartsAndIsAcknowledgedOnce) {
  set_timeout(30);
  report(0);
  std::string text(70000, 'x');
  INT_PTR id = send_and_wait(kim, text.c_str());
  EXPECT_EQ(sent().size(), 14u);
  std::vector<Ack> found = message_acks();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].result, ACKRESULT_SUCCESS);
  EXPECT_EQ(found[0].process, static_cast<uintptr_t>(id));

  report(MESSAGE_REJECTED_TOO_LARGE);
  id = send_and_wait(kim, text.c_str());
  EXPECT_EQ(sent().size(), 15u);
  found = message_acks();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1].result, ACKRESULT_FAILED);
  EXPECT_EQ(found[1].text, "The message is too long for the server.");
}

// Without a connection the request goes nowhere and no report can come.
TEST_F(SendMessage, NoConnectionMeansNoPacketAndAFailure) {
  protocol_state.connection = nullptr;
  report(0);
  send_and_wait(kim, "hi");
  EXPECT_TRUE(sent().empty());
  std::vector<Ack> found = message_acks();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].result, ACKRESULT_FAILED);
  EXPECT_EQ(found[0].text, "The server did not confirm delivery.");
}

class Typing : public RequestHost {
 protected:
  std::vector<MessageRequest> notices() {
    std::vector<MessageRequest> found;
    for (const Packet& packet : sent_with_code(code::message)) {
      auto request = read_message(packet);
      EXPECT_TRUE(request);
      if (request) found.push_back(*request);
    }
    return found;
  }
};

TEST_F(Typing, StartOfTypingSendsTheNotice) {
  Handle kim = add_contact("kim@ab.test");
  EXPECT_EQ(MRIM_UserIsTyping(reinterpret_cast<WPARAM>(as_handle(kim)), 1), 0);
  auto found = notices();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].flags, 0x404u);
  EXPECT_EQ(found[0].to, "kim@ab.test");
  EXPECT_EQ(found[0].text, " ");
  EXPECT_EQ(found[0].rtf, " ");
}

TEST_F(Typing, NothingForStopNoContactOrNoAddress) {
  Handle kim = add_contact("kim@ab.test");
  Handle nameless = add_contact("");
  EXPECT_EQ(MRIM_UserIsTyping(reinterpret_cast<WPARAM>(as_handle(kim)), 0), 0);
  EXPECT_EQ(MRIM_UserIsTyping(reinterpret_cast<WPARAM>(as_handle(kim)), 2), 0);
  EXPECT_EQ(MRIM_UserIsTyping(0, 1), 0);
  EXPECT_EQ(MRIM_UserIsTyping(reinterpret_cast<WPARAM>(as_handle(nameless)), 1), 0);
  EXPECT_TRUE(sent().empty());
}

TEST_F(Typing, AddressLongerThanTheBufferAllowsIsNotSent) {
  std::string longest(MRIM_TYPING_ADDRESS_MAX, 'a');
  std::string too_long(MRIM_TYPING_ADDRESS_MAX + 1, 'a');
  EXPECT_EQ(mrim_do_typing(longest.c_str()), 0);
  EXPECT_EQ(mrim_do_typing(too_long.c_str()), 0);
  std::vector<Packet> packets = sent_with_code(code::message);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].body.size(), MRIM_TYPING_BODY_CAPACITY) << "the longest notice fills the body exactly";
  EXPECT_EQ(notices()[0].to, longest);
  EXPECT_TRUE(logged("mrim_do_typing: recipient address too long, notice not sent"));
}

TEST_F(Typing, HostThreadsTypingAtOnceEachSendWholeNotices) {
  constexpr int kPerThread = 200;
  auto typist = [](const std::string& address) {
    for (int i = 0; i < kPerThread; ++i) mrim_do_typing(address.c_str());
  };
  std::thread a(typist, std::string("a@short.example"));
  std::thread b(typist, std::string("bertram.longer-name@another.example"));
  a.join();
  b.join();
  auto found = notices();
  ASSERT_EQ(found.size(), 2u * kPerThread);
  int to_a = 0;
  for (const MessageRequest& notice : found) {
    EXPECT_EQ(notice.flags, 0x404u);
    EXPECT_TRUE(notice.to == "a@short.example" || notice.to == "bertram.longer-name@another.example")
        << notice.to;
    to_a += notice.to == "a@short.example";
  }
  EXPECT_EQ(to_a, kPerThread);
  std::set<uint32_t> seqs;
  for (const Packet& packet : sent()) seqs.insert(packet.seq);
  EXPECT_EQ(seqs.size(), 2u * kPerThread) << "every notice has a number of its own";
}

}  // namespace
