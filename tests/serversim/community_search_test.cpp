// The quirks of a community server with the directory: repeated queries page on, and a minute
// holds 25 searches.
#include "community.h"

namespace serversim {
namespace {

using namespace testing_support;

class CommunitySearch : public CommunityTest {
 protected:
  // The rows found, 0 when none; kSearchRateLimited when refused. The test fails without an
  // answer.
  uint32_t rows(Client& c, const Bytes& request) {
    std::optional<Packet> info = c.read_reply(c.request(code::directory_request, request));
    EXPECT_TRUE(info);
    if (!info) return 0xDEAD;
    Reader r(info->body);
    uint32_t status = r.ul().value_or(0xDEAD);
    r.ul();
    return status == 1 ? r.ul().value_or(0xDEAD) : status == kSearchRateLimited ? kSearchRateLimited : 0;
  }
};

const Bytes kAmy =
    Writer().ul(search_field::user).lps("amy").ul(search_field::domain).lps("mail.example").take();

TEST_F(CommunitySearch, TheSameQueryAgainGivesTheNextPage) {
  for (int i = 0; i < 60; ++i)
    server->add_account(make_account("twin" + std::to_string(i) + "@mail.example", "pw", "Twin"));
  turn_on(&Behavior::search_paging);
  auto kim = logged_in("kim@mail.example", "kim-pw");
  const Bytes twins = Writer().ul(search_field::nickname).lps("Twin").take();
  EXPECT_EQ(rows(*kim, twins), 50u);
  EXPECT_EQ(rows(*kim, twins), 10u);
  EXPECT_EQ(rows(*kim, twins), 0u);
  EXPECT_EQ(rows(*kim, twins), 50u);
  // One user: found every second time.
  EXPECT_EQ(rows(*kim, kAmy), 1u);
  EXPECT_EQ(rows(*kim, kAmy), 0u);
  EXPECT_EQ(rows(*kim, kAmy), 1u);
}

TEST_F(CommunitySearch, The26thSearchInAMinuteAndThoseAfterItAreRefused) {
  turn_on(&Behavior::search_limit);
  auto kim = logged_in("kim@mail.example", "kim-pw");
  for (int i = 0; i < 25; ++i) EXPECT_EQ(rows(*kim, kAmy), 1u) << i;
  EXPECT_EQ(rows(*kim, kAmy), kSearchRateLimited);
  EXPECT_EQ(rows(*kim, kAmy), kSearchRateLimited);
}

}  // namespace
}  // namespace serversim
