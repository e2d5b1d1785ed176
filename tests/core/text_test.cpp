// The shared text helpers: bounded copies and the host:port split every caller builds on.
#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

HostPort split(const std::string& text) { return split_host_port(text.data(), text.size()); }

TEST(CopyCut, KeepsWhatFitsAndAlwaysTerminates) {
  char out[4] = {'x', 'x', 'x', 'x'};
  copy_cut(out, sizeof out, "abcdef", 6);
  EXPECT_STREQ(out, "abc");
  copy_cut(out, sizeof out, "ab", 2);
  EXPECT_STREQ(out, "ab");
  copy_cut(out, 1, "ab", 2);
  EXPECT_STREQ(out, "");
}

TEST(SplitHostPort, TakesTheHostBeforeTheFirstColonAndTheDigitsAfterIt) {
  HostPort parts = split("mrim.example:2041");
  EXPECT_TRUE(parts.has_colon);
  EXPECT_EQ(parts.host_length, 12u);
  EXPECT_EQ(parts.port, 2041u);
  EXPECT_TRUE(parts.port_exact);

  parts = split("mrim.example");
  EXPECT_FALSE(parts.has_colon);
  EXPECT_EQ(parts.host_length, 12u);
  EXPECT_EQ(parts.port, 0u);
  EXPECT_FALSE(parts.port_exact);
}

// Lenient callers take the leading digits; strict ones want the port and nothing else.
TEST(SplitHostPort, TellsALeadingNumberFromAnExactPort) {
  HostPort parts = split("a.example:443x");
  EXPECT_EQ(parts.port, 443u);
  EXPECT_FALSE(parts.port_exact);
  EXPECT_FALSE(split("a.example:").port_exact);
  EXPECT_FALSE(split("a.example:x1").port_exact);
  EXPECT_EQ(split("a.example:x1").port, 0u);
  EXPECT_TRUE(split(":0").port_exact);
  EXPECT_EQ(split(":0").host_length, 0u);
  EXPECT_TRUE(split("h:65535").port_exact);
}

TEST(SplitHostPort, ANumberBeyondAPortIsNone) {
  for (const char* text : {"h:65536", "h:99999999999", "h:4294967297"}) {
    HostPort parts = split(text);
    EXPECT_EQ(parts.port, 0u) << text;
    EXPECT_FALSE(parts.port_exact) << text;
  }
}

}  // namespace
