// The accounts file of the server stand-in: every statement, escapes, the sample file that ships
// with the daemon, and faults reported with their line numbers.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <sstream>

#include "serversim/accounts.h"

namespace serversim {
namespace {

std::vector<Account> parse(const std::string& text) {
  std::istringstream in(text);
  return parse_accounts(in);
}

TEST(Config, ReadsEveryStatement) {
  auto accounts = parse(
      "# comment\n"
      "\n"
      "account kim@mail.example pa#ss\\sword\n"
      "  nickname Kim the \\xD0\\x91ear \xF0\x9F\x99\x82\r\n"
      "mail 3 0x0C\n"
      "info modern\n"
      "masks usu uussuuss\n"
      "group 0 Friends and family\n"
      "group 0x10 Work\n"
      "contact amy@mail.example 0 0x08 online Amy Pond\n"
      "contact bob@mail.example 1 0 invisible\n"
      "contact eve@mail.example 1 4 2147483650  Eve\\s\n"
      "dir Birthday 1990-07-15\n"
      "dir Phone\n"
      "offline modern amy@mail.example Hi there\n"
      "offline raw bob@mail.example From: x\\n\\nbody\n"
      "account amy@mail.example secret\n");
  ASSERT_EQ(accounts.size(), 2u);
  const Account& kim = accounts[0];
  EXPECT_EQ(kim.email, "kim@mail.example");
  EXPECT_EQ(kim.password, "pa#ss word");
  // Escaped and plain UTF-8 alike.
  EXPECT_EQ(kim.nickname,
            "Kim the \xD0\x91"
            "ear \xF0\x9F\x99\x82");
  EXPECT_EQ(kim.unread_mail, 3u);
  EXPECT_EQ(kim.total_mail, 12u);
  EXPECT_EQ(kim.info_style, UserInfoStyle::modern);
  EXPECT_EQ(kim.group_mask, "usu");
  EXPECT_EQ(kim.contact_mask, "uussuuss");
  ASSERT_EQ(kim.groups.size(), 2u);
  EXPECT_EQ(kim.groups[0].name, "Friends and family");
  EXPECT_EQ(kim.groups[1].flags, 0x10u);
  ASSERT_EQ(kim.contacts.size(), 3u);
  EXPECT_EQ(kim.contacts[0].email, "amy@mail.example");
  EXPECT_EQ(kim.contacts[0].flags, 8u);
  EXPECT_EQ(kim.contacts[0].status, 1u);
  EXPECT_EQ(kim.contacts[0].nickname, "Amy Pond");
  EXPECT_EQ(kim.contacts[1].group, 1u);
  EXPECT_EQ(kim.contacts[1].status, 0x80000001u);
  EXPECT_EQ(kim.contacts[1].nickname, "");
  EXPECT_EQ(kim.contacts[2].status, 2147483650u);
  EXPECT_EQ(kim.contacts[2].nickname, "Eve ");
  ASSERT_EQ(kim.directory.size(), 2u);
  EXPECT_EQ(kim.directory[0], (std::pair<std::string, std::string>("Birthday", "1990-07-15")));
  EXPECT_EQ(kim.directory[1], (std::pair<std::string, std::string>("Phone", "")));
  ASSERT_EQ(kim.offline.size(), 2u);
  EXPECT_EQ(kim.offline[0].form, OfflineForm::modern);
  EXPECT_EQ(kim.offline[0].from, "amy@mail.example");
  EXPECT_EQ(kim.offline[0].text, "Hi there");
  EXPECT_EQ(kim.offline[1].form, OfflineForm::raw);
  EXPECT_EQ(kim.offline[1].text, "From: x\n\nbody");
  EXPECT_EQ(accounts[1].email, "amy@mail.example");
  EXPECT_EQ(accounts[1].contact_mask, "");  // by default those of the receiver's revision
  EXPECT_EQ(accounts[1].info_style, UserInfoStyle::legacy);
}

TEST(Config, AvatarLinesNameAccountsAnywhereInTheFile) {
  auto accounts = parse(
      "avatar amy@mail.example slow\n"
      "account kim@mail.example k\n"
      "account amy@mail.example a\n"
      "account bob@mail.example b\n"
      "avatar kim@mail.example picture\n");
  ASSERT_EQ(accounts.size(), 3u);
  EXPECT_EQ(accounts[0].avatar, AvatarKind::picture);
  EXPECT_EQ(accounts[1].avatar, AvatarKind::slow);
  EXPECT_EQ(accounts[2].avatar, AvatarKind::none);
}

TEST(Config, APostIsDatedItsAgeBeforeTheReading) {
  const std::time_t before = std::time(nullptr);
  auto accounts = parse("account kim@mail.example k\npost 2h Back from the hills — soon\n");
  const std::time_t after = std::time(nullptr);
  ASSERT_TRUE(accounts.at(0).post);
  const Post& post = *accounts[0].post;
  EXPECT_EQ(post.text, "Back from the hills — soon");
  EXPECT_GE(post.time, before - 7200);
  EXPECT_LE(post.time, after - 7200);
  EXPECT_EQ(post.id, 0u);  // numbered by the server
}

TEST(Config, TheDaemonsSampleFileIsValid) {
  auto accounts = load_accounts(
      (std::filesystem::path(__FILE__).parent_path() / "../../apps/mrim-server/accounts.conf").string());
  ASSERT_GE(accounts.size(), 2u);
  for (const Account& a : accounts) {
    EXPECT_FALSE(a.email.empty());
    EXPECT_FALSE(a.password.empty());
  }
}

struct BadConfig {
  const char* text;
  int line;
  const char* words;  // part of the message
};

class ConfigFaults : public testing::TestWithParam<BadConfig> {};

TEST_P(ConfigFaults, NameTheLine) {
  const BadConfig& bad = GetParam();
  try {
    parse(bad.text);
    FAIL() << "accepted: " << bad.text;
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.line(), bad.line) << e.what();
    std::string message = e.what();
    EXPECT_NE(message.find("line " + std::to_string(bad.line) + ": "), std::string::npos) << message;
    EXPECT_NE(message.find(bad.words), std::string::npos) << message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Config, ConfigFaults,
    testing::Values(BadConfig{"nickname Kim\n", 1, "before the first"},
                    BadConfig{"account a@b\n", 1, "missing password"},
                    BadConfig{"account a@b x\naccount a@b y\n", 2, "declared twice"},
                    BadConfig{"account a@b x\n\nfrobnicate 1\n", 3, "unknown statement"},
                    BadConfig{"account a@b x\nmail 3\n", 2, "missing total count"},
                    BadConfig{"account a@b x\nmail 3x 4\n", 2, "not a number"},
                    BadConfig{"account a@b x\nmail 4294967296 4\n", 2, "32 bits"},
                    BadConfig{"account a@b x\nmail 1 2 3\n", 2, "unexpected text"},
                    BadConfig{"account a@b x\ninfo fancy\n", 2, "unknown info style"},
                    BadConfig{"account a@b x\ncontact c@d 0 0 online\n", 2, "not declared"},
                    BadConfig{"account a@b x\ngroup 0 G\ncontact c@d 0 0 busy\n", 3, "status"},
                    BadConfig{"account a@b x\ngroup 0 G\ncontact c@d 0 0 1\ncontact c@d 0 0 1\n", 4, "twice"},
                    BadConfig{"account a@b x\noffline letter c@d hi\n", 2, "unknown form"},
                    BadConfig{"account a@b x\noffline plain\n", 2, "missing sender"},
                    BadConfig{"account a@b x\nnickname bad\\q\n", 2, "unknown escape"},
                    BadConfig{"account a@b x\nnickname bad\\x4\n", 2, "two hexadecimal"},
                    BadConfig{"account a@b x\nnickname bad\\\n", 2, "backslash ends"},
                    BadConfig{"account a@b x\nmasks us\n", 2, "missing contact mask"},
                    BadConfig{"account a@b x\navatar a@b pretty\n", 2, "unknown avatar kind"},
                    BadConfig{"avatar c@d none\naccount a@b x\n", 1, "no account"},
                    BadConfig{"account a@b x\navatar a@b none\navatar a@b huge\n", 3, "twice"},
                    BadConfig{"account a@b x\npost 5 Hi\n", 2, "needs a unit"},
                    BadConfig{"account a@b x\npost 5m\n", 2, "missing post text"},
                    BadConfig{"account a@b x\npost 5m Hi\npost 1d Ho\n", 3, "second post"}));

TEST(Config, MissingFileIsReported) {
  try {
    load_accounts("/nonexistent/accounts.conf");
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/accounts.conf"), std::string::npos);
  }
}

}  // namespace
}  // namespace serversim
