// Texts of stored messages in each form (the stored text is UTF-8), base64 and the conversion
// out of code page 1251.
#include "serversim/stored.h"

#include <gtest/gtest.h>

namespace serversim {
namespace {

constexpr std::time_t kDec8th2026 = 1796738517;  // Tue, 08 Dec 2026 14:01:57 GMT

OfflineMessage message(OfflineForm form, std::string text) {
  OfflineMessage m;
  m.form = form;
  m.from = "kim@example.org";
  m.text = std::move(text);
  m.id = 7;
  return m;
}

TEST(Stored, Base64PadsAndWrapsLikeMail) {
  EXPECT_EQ(base64(""), "");
  EXPECT_EQ(base64("f"), "Zg==");
  EXPECT_EQ(base64("fo"), "Zm8=");
  EXPECT_EQ(base64("foo"), "Zm9v");
  EXPECT_EQ(base64(std::string("\xFF\x00\x80", 3)), "/wCA");
  std::string long_text(120, 'a');  // 160 characters of base64: two full lines and a short one
  std::string encoded = base64(long_text);
  EXPECT_EQ(encoded.find("\r\n"), 76u);
  EXPECT_EQ(encoded.find("\r\n", 78), 154u);
  EXPECT_EQ(encoded.size(), 160u + 4);
}

TEST(Stored, Cp1251BecomesUtf16OrUtf8) {
  EXPECT_EQ(from_cp1251("hi", "UTF-16LE"), std::string("h\0i\0", 4));
  // Cyrillic capital A (0xC0), the letter yo (0xB8) and the euro sign (0x88).
  EXPECT_EQ(from_cp1251("\xC0\xB8\x88", "UTF-16LE"), std::string("\x10\x04\x51\x04\xAC\x20", 6));
  EXPECT_EQ(from_cp1251("\xC0", "UTF-8"), "\xD0\x90");
  // 0x98 has no character in the code page.
  EXPECT_EQ(from_cp1251("a\x98"
                        "b",
                        "UTF-8"),
            "a?b");
}

TEST(Stored, PlainFormHasLfLinesAndABlankLine) {
  EXPECT_EQ(stored_message_text(message(OfflineForm::plain, "hi"), kDec8th2026),
            "From: kim@example.org\nDate: Tue, 08 Dec 2026 14:01:57 GMT\n\nhi");
}

TEST(Stored, BoundaryFormClosesTheBodyWithTheBoundary) {
  EXPECT_EQ(
      stored_message_text(message(OfflineForm::boundary, "hello"), kDec8th2026),
      "From: kim@example.org\nDate: Tue, 08 Dec 2026 14:01:57 GMT\nBoundary: SIM7BOUNDARY\nVersion: 1.0\n\n"
      "hello\n--SIM7BOUNDARY--\n");
}

TEST(Stored, ModernFormsCarryBase64OfUnicode) {
  OfflineMessage m = message(OfflineForm::modern, "while you were out");
  m.flags = 0x00100000;
  EXPECT_EQ(stored_message_text(m, kDec8th2026),
            "From: kim@example.org\r\nDate: Tue, 08 Dec 2026 14:01:57 GMT\r\nX-MRIM-Flags: 00100000\r\n"
            "Content-Type: text/plain; charset=UTF-16LE\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            "dwBoAGkAbABlACAAeQBvAHUAIAB3AGUAcgBlACAAbwB1AHQA");
  std::string utf8 = stored_message_text(message(OfflineForm::utf8, "А 🙂"), kDec8th2026);
  EXPECT_NE(utf8.find("charset=UTF-8\r\n"), std::string::npos);
  EXPECT_EQ(utf8.substr(utf8.find("\r\n\r\n") + 4), base64("А 🙂"));
  std::string utf16 = stored_message_text(message(OfflineForm::modern, "А 🙂"), kDec8th2026);
  EXPECT_EQ(utf16.substr(utf16.find("\r\n\r\n") + 4), base64(std::string("\x10\x04 \0\x3D\xD8\x42\xDE", 8)));
}

TEST(Stored, OldFormsCarryCodePage1251) {
  EXPECT_EQ(stored_message_text(message(OfflineForm::plain, "Привет 🙂"), kDec8th2026),
            "From: kim@example.org\nDate: Tue, 08 Dec 2026 14:01:57 GMT\n\n\xCF\xF0\xE8\xE2\xE5\xF2 ?");
  std::string boundary = stored_message_text(message(OfflineForm::boundary, "Ё"), kDec8th2026);
  EXPECT_NE(boundary.find("\n\n\xA8\n--SIM7BOUNDARY--\n"), std::string::npos);
}

TEST(Stored, RawFormIsTheTextItself) {
  EXPECT_EQ(stored_message_text(message(OfflineForm::raw, "anything\r\n"), kDec8th2026), "anything\r\n");
}

}  // namespace
}  // namespace serversim
