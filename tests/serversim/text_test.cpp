// The stand-in's text encodings: code page 1251 with "?" for what it lacks, UTF-16LE with
// surrogate pairs, odd "UTF-16" read as 1251, and the lenient reading of UTF-8.
#include "serversim/text.h"

#include <gtest/gtest.h>

namespace serversim {
namespace {

TEST(Text, CodePage1251KeepsWhatItHasAndMarksTheRest) {
  EXPECT_EQ(utf8_to_cp1251("Привет 🙂 héllo ✓ Ёё№€"),
            "\xCF\xF0\xE8\xE2\xE5\xF2 ? h?llo ? \xA8\xB8\xB9\x88");
  EXPECT_EQ(cp1251_to_utf8("\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8\xB9\x88"), "Привет Ёё№€");
}

TEST(Text, Utf16KeepsEveryCharacter) {
  const std::string text = "Привет 🙂 héllo ✓";
  const std::string utf16 = utf8_to_utf16le(text);
  EXPECT_EQ(utf16.substr(14, 4), std::string("\x3D\xD8\x42\xDE", 4));  // U+1F642 as a pair
  EXPECT_EQ(utf16le_to_utf8(utf16), text);
  // Halves of a pair without the other half, and a lone last byte.
  EXPECT_EQ(utf16le_to_utf8(std::string("a\0\x3D\xD8", 4)), "a\uFFFD");
  EXPECT_EQ(utf16le_to_utf8(std::string("\x42\xDE"
                                        "b\0",
                                        4)),
            "\uFFFDb");
  EXPECT_EQ(utf16le_to_utf8(std::string("a\0b", 3)), "a\uFFFD");
}

TEST(Text, FromAUnicodeSessionAnOddLengthIsCodePage1251) {
  EXPECT_EQ(from_wire(std::string("\x1F\x04\x40\x04", 4), true), "Пр");
  EXPECT_EQ(from_wire("\xCF\xF0\xE8", true), "При");
  EXPECT_EQ(from_wire("\xCF\xF0", false), "Пр");
  EXPECT_EQ(to_wire("Пр", true), std::string("\x1F\x04\x40\x04", 4));
  EXPECT_EQ(to_wire("Пр", false), "\xCF\xF0");
}

TEST(Text, MalformedUtf8IsReadAsCodePage1251) {
  // Texts written when the stand-in kept 1251 still mean what they meant.
  EXPECT_EQ(clean_utf8("\xCF\xF0\xE8 \xD0\x9F"), "При П");
  EXPECT_EQ(utf8_to_cp1251("\xC1\xEE\xE1"), "\xC1\xEE\xE1");
  // Overlong forms and encoded surrogates are no UTF-8.
  EXPECT_EQ(clean_utf8("\xC0\xAF"), "АЇ");
  EXPECT_EQ(clean_utf8("\xED\xA0\x80"), "н\u00A0Ђ");
  EXPECT_EQ(first_characters("a🙂bc", 2), "a🙂");
}

TEST(Text, UnitsAreCountedAsUtf16HasThemAndAPairIsNeverCut) {
  EXPECT_EQ(first_utf16_units("aПb", 2), "aП");
  EXPECT_EQ(first_utf16_units("a🙂b", 3), "a🙂");
  EXPECT_EQ(first_utf16_units("a🙂b", 2), "a");
  EXPECT_EQ(first_utf16_units("ab", 5), "ab");
}

TEST(Text, WhatCodePage1251Has) {
  EXPECT_TRUE(fits_cp1251("Привет, Ёё № € ?"));
  EXPECT_TRUE(fits_cp1251("\xCF\xF0"));  // read as 1251, so it is 1251
  EXPECT_FALSE(fits_cp1251("héllo"));
  EXPECT_FALSE(fits_cp1251("🙂"));
}

}  // namespace
}  // namespace serversim
