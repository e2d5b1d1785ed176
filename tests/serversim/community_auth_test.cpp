// The quirks of a community server with authorization: the adder's own request text, the grant
// acknowledged to the authorizer, messages that authorize, and presence only between those
// who authorized each other.
#include "community.h"

namespace serversim {
namespace {

using namespace testing_support;

const std::string kAmy = "amy@mail.example";
const std::string kBob = "bob@mail.example";
const std::string kKim = "kim@mail.example";

using CommunityAuthorization = CommunityTest;

TEST_F(CommunityAuthorization, AnAddSendsTheTargetTheAddersOwnText) {
  turn_on(&Behavior::auth_request_as_sent);
  auto bob = logged_in(kBob, "bob-pw", mrim_status::online, revision::v1_19);
  auto kim = logged_in(kKim, "kim-pw");
  auto amy = logged_in(kAmy, "amy-pw");
  // "Привет" in code page 1251, as authorization texts go.
  EXPECT_TRUE(
      amy->read_reply(amy->request(code::add_contact, add_contact(kBob, "\xCF\xF0\xE8\xE2\xE5\xF2"))));
  MessageAck to_bob = read_message_ack(*bob);
  EXPECT_EQ(to_bob.flags, message_flag::authorize | message_flag::norecv);
  EXPECT_EQ(to_bob.from, kAmy);
  EXPECT_EQ(to_bob.text, utf8_to_utf16le("Привет"));
  EXPECT_TRUE(amy->read_reply(amy->request(code::add_contact, add_contact(kKim, "Hi, Amy here"))));
  MessageAck to_kim = read_message_ack(*kim);
  EXPECT_EQ(to_kim.flags, message_flag::authorize | message_flag::norecv);
  EXPECT_EQ(to_kim.text, "Hi, Amy here");
}

TEST_F(CommunityAuthorization, AGrantIsAcknowledgedToTheAuthorizerWithTheContactsStatus) {
  turn_on(&Behavior::grant_ack_to_authorizer);
  auto amy = logged_in(kAmy, "amy-pw", mrim_status::away);
  auto bob = logged_in(kBob, "bob-pw");
  EXPECT_TRUE(amy->read_reply(amy->request(code::add_contact, add_contact(kBob))));
  EXPECT_TRUE(amy->read_code(code::user_status));  // bob's, at the add
  EXPECT_TRUE(bob->read_code(code::message_ack));  // the request
  bob->request(code::authorize, Writer().lps(kAmy).take());
  EXPECT_EQ(bob->read(), (Packet{code::authorize_ack, 0, Writer().lps(kAmy).take()}));
  EXPECT_EQ(bob->read(), (Packet{code::change_status, 0, Writer().ul(mrim_status::away).lps(kAmy).take()}));
  // Amy is told nothing: the next she hears is bob's change of status.
  bob->request(code::change_status, Writer().ul(mrim_status::away).take());
  std::optional<Packet> next = amy->read();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->code, code::user_status);
}

TEST_F(CommunityAuthorization, StatusPassesOnlyOnceAuthorizedAndInvisibleAsOffline) {
  turn_on(&Behavior::presence_needs_authorization);
  auto kim = logged_in(kKim, "kim-pw");
  auto bob = logged_in(kBob, "bob-pw", mrim_status::away);
  auto amy = logged_in(kAmy, "amy-pw");
  EXPECT_EQ(status_of(amy->read_reply(amy->request(code::add_contact, add_contact(kBob)))),
            kContactOperSuccess);
  // Her list shows bob offline; kim, configured, as he is.
  turn_on(&Behavior::send_after_login);
  auto again = logged_in(kAmy, "amy-pw");
  std::optional<Packet> list = again->read_code(code::contact_list2);
  ASSERT_TRUE(list);
  DecodedList decoded = decode_list(*list);
  ASSERT_EQ(decoded.contacts.size(), 2u);
  EXPECT_EQ(decoded.contacts[0].numbers.at(3), mrim_status::online);
  EXPECT_EQ(decoded.contacts[1].numbers.at(3), mrim_status::offline);
  // Bob's change does not reach her; kim's, after it, does.
  bob->request(code::change_status, Writer().ul(mrim_status::online).take());
  kim->request(code::change_status, Writer().ul(mrim_status::away).take());
  std::optional<Packet> status = again->read_code(code::user_status);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, Writer().ul(mrim_status::away).lps(kKim).take());

  bob->request(code::authorize, Writer().lps(kAmy).take());
  EXPECT_TRUE(again->read_code(code::authorize_ack));
  bob->request(code::change_status, Writer().ul(mrim_status::invisible).take());
  status = again->read_code(code::user_status);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, Writer().ul(mrim_status::offline).lps(kBob).take());
}

TEST_F(CommunityAuthorization, AMessageWithTheAuthorizeFlagAuthorizesItsReceiver) {
  turn_on(&Behavior::presence_needs_authorization, &Behavior::message_authorizes);
  auto bob = logged_in(kBob, "bob-pw");
  auto amy = logged_in(kAmy, "amy-pw");
  EXPECT_EQ(status_of(amy->read_reply(amy->request(code::add_contact, add_contact(kBob)))),
            kContactOperSuccess);
  EXPECT_EQ(
      status_of(bob->read_reply(bob->request(code::message, message(message_flag::authorize, kAmy, "ok")))),
      kMessageDelivered);
  EXPECT_EQ(read_message_ack(*amy).flags, message_flag::authorize);
  bob->request(code::change_status, Writer().ul(mrim_status::away).take());
  std::optional<Packet> status = amy->read_code(code::user_status);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, Writer().ul(mrim_status::away).lps(kBob).take());
}

}  // namespace
}  // namespace serversim
