// Long messages in parts: where a text is cut, counted in the UTF-16 units servers count.
#include "contacts/message_parts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> parts_of(const std::string& text, size_t units) {
  std::vector<std::string> parts;
  size_t at = 0;
  do {
    size_t length = mrim_message_part_length(text.data() + at, text.size() - at, units);
    parts.push_back(text.substr(at, length));
    at += length;
  } while (at < text.size());
  EXPECT_EQ(static_cast<int>(parts.size()), mrim_message_part_count(text.data(), text.size(), units));
  return parts;
}

TEST(MessageParts, CutAtTheLastBreakWithinTheLimitElseWhereItFits) {
  EXPECT_EQ(parts_of("", 5), std::vector<std::string>{""});
  EXPECT_EQ(parts_of("hello", 5), std::vector<std::string>{"hello"});
  EXPECT_EQ(parts_of("ab cd ef", 5), (std::vector<std::string>{"ab ", "cd ef"}));
  EXPECT_EQ(parts_of("ab\ncdefgh", 5), (std::vector<std::string>{"ab\n", "cdefg", "h"}));
  EXPECT_EQ(parts_of("abcdefgh", 5), (std::vector<std::string>{"abcde", "fgh"}));
}

TEST(MessageParts, NeverInsideACharacterAndAPairCountsTwo) {
  const std::string bear = "\xF0\x9F\x90\xBB";  // one character, two UTF-16 units
  const std::string ya = "\xD1\x8F";            // one character, one unit
  EXPECT_EQ(parts_of("abcd" + bear, 5), (std::vector<std::string>{"abcd", bear}));
  EXPECT_EQ(parts_of("abc" + bear + "d", 5), (std::vector<std::string>{"abc" + bear, "d"}));
  EXPECT_EQ(parts_of(ya + ya + ya, 2), (std::vector<std::string>{ya + ya, ya}));
  // A limit below one character still moves on, and a broken character is cut whole.
  EXPECT_EQ(parts_of(bear, 1), std::vector<std::string>{bear});
  EXPECT_EQ(parts_of("\xF0\x9F", 5), std::vector<std::string>{"\xF0\x9F"});
}

TEST(MessageParts, SixThousandCharactersGoInTwoWholeParts) {
  std::string text;
  while (text.size() < 6000) text += "word ";
  std::vector<std::string> parts = parts_of(text, MRIM_MESSAGE_PART_UNITS);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].size(), 5000u);
  EXPECT_EQ(parts[0] + parts[1], text);
}

}  // namespace
