// The console's command line: which protocol revision the plug-in is to speak, which host
// version the console plays, and where contacts' pictures come from.
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host_api.h"

namespace {

using console::Options;
using console::Parsed;

Parsed parse(std::vector<std::string> args, Options& options) {
  args.insert(args.begin(), "mrim-console");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  return console::parse_options(static_cast<int>(argv.size()), argv.data(), options);
}

TEST(Options, ByDefaultAModernHostAndTheProfilesRevision) {
  Options options;
  ASSERT_EQ(parse({}, options), Parsed::run);
  EXPECT_GE(options.host_version, HOST_VERSION_UTF8);
  EXPECT_FALSE(options.protocol_revision.has_value());
}

TEST(Options, TheProtocolIsOneOfThreeRevisions) {
  struct Case {
    const char* text;
    uint32_t minor;
  };
  for (Case c : {Case{"1.8", 8}, Case{"1.19", 19}, Case{"1.20", 20}}) {
    Options options;
    ASSERT_EQ(parse({"--protocol", c.text}, options), Parsed::run) << c.text;
    EXPECT_EQ(options.protocol_revision, c.minor) << c.text;
  }
  Options other;
  for (const char* wrong : {"1.9", "1.16", "1.2", "1.200", "20", "18", ""})
    EXPECT_EQ(parse({"--protocol", wrong}, other), Parsed::bad_option) << wrong;
}

TEST(Options, AHostVersionIsWrittenAsPeopleOrAsTheHostWriteIt) {
  struct Case {
    const char* text;
    uint32_t version;
  };
  for (Case c : {Case{"0.6", 0x00060000}, Case{"0.7", 0x00070000}, Case{"0.8.1", 0x00080100},
                 Case{"1.2.3", 0x01020300}, Case{"0x00060000", 0x00060000}, Case{"0X80000", 0x00080000}}) {
    uint32_t version = 0;
    EXPECT_TRUE(console::parse_host_version(c.text, version)) << c.text;
    EXPECT_EQ(version, c.version) << c.text;
  }
  uint32_t untouched = 7;
  for (const char* wrong :
       {"", "8", "0.256", "0.8.", ".8", "0.8.0.0.1", "0x", "0x123456789", "0,8", "latest"})
    EXPECT_FALSE(console::parse_host_version(wrong, untouched)) << wrong;
  EXPECT_EQ(untouched, 7u);
  EXPECT_EQ(console::host_version_text(0x00080000), "0.8");
  EXPECT_EQ(console::host_version_text(0x01020300), "1.2.3");

  Options old, wrong;
  ASSERT_EQ(parse({"--host-version", "0.6"}, old), Parsed::run);
  EXPECT_EQ(old.host_version, 0x00060000u);
  EXPECT_EQ(parse({"--host-version", "six"}, wrong), Parsed::bad_option);
}

TEST(Options, ThePictureServiceIsAnAddressOrOff) {
  Options off, named, none, wrong;
  ASSERT_EQ(parse({"--avatar-server", "off"}, off), Parsed::run);
  EXPECT_EQ(off.avatar_server, "off");
  ASSERT_EQ(parse({"--avatar-server", "127.0.0.1:8081"}, named), Parsed::run);
  EXPECT_EQ(named.avatar_server, "127.0.0.1:8081");
  ASSERT_EQ(parse({}, none), Parsed::run);
  EXPECT_FALSE(none.avatar_server.has_value());
  for (const char* bad : {"pictures.example", "127.0.0.1:0", "on", ""})
    EXPECT_EQ(parse({"--avatar-server", bad}, wrong), Parsed::bad_option) << bad;
}

}  // namespace
