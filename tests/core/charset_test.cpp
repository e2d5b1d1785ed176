// The text conversions and base64, checked against the system's iconv as an independent
// reference, with malformed input of every kind and outputs too small for the text.
#include "core/charset.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "core/host_text.h"
#include "core/protocol_state.h"
#include "incoming/base64.h"
#include "serversim/stored.h"

namespace {

const uint8_t* units(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

std::string decode_base64(std::string text) {
  size_t length = base64_decode_in_place(text.data(), text.size());
  return text.substr(0, length);
}
std::string from_utf16(const std::string& text, size_t out_size = 4096) {
  std::string out(out_size, 'X');
  size_t length = cp1251_from_utf16le(units(text), text.size(), out.data(), out.size());
  EXPECT_EQ(out[length], '\0');
  return out.substr(0, length);
}
std::string from_utf8(const std::string& text, size_t out_size = 4096) {
  std::string out(out_size, 'X');
  size_t length = cp1251_from_utf8(text.data(), text.size(), out.data(), out.size());
  EXPECT_EQ(out[length], '\0');
  return out.substr(0, length);
}
std::string utf8_of_utf16(const std::string& text, size_t out_size = 4096) {
  std::string out(out_size, 'X');
  size_t length = utf8_from_utf16le(units(text), text.size(), out.data(), out.size());
  EXPECT_EQ(out[length], '\0');
  return out.substr(0, length);
}
std::string utf16_of_utf8(const std::string& text, size_t out_size = 4096) {
  std::string out(out_size, 'X');
  size_t length =
      utf16le_from_utf8(text.data(), text.size(), reinterpret_cast<uint8_t*>(out.data()), out.size());
  return out.substr(0, length);
}
std::string utf8_of_cp1251(const std::string& text, size_t out_size = 4096) {
  std::string out(out_size, 'X');
  size_t length = utf8_from_cp1251(text.data(), text.size(), out.data(), out.size());
  EXPECT_EQ(out[length], '\0');
  return out.substr(0, length);
}

// Every byte of code page 1251 that has a character, as iconv converts it.
std::string iconv_convert(const std::string& text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(text.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* to_ptr = out.data();
  size_t out_left = out.size();
  EXPECT_NE(iconv(cd, &in, &in_left, &to_ptr, &out_left), static_cast<size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

std::string all_mapped_bytes() {
  std::string bytes;
  for (int b = 1; b < 256; ++b)
    if (b != 0x98) bytes += static_cast<char>(b);
  return bytes;
}

TEST(Base64, DecodesWithAndWithoutPaddingAndAcrossLines) {
  EXPECT_EQ(decode_base64("aGVsbG8="), "hello");
  EXPECT_EQ(decode_base64("aGVsbG8"), "hello");
  EXPECT_EQ(decode_base64("aGVs\r\nbG8h"), "hello!");
  EXPECT_EQ(decode_base64(""), "");
  EXPECT_EQ(decode_base64("YQ=="), "a");
  EXPECT_EQ(decode_base64("Y"), "");  // six bits make no byte
  EXPECT_EQ(decode_base64("YQ==garbage"), "a");
  EXPECT_EQ(decode_base64("Y Q\t=\n="), "a");
  EXPECT_EQ(decode_base64("*/+/"), decode_base64("/+/"));
}

TEST(Base64, RoundTripsEveryByteWithTheServersEncoder) {
  std::string bytes;
  for (int i = 0; i < 3 * 256 + 1; ++i) bytes += static_cast<char>(i * 7);
  EXPECT_EQ(decode_base64(serversim::base64(bytes)), bytes);
}

TEST(CodePage1251, EveryCharacterOfTheCodePageComesBackToItsByte) {
  std::string bytes = all_mapped_bytes();
  std::string utf8 = iconv_convert(bytes, "UTF-8", "CP1251");
  std::string utf16 = iconv_convert(bytes, "UTF-16LE", "CP1251");
  EXPECT_EQ(from_utf16(utf16), bytes);
  EXPECT_EQ(from_utf8(utf8), bytes);
  EXPECT_EQ(utf8_of_cp1251(bytes), utf8);
  std::string out(2 * bytes.size(), '\0');
  out.resize(
      utf16le_from_cp1251(bytes.data(), bytes.size(), reinterpret_cast<uint8_t*>(out.data()), out.size()));
  EXPECT_EQ(out, utf16);
}

TEST(Unicode, EveryScriptAndEmojiSurviveUtf8ToUtf16AndBack) {
  const std::string text = "Привет 🙂 héllo ✓ שלום 你好";
  std::string utf16 = utf16_of_utf8(text);
  EXPECT_EQ(utf16, iconv_convert(text, "UTF-16LE", "UTF-8"));
  EXPECT_EQ(utf8_of_utf16(utf16), text);
  EXPECT_EQ(from_utf16(utf16), "\xCF\xF0\xE8\xE2\xE5\xF2 ? h?llo ? ???? ??");
  EXPECT_TRUE(is_utf8(text.data(), text.size()));
  EXPECT_FALSE(is_utf8("a\xC3", 2));
  // Bad UTF-8 going out becomes U+FFFD, one per stray byte; a lone surrogate coming in too.
  EXPECT_EQ(utf8_of_utf16(utf16_of_utf8("a\x80z")), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf8_of_utf16(std::string("\x00\xDE"
                                      "a\0",
                                      4)),
            "\xEF\xBF\xBD"
            "a");
}

TEST(Unicode, ASmallOutputKeepsWholeCharactersOnly) {
  // "é🙂" is 2 + 4 bytes of UTF-8: six bytes of room (five and the NUL) keep only "é".
  std::string utf16 = utf16_of_utf8("é🙂");
  EXPECT_EQ(utf8_of_utf16(utf16, 6), "é");
  EXPECT_EQ(utf8_of_utf16(utf16, 7), "é🙂");
  EXPECT_EQ(utf16_of_utf8("é🙂", 5).size(), 2u);  // the pair does not fit beside é
  EXPECT_EQ(utf8_of_cp1251("\xCF\xF0", 4), "П");
  EXPECT_EQ(from_utf8("abc", 2), "a");
  char none = 'X';
  EXPECT_EQ(utf8_from_cp1251("a", 1, &none, 0), 0u);
  EXPECT_EQ(none, 'X');
}

TEST(HostText, FollowsTheHostsVersion) {
  const std::string text = "Привет 🙂";
  std::string utf16 = utf16_of_utf8(text);
  char out[64];
  host_version = HOST_VERSION_UTF8;
  host_text_from(utf16.data(), utf16.size(), TextForm::utf16le, out, sizeof out);
  EXPECT_EQ(std::string(out), text);
  uint8_t wire[64];
  size_t length = host_text_to(text.data(), text.size(), TextForm::cp1251, wire,
                               host_text_to_room(text.size(), TextForm::cp1251));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(wire), length), "\xCF\xF0\xE8\xE2\xE5\xF2 ?");
  host_version = 0x00030400;
  host_text_from(utf16.data(), utf16.size(), TextForm::utf16le, out, sizeof out);
  EXPECT_EQ(std::string(out), "\xCF\xF0\xE8\xE2\xE5\xF2 ?");
  length = host_text_to("\xCF\xF0", 2, TextForm::utf16le, wire, sizeof wire);
  EXPECT_EQ(utf8_of_utf16(std::string(reinterpret_cast<char*>(wire), length)), "Пр");
  host_version = 0;
}

TEST(CodePage1251, CharactersWithoutAPlaceBecomeQuestionMarks) {
  EXPECT_EQ(cp1251_from_unicode(0x4E2D), '?');
  EXPECT_EQ(cp1251_from_unicode(0x00E9), '?');  // é is not in the Cyrillic code page
  EXPECT_EQ(cp1251_from_unicode(0x0098), '?');
  EXPECT_EQ(cp1251_from_unicode(0x0041), 'A');
  EXPECT_EQ(cp1251_from_unicode(0x0451), '\xB8');
  EXPECT_EQ(cp1251_from_unicode(0x20AC), '\x88');
}

TEST(Utf16, SurrogatesOddBytesAndByteOrderMarkInTheCodePage) {
  EXPECT_EQ(from_utf16(std::string("\xFF\xFE"
                                   "a\0",
                                   4)),
            "a");
  EXPECT_EQ(from_utf16(std::string("a\0\x3D\xD8\x00\xDE"
                                   "b\0",
                                   8)),
            "a?b");  // a pair: one "?"
  EXPECT_EQ(from_utf16(std::string("\x00\xDE"
                                   "a\0",
                                   4)),
            "?a");  // lone low half
  EXPECT_EQ(from_utf16(std::string("\x3D\xD8"
                                   "a\0",
                                   4)),
            "?a");                                         // lone high half
  EXPECT_EQ(from_utf16(std::string("\x3D\xD8", 2)), "?");  // high half at the end
  EXPECT_EQ(from_utf16(std::string("a\0b", 3)), "a");      // odd byte dropped
  EXPECT_EQ(from_utf16(""), "");
}

TEST(Utf8, MalformedSequencesBecomeOneQuestionMarkEach) {
  EXPECT_EQ(from_utf8("\xEF\xBB\xBFok"), "ok");
  EXPECT_EQ(from_utf8("a\x80"
                      "b"),
            "a?b");                                 // stray continuation byte
  EXPECT_EQ(from_utf8("a\xC3"), "a?");              // cut at the end
  EXPECT_EQ(from_utf8("\xC3(x"), "?(x");            // lead without its continuation
  EXPECT_EQ(from_utf8("\xC0\xAF"), "??");           // overlong lead, then a stray byte
  EXPECT_EQ(from_utf8("\xE0\x80\xAF"), "?");        // overlong three-byte form
  EXPECT_EQ(from_utf8("\xED\xA0\x80"), "?");        // encoded surrogate
  EXPECT_EQ(from_utf8("\xF4\x90\x80\x80"), "?");    // beyond U+10FFFF
  EXPECT_EQ(from_utf8("\xF0\x9F\x98\x80!"), "?!");  // a real emoji has no place either
  EXPECT_EQ(from_utf8("\xFF\xFE"), "??");
}

}  // namespace
