// Two revisions side by side: sessions of 1.8 (texts in code page 1251) and of 1.19 (Unicode
// sessions), each read by the revision of its log-in and each written to by the receiver's.
#include "fixture.h"
#include "serversim/text.h"

namespace serversim {
namespace {

using namespace testing_support;

const std::string kGreeting = "Привет 🙂 héllo ✓";
// What code page 1251 keeps of it.
const std::string kGreeting1251 = "\xCF\xF0\xE8\xE2\xE5\xF2 ? h?llo ?";

std::string u16(const std::string& utf8) { return utf8_to_utf16le(utf8); }

struct Incoming {
  uint32_t flags = 0;
  std::string from;
  std::string text;  // as it came on the wire
};

Incoming read_message(Client& c) {
  Incoming m;
  std::optional<Packet> p = c.read_code(code::message_ack);
  EXPECT_TRUE(p);
  if (!p) return m;
  Reader r(p->body);
  r.ul();
  m.flags = r.ul().value_or(0xDEAD);
  m.from = r.lps().value_or("");
  m.text = r.lps().value_or("");
  return m;
}

using Revisions = ServerTest;

TEST_F(Revisions, A119AndA18SessionExchangeMessagesEachInItsEncoding) {
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_19);
  auto amy = logged_in("amy@mail.example", "amy-pw");
  EXPECT_EQ(server->session(*server->session_of("kim@mail.example"))->version, revision::v1_19);
  EXPECT_EQ(server->session(*server->session_of("amy@mail.example"))->version, revision::v1_8);

  // Even when a client sets the Unicode flag, a 1.8 receiver never sees it.
  std::optional<Packet> status = kim->read_reply(
      kim->request(code::message, message(message_flag::unicode, "amy@mail.example", u16(kGreeting))));
  EXPECT_EQ(status_of(status), kMessageDelivered);
  Incoming to_amy = read_message(*amy);
  EXPECT_EQ(to_amy.flags, 0u);
  EXPECT_EQ(to_amy.from, "kim@mail.example");
  EXPECT_EQ(to_amy.text, kGreeting1251);

  // "Ответ № €" in 1251 reaches kim whole, in UTF-16LE, flagged so.
  amy->request(code::message, message(0, "kim@mail.example", "\xCE\xF2\xE2\xE5\xF2 \xB9 \x88"));
  Incoming to_kim = read_message(*kim);
  EXPECT_EQ(to_kim.flags, message_flag::unicode);
  EXPECT_EQ(to_kim.from, "amy@mail.example");
  EXPECT_EQ(to_kim.text, u16("Ответ № €"));

  // Between two Unicode sessions nothing is lost.
  auto bob = logged_in("bob@mail.example", "bob-pw", mrim_status::online, revision::v1_19);
  bob->request(code::message, message(0, "kim@mail.example", u16(kGreeting)));
  EXPECT_EQ(utf16le_to_utf8(read_message(*kim).text), kGreeting);
}

TEST_F(Revisions, AnOddLengthTextFromAUnicodeSessionIsReadAs1251) {
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_19);
  auto amy = logged_in("amy@mail.example", "amy-pw", mrim_status::online, revision::v1_19);
  kim->request(code::message, message(0, "amy@mail.example", "\xCF\xF0\xE8"));  // no UTF-16 is 3 bytes
  EXPECT_EQ(read_message(*amy).text, u16("При"));
}

TEST_F(Revisions, StatusGoesInTheReceiversLayoutWithItsTexts) {
  Account bob = *server->account("bob@mail.example");
  bob.contacts.push_back(make_contact("kim@mail.example", "Kim"));
  server->add_account(bob);
  auto amy = logged_in("amy@mail.example", "amy-pw", mrim_status::online, revision::v1_19);
  auto bob_18 = logged_in("bob@mail.example", "bob-pw");
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_19);
  std::optional<Packet> p = bob_18->read_code(code::user_status);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, Writer().ul(mrim_status::online).lps("kim@mail.example").take());
  p = amy->read_code(code::user_status);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, Writer()
                         .ul(mrim_status::online)
                         .lps("STATUS_ONLINE")
                         .lps("")
                         .lps("")
                         .lps("kim@mail.example")
                         .ul(0x2FF)
                         .lps("serversim test client")
                         .take());

  // A user-defined status with its texts; the title is cut to 33 characters.
  kim->request(code::change_status, Writer()
                                        .ul(mrim_status::user_defined)
                                        .lps("status_run")
                                        .lps(u16("Бегу 🏃 " + std::string(40, 'x')))
                                        .lps(u16("до пяти"))
                                        .ul(0x2FF)
                                        .take());
  const std::string title = "Бегу 🏃 " + std::string(26, 'x');
  p = amy->read_code(code::user_status);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, Writer()
                         .ul(mrim_status::user_defined)
                         .lps("status_run")
                         .lps(u16(title))
                         .lps(u16("до пяти"))
                         .lps("kim@mail.example")
                         .ul(0x2FF)
                         .lps("serversim test client")
                         .take());
  p = bob_18->read_code(code::user_status);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->body, Writer().ul(mrim_status::user_defined).lps("kim@mail.example").take());
  StatusTexts kept = server->account("kim@mail.example")->status_texts;
  EXPECT_EQ(kept.uri, "status_run");
  EXPECT_EQ(kept.title, title);
  EXPECT_EQ(kept.description, "до пяти");

  // A 1.8 session has no texts to send: its log-in and changes clear them.
  auto kim_18 = logged_in("kim@mail.example", "kim-pw");
  EXPECT_EQ(server->account("kim@mail.example")->status_texts.title, "");
  kim_18->request(code::change_status, Writer().ul(mrim_status::away).take());
  for (uint32_t status : {mrim_status::online, mrim_status::away}) {
    p = amy->read_code(code::user_status);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->body, Writer()
                           .ul(status)
                           .lps(status == mrim_status::online ? "STATUS_ONLINE" : "STATUS_AWAY")
                           .lps("")
                           .lps("")
                           .lps("kim@mail.example")
                           .ul(0)
                           .lps("serversim test client")
                           .take());
  }
}

class RevisionLists : public ServerTest {
 protected:
  Settings settings() override {
    Settings s = ServerTest::settings();
    s.behavior.send_after_login = true;
    Account& kim = s.accounts[0];
    kim.groups[0].name = "Друзья 🎉";
    kim.contacts[0].nickname = "Эми 🙂";
    kim.contacts.push_back(make_contact("news@list.example", "News", 0, mrim_status::user_defined));
    kim.contacts.back().status_texts = StatusTexts{"status_chat", "Готов 💬", "", 0x2FF};
    return s;
  }
};

TEST_F(RevisionLists, ListTo119HasTheLaterMaskUnicodeFlagsAndNames) {
  LoginDetails gym;
  gym.status = mrim_status::user_defined;
  gym.uri = "status_gym";
  gym.title = "В зале 🏋";
  gym.description = "back at 5";
  auto amy = logged_in("amy@mail.example", "amy-pw", gym, revision::v1_19);
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_19);

  std::optional<Packet> info = kim->read_code(code::user_info);
  ASSERT_TRUE(info);
  EXPECT_EQ(decode_pairs(*info), (std::vector<std::pair<std::string, std::string>>{
                                     {"MESSAGES.TOTAL", u16("0")}, {"MESSAGES.UNREAD", u16("0")}}));

  std::optional<Packet> list_packet = kim->read_code(code::contact_list2);
  ASSERT_TRUE(list_packet);
  DecodedList list = decode_list(*list_packet);
  EXPECT_EQ(list.group_mask, "us");
  EXPECT_EQ(list.contact_mask, "uussuussssus");
  ASSERT_EQ(list.groups.size(), 1u);
  EXPECT_EQ(list.groups[0].numbers, std::vector<uint32_t>{contact_flag::group | contact_flag::unicode});
  EXPECT_EQ(list.groups[0].texts, std::vector<std::string>{u16("Друзья 🎉")});
  ASSERT_EQ(list.contacts.size(), 3u);
  // Numbers: flags, group, server flags, status, features. Texts: address, nickname, phone, URI,
  // title, description, client. amy is logged in: her live status and texts.
  EXPECT_EQ(list.contacts[0].numbers,
            (std::vector<uint32_t>{contact_flag::unicode, 0, 0, mrim_status::user_defined, 0x2FF}));
  EXPECT_EQ(list.contacts[0].texts,
            (std::vector<std::string>{"amy@mail.example", u16("Эми 🙂"), "", "status_gym",
                                      u16("В зале 🏋"), u16("back at 5"), "serversim test client"}));
  EXPECT_EQ(utf16le_to_utf8(list.contacts[0].texts[1]), "Эми 🙂");
  EXPECT_EQ(list.contacts[1].numbers, (std::vector<uint32_t>{0x08 | contact_flag::unicode, 0, 0, 0, 0}));
  EXPECT_EQ(list.contacts[1].texts[3], "STATUS_OFFLINE");
  EXPECT_EQ(list.contacts[2].numbers,
            (std::vector<uint32_t>{contact_flag::unicode, 0, 0, mrim_status::user_defined, 0x2FF}));
  EXPECT_EQ(list.contacts[2].texts, (std::vector<std::string>{"news@list.example", u16("News"), "",
                                                              "status_chat", u16("Готов 💬"), "", ""}));

  // The same list to a 1.8 session: the old masks, no Unicode flags, 1251 with "?".
  auto kim_18 = logged_in("kim@mail.example", "kim-pw");
  list_packet = kim_18->read_code(code::contact_list2);
  ASSERT_TRUE(list_packet);
  list = decode_list(*list_packet);
  EXPECT_EQ(list.contact_mask, "uussuus");
  EXPECT_EQ(list.groups[0].numbers, std::vector<uint32_t>{contact_flag::group});
  EXPECT_EQ(list.groups[0].texts, std::vector<std::string>{"\xC4\xF0\xF3\xE7\xFC\xFF ?"});
  EXPECT_EQ(list.contacts[0].numbers, (std::vector<uint32_t>{0, 0, 0, mrim_status::user_defined}));
  EXPECT_EQ(list.contacts[0].texts, (std::vector<std::string>{"amy@mail.example", "\xDD\xEC\xE8 ?", ""}));
}

TEST_F(Revisions, NamesFromAUnicodeSessionAreReadAsUtf16) {
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_19);
  auto request = [&](uint32_t code, const Bytes& body) { return kim->read_reply(kim->request(code, body)); };
  EXPECT_EQ(status_of(request(
                code::modify_contact,
                Writer().ul(20).ul(0).ul(0).lps("amy@mail.example").lps(u16("Эми 🙂")).ul(0).take())),
            kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->contacts[0].nickname, "Эми 🙂");
  std::optional<Packet> created = request(
      code::add_contact, Writer().ul(contact_flag::group).ul(0).lps("").lps(u16("Семья 👪")).ul(0).take());
  EXPECT_EQ(status_of(created), kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->groups.back().name, "Семья 👪");
  EXPECT_EQ(
      status_of(request(code::modify_contact,
                        Writer().ul(1).ul(contact_flag::group).ul(0).lps("").lps(u16("Кин ✓")).ul(0).take())),
      kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->groups.back().name, "Кин ✓");
  std::optional<Packet> added =
      request(code::add_contact, Writer().ul(0).ul(1).lps("eve@mail.example").lps(u16("Ева ✓")).ul(0).take());
  EXPECT_EQ(status_of(added), kContactOperSuccess);
  EXPECT_EQ(server->account("kim@mail.example")->contacts.back().nickname, "Ева ✓");
}

TEST_F(Revisions, SearchByNameFromAUnicodeSessionAnswersInUtf16) {
  Account amy = *server->account("amy@mail.example");
  amy.directory = {{"FirstName", "Эми"}, {"Birthday", "1990-07-15"}, {"Sex", "2"}};
  server->add_account(amy);
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_19);
  std::optional<Packet> info = kim->read_reply(
      kim->request(code::directory_request, Writer().ul(search_field::first_name).lps(u16("Эми")).take()));
  ASSERT_TRUE(info);
  Reader r(info->body);
  EXPECT_EQ(r.ul(), 1u);
  EXPECT_EQ(r.ul(), 7u);
  EXPECT_EQ(r.ul(), 1u);
  r.ul();
  std::vector<std::string> names, values;
  for (int i = 0; i < 7; ++i) names.push_back(r.lps().value_or("?"));
  for (int i = 0; i < 7; ++i) values.push_back(r.lps().value_or("?"));
  EXPECT_TRUE(r.at_end());
  EXPECT_EQ(names, (std::vector<std::string>{"Username", "Domain", "Nickname", "FirstName", "Birthday", "Sex",
                                             "mrim_status"}));
  EXPECT_EQ(values, (std::vector<std::string>{"amy", "mail.example", u16("Amy"), u16("Эми"), "1990-07-15",
                                              u16("2"), "0"}));
  // The same name in 1251 is no UTF-16 of it: nothing is found.
  info = kim->read_reply(kim->request(code::directory_request,
                                      Writer().ul(search_field::first_name).lps("\xDD\xEC\xE8\xE8").take()));
  EXPECT_EQ(status_of(info), 0u);
}

TEST_F(Revisions, ALoginIsReadByItsRevisionWithTrailingFieldsMissingOrExtra) {
  // 1.14: the status texts in 1251, no locale.
  Client c;
  ASSERT_TRUE(c.connect(server->mrim_port()));
  c.set_version(revision::v1_14);
  ASSERT_TRUE(c.hello());
  std::optional<Packet> ack = c.read_reply(c.request(code::login2, Writer()
                                                                       .lps("kim@mail.example")
                                                                       .lps("kim-pw")
                                                                       .ul(mrim_status::user_defined)
                                                                       .lps("status_x")
                                                                       .lps("\xD2\xE5\xF1\xF2")
                                                                       .lps("")
                                                                       .ul(0x2FF)
                                                                       .lps("Client 1.14")
                                                                       .lps("legacy")
                                                                       .take()));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  std::optional<SessionInfo> kim = server->session(*server->session_of("kim@mail.example"));
  EXPECT_EQ(kim->client, "Client 1.14");
  EXPECT_EQ(kim->version, revision::v1_14);
  EXPECT_EQ(server->account("kim@mail.example")->status_texts.title, "Тест");

  // 1.19 cut short after the status, and 1.19 with a field no revision here knows.
  auto amy = connect();
  amy->set_version(revision::v1_19);
  ASSERT_TRUE(amy->hello());
  ack = amy->read_reply(amy->request(
      code::login2, Writer().lps("amy@mail.example").lps("amy-pw").ul(mrim_status::away).take()));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  EXPECT_EQ(server->session(*server->session_of("amy@mail.example"))->status, mrim_status::away);

  auto bob = connect();
  bob->set_version(revision::v1_19);
  ASSERT_TRUE(bob->hello());
  LoginDetails details;
  details.locale = "en";
  Bytes body = login_body(revision::v1_19, "bob@mail.example", "bob-pw", details);
  Writer extra;
  extra.raw(body).ul(7).lps("later");
  ack = bob->read_reply(bob->request(code::login2, extra.take()));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->code, code::login_ack);
  EXPECT_EQ(server->session(*server->session_of("bob@mail.example"))->locale, "en");
}

}  // namespace
}  // namespace serversim
