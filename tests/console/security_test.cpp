// What the console reads from each form of the plug-in's line on the session's encryption: the
// fingerprints it acts on (trust pins the refused one) and the system's word on the certificate.
// The end-to-end tests meet the forms the plug-in writes in their runs; this holds all of them.
#include "security.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

const std::string kNew = "3f2a91bc0d4e77a15b20c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f6c91b";
const std::string kOld = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(SecurityLine, EachFormOfThePlugInsLineIsReadForWhatTheConsoleActsOn) {
  struct Case {
    std::string line;
    bool encrypted;
    std::string certificate, pinned, replaced;
    std::optional<bool> system_trusted;
    std::string trusted_for;
    bool withdrawn;
  };
  const Case cases[] = {
      {"encrypted (TLS), certificate SHA-256 " + kNew + "; the system trusts it for mrim.example", true, kNew,
       "", "", true, "mrim.example", false},
      {"encrypted (TLS), certificate SHA-256 " + kNew + "; accepted by its pin", true, kNew, "", "", false,
       "", false},
      {"encrypted (TLS), certificate SHA-256 " + kNew + "; pinned on first use", true, kNew, "", "", false,
       "", false},
      {"encrypted (TLS), certificate SHA-256 " + kNew +
           "; the system trusts it for mrim.example; it replaces " + "the pinned " + kOld,
       true, kNew, "", kOld, true, "mrim.example", false},
      {"encrypted (TLS), certificate SHA-256 " + kNew, true, kNew, "", "", std::nullopt, "", false},
      {"not encrypted", false, "", "", "", std::nullopt, "", false},
      // A failed log-in's reason is the line without its "not connected: ".
      {"the server's certificate is not trusted (SHA-256 " + kNew + "; the pinned one is " + kOld + ")",
       false, kNew, kOld, "", false, "", false},
      {"not connected: the server's certificate is not trusted (the TLS handshake failed)", false, "", "", "",
       std::nullopt, "", false},
      {"not connected: the server no longer offers encryption, which it offered before (clear the pinned "
       "certificate to accept that)",
       false, "", "", "", std::nullopt, "", true},
  };
  for (const Case& c : cases) {
    console::SecurityLine read = console::read_security_line(c.line);
    EXPECT_EQ(read.encrypted, c.encrypted) << c.line;
    EXPECT_EQ(read.certificate, c.certificate) << c.line;
    EXPECT_EQ(read.pinned, c.pinned) << c.line;
    EXPECT_EQ(read.replaced, c.replaced) << c.line;
    EXPECT_EQ(read.system_trusted, c.system_trusted) << c.line;
    EXPECT_EQ(read.trusted_for, c.trusted_for) << c.line;
    EXPECT_EQ(read.encryption_withdrawn, c.withdrawn) << c.line;
  }
}

}  // namespace
