// Revision 1.20: the server's clock in HELLO_ACK, posts in the list and in the account
// information, and a post's way from its author to the sessions that take it.
#include <ctime>

#include "fixture.h"
#include "serversim/text.h"

namespace serversim {
namespace {

using namespace testing_support;

constexpr uint32_t kPingPeriod = 30;
constexpr std::time_t kDay = 86400;

std::string u16(const std::string& utf8) { return utf8_to_utf16le(utf8); }

// USER_BLOG_STATUS as the server should send the account's stored post.
Bytes blog_status(const std::string& address, const Post& post) {
  return Writer()
      .ul(kPostStored)
      .lps(address)
      .ul(uint32_t(post.id))
      .ul(uint32_t(post.id >> 32))
      .ul(uint32_t(post.time))
      .lps(u16(post.text))
      .ul(0)
      .take();
}

std::string value_of(const std::vector<std::pair<std::string, std::string>>& pairs, const std::string& key) {
  for (const auto& [k, v] : pairs)
    if (k == key) return v;
  return "(none)";
}

// Kim lists amy and bob; amy, bob and eve list kim, eve with kim on her invisible list. Kim's post
// has an id of its own, amy's is recent and bob's eight days old.
class Microblog : public ServerTest {
 protected:
  Settings settings() override {
    Settings s = ServerTest::settings();
    const std::time_t now = std::time(nullptr);
    s.accounts[0].post = Post{0x200000007, now - 60, "Моё 🙂"};
    s.accounts[1].post = Post{0, now - 300, "Back from the hills"};
    s.accounts[2].post = Post{0, now - 8 * kDay, "Old news"};
    s.accounts[2].contacts.push_back(make_contact("kim@mail.example", "Kim"));
    Account eve = make_account("eve@mail.example", "eve-pw", "Eve");
    eve.contacts.push_back(make_contact("kim@mail.example", "Kim", contact_flag::invisible));
    s.accounts.push_back(eve);
    return s;
  }

  void set_clock_offset(std::chrono::seconds offset, bool after_login = false) {
    Behavior b = server->behavior();
    b.clock_offset = offset;
    b.send_after_login = after_login;
    server->set_behavior(b);
  }
};

TEST_F(Microblog, HelloAckTellsTheServersClockFrom120Only) {
  set_clock_offset(std::chrono::hours(-3));
  auto old = connect();
  old->set_version(revision::v1_19);
  std::optional<Packet> ack = old->hello();
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body, Writer().ul(kPingPeriod).take());

  auto c = connect();
  c->set_version(revision::v1_20);
  const std::time_t before = std::time(nullptr);
  ack = c->hello();
  const std::time_t after = std::time(nullptr);
  ASSERT_TRUE(ack);
  ASSERT_EQ(ack->body.size(), 12u);
  Reader r(ack->body);
  EXPECT_EQ(r.ul(), kPingPeriod);
  const std::time_t told = r.ul().value_or(0);
  EXPECT_GE(told, before - 3 * 3600);
  EXPECT_LE(told, after - 3 * 3600);
  EXPECT_EQ(r.ul(), 0u);
}

TEST_F(Microblog, A120LogInIsShownItsContactsPostsAndItsOwnA119OneIsNot) {
  set_clock_offset(std::chrono::hours(1), true);
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_20);
  std::optional<Packet> info = kim->read_code(code::user_info);
  std::optional<Packet> packet = kim->read_code(code::contact_list2);
  ASSERT_TRUE(info && packet);
  const auto pairs = decode_pairs(*info);
  const Post own = *server->account("kim@mail.example")->post;
  EXPECT_EQ(value_of(pairs, "micblog.status.id"), u16("8589934599"));
  EXPECT_EQ(value_of(pairs, "micblog.status.time"), u16(std::to_string(own.time + 3600)));
  EXPECT_EQ(value_of(pairs, "micblog.status.text"), u16("Моё 🙂"));

  DecodedList list = decode_list(*packet);
  EXPECT_EQ(list.contact_mask, "uussuussssusuuusss");
  ASSERT_EQ(list.contacts.size(), 2u);
  // Numbered by the server after the id kim's post was given.
  const Post amys = *server->account("amy@mail.example")->post;
  EXPECT_EQ(amys.id, 0x200000008u);
  const ListEntry& amy = list.contacts[0];
  EXPECT_EQ(amy.texts[0], "amy@mail.example");
  EXPECT_EQ(amy.numbers[5], 8u);
  EXPECT_EQ(amy.numbers[6], 2u);
  EXPECT_EQ(amy.numbers[7], uint32_t(amys.time + 3600));
  EXPECT_EQ(amy.texts[7], u16("Back from the hills"));
  EXPECT_EQ(amy.texts[8], "");
  EXPECT_EQ(amy.texts[9], "");
  // Older than a week: sent empty.
  const ListEntry& bob = list.contacts[1];
  EXPECT_EQ(bob.texts[0], "bob@mail.example");
  EXPECT_EQ(bob.numbers[5] | bob.numbers[6] | bob.numbers[7], 0u);
  EXPECT_EQ(bob.texts[7], "");

  auto amy_119 = logged_in("amy@mail.example", "amy-pw", mrim_status::online, revision::v1_19);
  info = amy_119->read_code(code::user_info);
  packet = amy_119->read_code(code::contact_list2);
  ASSERT_TRUE(info && packet);
  EXPECT_EQ(value_of(decode_pairs(*info), "micblog.status.id"), "(none)");
  EXPECT_EQ(decode_list(*packet).contact_mask, "uussuussssus");
}

TEST_F(Microblog, APostIsAnsweredAndReachesOnlyThe120SessionsThatTakeIt) {
  auto amy = logged_in("amy@mail.example", "amy-pw", mrim_status::online, revision::v1_20);
  auto bob = logged_in("bob@mail.example", "bob-pw", mrim_status::online, revision::v1_19);
  auto eve = logged_in("eve@mail.example", "eve-pw", mrim_status::online, revision::v1_20);
  auto kim = logged_in("kim@mail.example", "kim-pw", mrim_status::online, revision::v1_20);
  auto post = [&](uint32_t flags, const std::string& text) {
    return kim->request(code::change_user_blog_status, Writer().ul(flags).lps(u16(text)).take());
  };
  const std::string text = "Пост " + std::string(495, 'x');  // the most it may have: 500 units
  const std::time_t before = std::time(nullptr);
  const uint32_t draft = post(0, "draft");
  post(kPostStored, text + "x");
  const uint32_t kept = post(kPostStored, text);

  // Flags that store nothing are answered all the same, with id 0; one unit too many gets no
  // answer.
  std::optional<Packet> answer = kim->read_code(code::user_blog_status);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->seq, draft);
  Reader r(answer->body);
  EXPECT_EQ(r.ul(), 0u);
  EXPECT_EQ(r.lps(), "kim@mail.example");
  EXPECT_EQ(r.ul().value_or(1) | r.ul().value_or(1), 0u);
  answer = kim->read_code(code::user_blog_status);
  const std::time_t after = std::time(nullptr);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->seq, kept);
  const Post stored = *server->account("kim@mail.example")->post;
  EXPECT_EQ(stored.text, text);
  EXPECT_GT(stored.id, 0x200000007u);
  EXPECT_GE(stored.time, before);
  EXPECT_LE(stored.time, after);
  EXPECT_EQ(answer->body, blog_status("kim@mail.example", stored));

  // The first post amy hears of is this one.
  std::optional<Packet> pushed = amy->read_code(code::user_blog_status);
  ASSERT_TRUE(pushed);
  EXPECT_EQ(pushed->seq, 0u);
  EXPECT_EQ(pushed->body, answer->body);
  // Anything bound for bob or eve was queued before the answer to what they ask now.
  for (Client* c : {bob.get(), eve.get()}) {
    const uint32_t probe = c->request(code::web_key_request);
    for (std::optional<Packet> p = c->read(); !(p && p->seq == probe); p = c->read()) {
      ASSERT_TRUE(p);
      EXPECT_NE(p->code, code::user_blog_status);
    }
  }

  // A post the test makes goes the same way.
  ASSERT_TRUE(server->post("amy@mail.example", "Hi"));
  pushed = kim->read_code(code::user_blog_status);
  ASSERT_TRUE(pushed);
  EXPECT_EQ(pushed->body, blog_status("amy@mail.example", *server->account("amy@mail.example")->post));
}

}  // namespace
}  // namespace serversim
