// What the server does beyond log-in: the notices after log-in (account information, contact
// list, mailbox, stored messages), presence, contact-list changes, messages between sessions,
// the directory, and the notices a test can trigger.
#include "fixture.h"
#include "serversim/stored.h"

namespace serversim {
namespace {

using namespace testing_support;

class AfterLogin : public ServerTest {
 protected:
  Settings settings() override {
    Settings s = ServerTest::settings();
    s.behavior.send_after_login = true;
    Account& kim = s.accounts[0];
    kim.unread_mail = 3;
    kim.total_mail = 12;
    kim.groups.push_back(Group{0x10, "Work"});
    kim.contacts.push_back(make_contact("news@list.example", "News", 0, mrim_status::away));
    kim.contacts.back().group = 1;
    OfflineMessage m;
    m.form = OfflineForm::plain;
    m.from = "amy@mail.example";
    m.text = "call me";
    kim.offline.push_back(m);
    return s;
  }
};

TEST_F(AfterLogin, LegacyOrderInfoListMailboxThenStoredMessages) {
  auto amy = logged_in("amy@mail.example", "amy-pw", mrim_status::away);
  auto kim = logged_in("kim@mail.example", "kim-pw");
  std::optional<Packet> info = kim->read();
  ASSERT_TRUE(info);
  ASSERT_EQ(info->code, code::user_info);
  EXPECT_EQ(decode_pairs(*info), (std::vector<std::pair<std::string, std::string>>{
                                     {"MESSAGES.TOTAL", "12"}, {"MESSAGES.UNREAD", "3"}}));

  std::optional<Packet> list_packet = kim->read();
  ASSERT_TRUE(list_packet);
  ASSERT_EQ(list_packet->code, code::contact_list2);
  DecodedList list = decode_list(*list_packet);
  EXPECT_EQ(list.result, 0u);
  EXPECT_EQ(list.group_mask, "us");
  EXPECT_EQ(list.contact_mask, "uussuus");  // at 1.8
  ASSERT_EQ(list.groups.size(), 2u);
  // The group flag and the group's index in the top byte, beside the configured flags.
  EXPECT_EQ(list.groups[1].numbers, std::vector<uint32_t>{0x01000012});
  EXPECT_EQ(list.groups[1].texts, std::vector<std::string>{"Work"});
  ASSERT_EQ(list.contacts.size(), 3u);
  // flags, group, address, nickname, server flags, status, phone. amy is logged in: her live
  // status.
  EXPECT_EQ(list.contacts[0].numbers, (std::vector<uint32_t>{0, 0, 0, mrim_status::away}));
  EXPECT_EQ(list.contacts[0].texts, (std::vector<std::string>{"amy@mail.example", "Amy", ""}));
  EXPECT_EQ(list.contacts[1].numbers, (std::vector<uint32_t>{0x08, 0, 0, mrim_status::offline}));
  EXPECT_EQ(list.contacts[1].texts, (std::vector<std::string>{"bob@mail.example", "", ""}));
  EXPECT_EQ(list.contacts[2].numbers, (std::vector<uint32_t>{0, 1, 0, mrim_status::away}));

  std::optional<Packet> mailbox = kim->read();
  ASSERT_TRUE(mailbox);
  EXPECT_EQ(mailbox->code, code::mailbox_status);
  EXPECT_EQ(mailbox->body, Writer().ul(3).take());

  std::optional<Packet> stored = kim->read();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->code, code::offline_message_ack);
  Reader r(stored->body);
  uint32_t low = *r.ul();
  uint32_t high = *r.ul();
  std::string text = *r.lps();
  EXPECT_EQ(text.substr(0, 23), "From: amy@mail.example\n");
  EXPECT_EQ(text.substr(text.size() - 9), "\n\ncall me");

  // Kept until the client deletes it.
  EXPECT_EQ(server->account("kim@mail.example")->offline.size(), 1u);
  kim->send(Packet{code::delete_offline_message, 1, Writer().ul(low).ul(high).take()});
  ASSERT_TRUE(server->wait_until([&] { return server->account("kim@mail.example")->offline.empty(); }));
}

TEST_F(AfterLogin, ModernInfoAndChosenMasks) {
  Account kim = *server->account("kim@mail.example");
  kim.info_style = UserInfoStyle::modern;
  kim.group_mask = "sus";
  kim.contact_mask = "uussuusu";
  server->add_account(kim);
  auto c = logged_in("kim@mail.example", "kim-pw");
  std::optional<Packet> info = c->read_code(code::user_info);
  ASSERT_TRUE(info);
  auto pairs = decode_pairs(*info);
  ASSERT_EQ(pairs.size(), 4u);
  EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>("MRIM.NICKNAME", "Kim")));
  EXPECT_EQ(pairs[1].first, "MESSAGES.TOTAL");
  EXPECT_EQ(pairs[2], (std::pair<std::string, std::string>("MESSAGES.UNREAD", "3")));
  EXPECT_EQ(pairs[3].first, "client.endpoint");
  EXPECT_EQ(pairs[3].second.substr(0, 10), "127.0.0.1:");

  std::optional<Packet> list_packet = c->read_code(code::contact_list2);
  ASSERT_TRUE(list_packet);
  DecodedList list = decode_list(*list_packet);
  // A text where a number belongs (the group's flags) is empty; the name stays in place.
  EXPECT_EQ(list.groups[1].texts, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(list.groups[1].numbers, std::vector<uint32_t>{0});
  ASSERT_EQ(list.contacts.size(), 3u);
  EXPECT_EQ(list.contacts[0].texts, (std::vector<std::string>{"amy@mail.example", "Amy", ""}));
  EXPECT_EQ(list.contacts[0].numbers.size(), 5u);
}

TEST_F(AfterLogin, CanBeSwitchedOff) {
  Behavior b = server->behavior();
  b.send_after_login = false;
  server->set_behavior(b);
  auto c = logged_in("kim@mail.example", "kim-pw");
  EXPECT_FALSE(c->read(milliseconds(200)));
}

TEST_F(AfterLogin, StoredMessagesInEveryForm) {
  Account kim = *server->account("kim@mail.example");
  kim.offline.clear();
  server->add_account(kim);
  for (OfflineForm form : {OfflineForm::boundary, OfflineForm::modern, OfflineForm::utf8, OfflineForm::raw}) {
    OfflineMessage m;
    m.form = form;
    m.from = "bob@mail.example";
    m.text = "hi";
    EXPECT_NE(server->store_offline("kim@mail.example", m), 0u);
  }
  auto c = logged_in("kim@mail.example", "kim-pw");
  std::vector<std::string> texts;
  for (int i = 0; i < 4; ++i) {
    std::optional<Packet> p = c->read_code(code::offline_message_ack);
    ASSERT_TRUE(p);
    Reader r(p->body);
    r.ul();
    r.ul();
    texts.push_back(*r.lps());
  }
  EXPECT_NE(texts[0].find("Boundary: "), std::string::npos);
  EXPECT_NE(texts[1].find("charset=UTF-16LE\r\n"), std::string::npos);
  EXPECT_NE(texts[1].find("\r\n\r\naABpAA=="), std::string::npos);
  EXPECT_NE(texts[2].find("charset=UTF-8\r\n"), std::string::npos);
  EXPECT_EQ(texts[3], "hi");
  // One stored while logged in arrives at once.
  OfflineMessage late;
  late.form = OfflineForm::raw;
  late.text = "late";
  server->store_offline("kim@mail.example", late);
  std::optional<Packet> p = c->read_code(code::offline_message_ack);
  ASSERT_TRUE(p);
  Reader r(p->body);
  r.ul();
  r.ul();
  EXPECT_EQ(r.lps(), "late");
}

using Presence = ServerTest;

TEST_F(Presence, StatusChangesReachTheSessionsThatListTheAccount) {
  auto bob = logged_in("bob@mail.example", "bob-pw");  // lists nobody
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto amy = logged_in("amy@mail.example", "amy-pw", mrim_status::away);
  auto expect_status = [&](Client& c, uint32_t status, const std::string& address) {
    std::optional<Packet> p = c.read_code(code::user_status);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->body, Writer().ul(status).lps(address).take());
  };
  expect_status(*kim, mrim_status::away, "amy@mail.example");  // amy's log-in
  amy->request(code::change_status, Writer().ul(mrim_status::online).take());
  expect_status(*kim, mrim_status::online, "amy@mail.example");
  kim->request(code::change_status, Writer().ul(mrim_status::invisible).take());
  expect_status(*amy, mrim_status::invisible, "kim@mail.example");
  amy->close();
  expect_status(*kim, mrim_status::offline, "amy@mail.example");
  EXPECT_FALSE(bob->read(milliseconds(200)));

  server->announce_status("bob@mail.example", mrim_status::away);
  expect_status(*kim, mrim_status::away, "bob@mail.example");
  EXPECT_EQ(server->account("kim@mail.example")->contacts[1].status, mrim_status::away);
}

TEST_F(Presence, ASecondLoginDoesNotShowTheAccountOffline) {
  auto amy = logged_in("amy@mail.example", "amy-pw");
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto kim_again = logged_in("kim@mail.example", "kim-pw", mrim_status::away);
  std::optional<Packet> p = amy->read_code(code::user_status);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, Writer().ul(mrim_status::online).lps("kim@mail.example").take());
  p = amy->read_code(code::user_status);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, Writer().ul(mrim_status::away).lps("kim@mail.example").take());
  EXPECT_FALSE(amy->read(milliseconds(200)));
}

using ContactList = ServerTest;

Bytes modify(uint32_t number, uint32_t flags, const std::string& address, const std::string& name,
             uint32_t group = 0) {
  return Writer().ul(number).ul(flags).ul(group).lps(address).lps(name).ul(0).take();
}

TEST_F(ContactList, ModifyRenamesSetsFlagsAndRemovesByNumber) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  std::optional<Packet> ack =
      c->read_reply(c->request(code::modify_contact, modify(20, 0x04, "amy@mail.example", "Amy P.")));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::modify_contact_ack);
  EXPECT_EQ(status_of(ack), kContactOperSuccess);
  Contact amy = server->account("kim@mail.example")->contacts[0];
  EXPECT_EQ(amy.nickname, "Amy P.");
  EXPECT_EQ(amy.flags, 0x04u);

  // Removal keeps the numbers of the contacts after it for the rest of the session.
  EXPECT_EQ(
      status_of(c->read_reply(c->request(code::modify_contact, modify(20, 0x01, "amy@mail.example", "")))),
      kContactOperSuccess);
  ASSERT_EQ(server->account("kim@mail.example")->contacts.size(), 1u);
  EXPECT_EQ(
      status_of(c->read_reply(c->request(code::modify_contact, modify(21, 0, "bob@mail.example", "Bob")))),
      kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->contacts[0].nickname, "Bob");

  // Unknown numbers, a number that names another address, and removed contacts are refused.
  EXPECT_EQ(
      status_of(c->read_reply(c->request(code::modify_contact, modify(20, 0, "amy@mail.example", "x")))),
      kContactOperError);
  EXPECT_EQ(
      status_of(c->read_reply(c->request(code::modify_contact, modify(21, 0, "amy@mail.example", "x")))),
      kContactOperError);
  EXPECT_EQ(
      status_of(c->read_reply(c->request(code::modify_contact, modify(19, 0, "bob@mail.example", "x")))),
      kContactOperError);
  EXPECT_EQ(
      status_of(c->read_reply(c->request(code::modify_contact, modify(99, 0, "bob@mail.example", "x")))),
      kContactOperError);
}

TEST_F(ContactList, GroupsAreCreatedRenamedAndContactsMovedOnlyIntoThem) {
  auto c = logged_in("kim@mail.example", "kim-pw");
  auto request = [&](uint32_t code, const Bytes& body) { return c->read_reply(c->request(code, body)); };
  // Moving into a group the list lacks is refused and changes nothing.
  EXPECT_EQ(status_of(request(code::modify_contact, modify(20, 0, "amy@mail.example", "Amy", 1))),
            kContactOperError);
  EXPECT_EQ(server->account("kim@mail.example")->contacts[0].group, 0u);

  std::optional<Packet> created =
      request(code::add_contact, Writer().ul(contact_flag::group).ul(0).lps("").lps("Family").ul(0).take());
  ASSERT_TRUE(created);
  EXPECT_EQ(created->body, Writer().ul(kContactOperSuccess).ul(1).take());  // "Friends" is 0

  EXPECT_EQ(status_of(request(code::modify_contact, modify(20, 0, "amy@mail.example", "Amy", 1))),
            kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->contacts[0].group, 1u);

  EXPECT_EQ(status_of(request(code::modify_contact, modify(1, contact_flag::group, "", "Kin"))),
            kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->groups[1].name, "Kin");
  EXPECT_EQ(status_of(request(code::modify_contact, modify(7, contact_flag::group, "", "None"))),
            kContactOperError);
}

TEST_F(ContactList, AddGivesTheNextNumberAndAsksTheAddedUser) {
  auto bob = logged_in("bob@mail.example", "bob-pw", mrim_status::away);
  auto amy = logged_in("amy@mail.example", "amy-pw");
  Bytes add = Writer().ul(0).ul(0).lps("bob@mail.example").lps("bob@mail.example").ul(0).take();
  std::optional<Packet> ack = amy->read_reply(amy->request(code::add_contact, add));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::add_contact_ack);
  EXPECT_EQ(ack->body, Writer().ul(kContactOperSuccess).ul(21).take());  // kim is 20
  EXPECT_EQ(server->account("amy@mail.example")->contacts.back().email, "bob@mail.example");

  std::optional<Packet> presence = amy->read_code(code::user_status);
  ASSERT_TRUE(presence);
  EXPECT_EQ(presence->body, Writer().ul(mrim_status::away).lps("bob@mail.example").take());

  std::optional<Packet> request = bob->read_code(code::message_ack);
  ASSERT_TRUE(request);
  Reader r(request->body);
  r.ul();
  EXPECT_EQ(r.ul(), message_flag::authorize);
  EXPECT_EQ(r.lps(), "amy@mail.example");
  EXPECT_EQ(r.lps(), "Please authorize me");

  // Adding again finds the same number; the added contact now follows bob's status.
  ack = amy->read_reply(amy->request(code::add_contact, add));
  EXPECT_EQ(ack->body, Writer().ul(kContactOperSuccess).ul(21).take());
  presence = amy->read_code(code::user_status);
  ASSERT_TRUE(presence);
  EXPECT_EQ(presence->body, Writer().ul(mrim_status::away).lps("bob@mail.example").take());
  bob->request(code::change_status, Writer().ul(mrim_status::online).take());
  presence = amy->read_code(code::user_status);
  ASSERT_TRUE(presence);
  EXPECT_EQ(presence->body, Writer().ul(mrim_status::online).lps("bob@mail.example").take());

  bob->request(code::authorize, Writer().lps("amy@mail.example").take());
  EXPECT_TRUE(server_got("bob@mail.example", code::authorize));
}

TEST_F(ContactList, AddWithoutAnAddressIsRefused) {
  auto amy = logged_in("amy@mail.example", "amy-pw");
  std::optional<Packet> ack =
      amy->read_reply(amy->request(code::add_contact, Writer().ul(0).ul(0).lps("").lps("").ul(0).take()));
  ASSERT_TRUE(ack);
  EXPECT_EQ(status_of(ack), kContactOperError);
}

using Messages = ServerTest;

TEST_F(Messages, AreDeliveredToTheRecipientAndConfirmedToTheSender) {
  auto kim = logged_in("kim@mail.example", "kim-pw");
  auto amy = logged_in("amy@mail.example", "amy-pw");
  uint32_t seq = kim->request(code::message, message(0, "amy@mail.example", "hi \xC0"));
  std::optional<Packet> status = kim->read_reply(seq);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, code::message_status);
  EXPECT_EQ(status->body, Writer().ul(kMessageDelivered).take());

  std::optional<Packet> incoming = amy->read_code(code::message_ack);
  ASSERT_TRUE(incoming);
  Reader r(incoming->body);
  uint32_t id = *r.ul();
  EXPECT_EQ(r.ul(), 0u);
  EXPECT_EQ(r.lps(), "kim@mail.example");
  EXPECT_EQ(r.lps(), "hi \xC0");
  amy->send(Packet{code::message_recv, 0, Writer().lps("kim@mail.example").ul(id).take()});
  EXPECT_TRUE(server_got("amy@mail.example", code::message_recv));
}

TEST_F(Messages, TypingNoticesArePassedOnWithoutAStatusToRevisionsAbove18) {
  auto kim = logged_in("kim@mail.example", "kim-pw");  // 1.8
  auto amy = logged_in("amy@mail.example", "amy-pw", mrim_status::online, revision::v1_19);
  kim->request(code::message, message(0x404, "amy@mail.example", " "));
  kim->request(code::message, message(0x404, "bob@mail.example", " "));  // not logged in: dropped
  std::optional<Packet> notice = amy->read_code(code::message_ack);
  ASSERT_TRUE(notice);
  Reader r(notice->body);
  r.ul();
  EXPECT_EQ(r.ul(), 0x404u | message_flag::unicode);
  EXPECT_FALSE(kim->read_code(code::message_status, milliseconds(200)));
  EXPECT_TRUE(server->account("bob@mail.example")->offline.empty());

  // To a 1.8 session a notice is dropped: the message behind it is the first thing kim gets.
  amy->request(code::message, message(0x404, "kim@mail.example", " "));
  amy->request(code::message, message(0, "kim@mail.example", amy->text("after")));
  std::optional<Packet> next = kim->read_code(code::message_ack);
  ASSERT_TRUE(next);
  Reader after(next->body);
  after.ul();
  EXPECT_EQ(after.ul(), 0u);
  EXPECT_EQ(after.lps(), "amy@mail.example");
  EXPECT_EQ(after.lps(), "after");
}

TEST_F(Messages, ToAnAbsentAccountAreStoredAndToAStrangerRefused) {
  auto kim = logged_in("kim@mail.example", "kim-pw");
  std::optional<Packet> status =
      kim->read_reply(kim->request(code::message, message(0, "bob@mail.example", "later")));
  EXPECT_EQ(status_of(status), kMessageDelivered);
  status = kim->read_reply(kim->request(code::message, message(0, "nobody@mail.example", "hello?")));
  EXPECT_EQ(status_of(status), kMessageRejected);

  std::vector<OfflineMessage> stored = server->account("bob@mail.example")->offline;
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].from, "kim@mail.example");
  EXPECT_EQ(stored[0].text, "later");
  EXPECT_EQ(stored[0].form, OfflineForm::modern);

  Behavior b = server->behavior();
  b.send_after_login = true;
  server->set_behavior(b);
  auto bob = logged_in("bob@mail.example", "bob-pw");
  std::optional<Packet> p = bob->read_code(code::offline_message_ack);
  ASSERT_TRUE(p);
  Reader r(p->body);
  r.ul();
  r.ul();
  std::string text = *r.lps();
  EXPECT_EQ(text.substr(0, 24), "From: kim@mail.example\r\n");
  EXPECT_EQ(text.substr(text.size() - 16), base64(from_cp1251("later", "UTF-16LE")));
}

TEST_F(Messages, TestsCanDeliverAnyMessage) {
  auto kim = logged_in("kim@mail.example", "kim-pw");
  std::optional<uint32_t> id =
      server->deliver_message("kim@mail.example", "eve@else.example", "knock", message_flag::norecv);
  ASSERT_TRUE(id);
  std::optional<Packet> p = kim->read_code(code::message_ack);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body,
            Writer().ul(*id).ul(message_flag::norecv).lps("eve@else.example").lps("knock").lps(" ").take());
  EXPECT_FALSE(server->deliver_message("amy@mail.example", "eve@else.example", "knock"));
}

using Directory = ServerTest;

TEST_F(Directory, FoundAccountsGiveTheirFieldsInOneRow) {
  Account amy = *server->account("amy@mail.example");
  amy.directory = {{"FirstName", "Amy"}, {"Birthday", "1990-07-15"}, {"Nickname", "Ames"}, {"Sex", "2"}};
  server->add_account(amy);
  auto kim = logged_in("kim@mail.example", "kim-pw");
  Bytes request = Writer().ul(0).lps("amy").ul(1).lps("mail.example").take();
  std::optional<Packet> info = kim->read_reply(kim->request(code::directory_request, request));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->code, code::directory_info);
  Reader r(info->body);
  EXPECT_EQ(r.ul(), 1u);
  EXPECT_EQ(r.ul(), 7u);
  EXPECT_EQ(r.ul(), 1u);
  EXPECT_TRUE(r.ul());  // server time
  std::vector<std::string> names, values;
  for (int i = 0; i < 7; ++i) names.push_back(*r.lps());
  for (int i = 0; i < 7; ++i) values.push_back(*r.lps());
  EXPECT_TRUE(r.at_end());
  // The live status comes last, in hexadecimal: Amy is not logged in.
  EXPECT_EQ(names, (std::vector<std::string>{"Username", "Domain", "Nickname", "FirstName", "Birthday", "Sex",
                                             "mrim_status"}));
  EXPECT_EQ(values, (std::vector<std::string>{"amy", "mail.example", "Ames", "Amy", "1990-07-15", "2", "0"}));
}

TEST_F(Directory, UnknownAddressesGiveStatusZero) {
  auto kim = logged_in("kim@mail.example", "kim-pw");
  for (const Bytes& request : {Writer().ul(0).lps("nobody").ul(1).lps("mail.example").take(),
                               Writer().ul(0).lps("amy").take(), Writer().ul(0).lps("amy").ul(1).take()}) {
    std::optional<Packet> info = kim->read_reply(kim->request(code::directory_request, request));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->code, code::directory_info);
    EXPECT_EQ(status_of(info), 0u);
  }
}

using Notices = ServerTest;

TEST_F(Notices, MailboxConnectionParamsAndLogoutOnRequest) {
  auto kim = logged_in("kim@mail.example", "kim-pw");
  EXPECT_TRUE(server->set_unread("kim@mail.example", 7));
  std::optional<Packet> p = kim->read();
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, (Packet{code::mailbox_status, 0, Writer().ul(7).take()}));
  EXPECT_EQ(server->account("kim@mail.example")->unread_mail, 7u);

  EXPECT_TRUE(server->send_connection_params("kim@mail.example", 60));
  EXPECT_EQ(kim->read(), (Packet{code::connection_params, 0, Writer().ul(60).take()}));

  EXPECT_TRUE(server->force_logout("kim@mail.example", 5));
  EXPECT_EQ(kim->read(), (Packet{code::logout, 0, Writer().ul(5).take()}));
  EXPECT_TRUE(kim->wait_closed());
  EXPECT_FALSE(server->session_of("kim@mail.example"));
  EXPECT_FALSE(server->send_connection_params("kim@mail.example", 60));
  EXPECT_FALSE(server->set_unread("kim@mail.example", 1));
  EXPECT_EQ(server->account("kim@mail.example")->unread_mail, 1u);
}

}  // namespace
}  // namespace serversim
