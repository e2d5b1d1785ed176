// Microblog posts in the console's words: how long ago a post was written, and why the plug-in
// refused one.
#include "posts.h"

#include <gtest/gtest.h>

#include <string>

#include "host/host_api.h"

namespace {

using console::post_refusal;
using console::relative_time;

TEST(Posts, AgesAreSaidInTheLargestWholeUnit) {
  const int64_t now = 1800000000;
  EXPECT_EQ(relative_time(now, now), "just now");
  EXPECT_EQ(relative_time(now - 59, now), "just now");
  EXPECT_EQ(relative_time(now + 300, now), "just now");  // a clock ahead of ours
  EXPECT_EQ(relative_time(now - 60, now), "1 min ago");
  EXPECT_EQ(relative_time(now - 5 * 60 - 59, now), "5 min ago");
  EXPECT_EQ(relative_time(now - 3599, now), "59 min ago");
  EXPECT_EQ(relative_time(now - 3600, now), "1 h ago");
  EXPECT_EQ(relative_time(now - 3 * 3600 - 1, now), "3 h ago");
  EXPECT_EQ(relative_time(now - 86399, now), "23 h ago");
  EXPECT_EQ(relative_time(now - 86400, now), "1 day ago");
  EXPECT_EQ(relative_time(now - 2 * 86400 - 7, now), "2 days ago");
  EXPECT_EQ(relative_time(now - 400 * 86400, now), "400 days ago");
}

TEST(Posts, ARefusalSaysWhatToDo) {
  // 612 characters, one of them outside the 16-bit plane: it counts twice, as on the wire.
  const std::string long_text = std::string(610, 'x') + "\xF0\x9F\x99\x82";
  EXPECT_EQ(post_refusal(MICROBLOG_REFUSED_TOO_LONG, long_text, "1.20"),
            "a post has at most 500 characters; this one has 612");
  // Cyrillic letters are one character each, though two bytes in UTF-8.
  std::string cyrillic;
  for (int i = 0; i < 501; ++i) cyrillic += "\xD0\xB6";
  EXPECT_EQ(post_refusal(MICROBLOG_REFUSED_TOO_LONG, cyrillic, "1.20"),
            "a post has at most 500 characters; this one has 501");
  EXPECT_EQ(post_refusal(MICROBLOG_REFUSED_OFFLINE, "hi", "1.20"),
            "the account is offline (status online first)");
  EXPECT_EQ(post_refusal(MICROBLOG_REFUSED_REVISION, "hi", "1.19"),
            "posts need protocol 1.20, and the account speaks 1.19 (start with --protocol 1.20)");
  // Chosen, and not spoken: the server answered in an older revision.
  EXPECT_EQ(post_refusal(MICROBLOG_REFUSED_REVISION, "hi", "1.20"),
            "posts need protocol 1.20, and the server speaks an older one in this session");
  EXPECT_EQ(post_refusal(MICROBLOG_REFUSED_EMPTY, "", "1.20"), "a post needs a text");
  EXPECT_EQ(post_refusal(0, "hi", "1.20"), "the plug-in did not take the post (it answered 0)");
}

}  // namespace
