// The pure parts of going online: the two status mappings, the reading of the address
// service's reply, the split of "host:port" and the reconnect back-off.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "protocol/online.h"
#include "protocol/reconnect.h"

namespace {

TEST(StatusMapping, HostCodesToMrimValues) {
  EXPECT_EQ(mrim_status_from_host(ID_STATUS_ONLINE), 1u);
  EXPECT_EQ(mrim_status_from_host(ID_STATUS_AWAY), 2u);
  EXPECT_EQ(mrim_status_from_host(ID_STATUS_INVISIBLE), 0x80000001u);
  // Everything else, not available and offline included, announces offline.
  for (int code : {ID_STATUS_OFFLINE, ID_STATUS_NA, 40074, 40076, 40077, 40079, 0, -1})
    EXPECT_EQ(mrim_status_from_host(code), 0u) << code;
}

TEST(StatusMapping, MrimValuesToHostCodes) {
  EXPECT_EQ(host_status_from_mrim(1), ID_STATUS_ONLINE);
  EXPECT_EQ(host_status_from_mrim(2), ID_STATUS_AWAY);
  EXPECT_EQ(host_status_from_mrim(0x80000000u), ID_STATUS_ONLINE);
  EXPECT_EQ(host_status_from_mrim(0x80000001u), ID_STATUS_INVISIBLE);
  EXPECT_EQ(host_status_from_mrim(4), ID_STATUS_ONLINE);  // the user's own status, with its title
  for (uint32_t value : {0u, 3u, 5u, 0x7FFFFFFFu, 0x80000002u, 0x80000003u, 0xFFFFFFFFu})
    EXPECT_EQ(host_status_from_mrim(value), ID_STATUS_OFFLINE) << std::hex << value;
}

TEST(StatusMapping, EverySettableStatusSurvivesTheRoundTrip) {
  for (int code : {ID_STATUS_ONLINE, ID_STATUS_AWAY, ID_STATUS_INVISIBLE})
    EXPECT_EQ(host_status_from_mrim(mrim_status_from_host(code)), code);
}

// The reply of the address service as the connect sequence reads it: what lands in the
// server address, or the fallback marker when the reply is refused.
std::string parse(const char* reply) {
  char out[MRIM_SERVER_ADDRESS_SIZE];
  strcpy(out, "fallback");
  if (mrim_parse_address_reply(reply, out, sizeof out) != 0) {
    EXPECT_STREQ(out, "fallback") << "a refused reply must leave the address alone";
    return "(fallback)";
  }
  return out;
}

TEST(AddressReply, AcceptsAnyPortEndedByALineEnd) {
  EXPECT_EQ(parse("mrim.example:443\r\n"), "mrim.example:443");
  EXPECT_EQ(parse("198.51.100.3:443"), "198.51.100.3:443");
  EXPECT_EQ(parse("mrim.example:2041\n"), "mrim.example:2041");
  EXPECT_EQ(parse("mrim.example:4430"), "mrim.example:4430");
  EXPECT_EQ(parse("mrim.example:1\r\n"), "mrim.example:1");
  EXPECT_EQ(parse("mrim.example:65535"), "mrim.example:65535");
}

TEST(AddressReply, FallsBackOnAnythingElse) {
  for (const char* reply :
       {"mrim.example:B:443", "mrim.example:", "mrim.example:0\r\n", "mrim.example:65536",
        "mrim.example:99999999999999999999", "mrim.example:443 and more", "mrim.example", "", ":443\r\n"})
    EXPECT_EQ(parse(reply), "(fallback)") << reply;
}

TEST(AddressReply, NeverWritesPastTheAddressBuffer) {
  // The receiver holds 100 bytes, so a real reply always fits; a small buffer refuses.
  char small[8];
  strcpy(small, "keep");
  EXPECT_EQ(mrim_parse_address_reply("mrim.example:443", small, sizeof small), 1);
  EXPECT_STREQ(small, "keep");
  char exact[9];
  EXPECT_EQ(mrim_parse_address_reply("abcd:443\r\n", exact, sizeof exact), 0);
  EXPECT_STREQ(exact, "abcd:443");
}

TEST(ServerAddress, SplitsAtTheFirstColon) {
  char host[MRIM_SERVER_ADDRESS_SIZE];
  WORD port = 1;
  mrim_split_server_address("mrim.example:443", host, sizeof host, &port);
  EXPECT_STREQ(host, "mrim.example");
  EXPECT_EQ(port, 443);
  mrim_split_server_address(MRIM_FALLBACK_SERVER_ADDRESS, host, sizeof host, &port);
  EXPECT_STREQ(host, MRIM_FALLBACK_SERVER_HOST);
  EXPECT_EQ(port, 443);
}

TEST(ServerAddress, MissingOrUnusablePortIsZero) {
  char host[MRIM_SERVER_ADDRESS_SIZE];
  WORD port = 1;
  mrim_split_server_address("mrim.example", host, sizeof host, &port);
  EXPECT_STREQ(host, "mrim.example");
  EXPECT_EQ(port, 0);
  port = 1;
  mrim_split_server_address("mrim.example:", host, sizeof host, &port);
  EXPECT_EQ(port, 0);
  port = 1;
  mrim_split_server_address("mrim.example:x443", host, sizeof host, &port);
  EXPECT_EQ(port, 0);
  port = 1;
  mrim_split_server_address("mrim.example:99999999999", host, sizeof host, &port);
  EXPECT_EQ(port, 0);
  mrim_split_server_address("mrim.example:2041x", host, sizeof host, &port);
  EXPECT_EQ(port, 2041);
}

TEST(ServerAddress, CutsALongHostToItsBuffer) {
  char host[5];
  WORD port = 0;
  mrim_split_server_address("abcdefgh:443", host, sizeof host, &port);
  EXPECT_STREQ(host, "abcd");
  EXPECT_EQ(port, 443);
}

}  // namespace

TEST(ReconnectDelay, DoublesFromOneSecondToFiveMinutesWithinTwentyPercent) {
  const uint32_t lowest = 0, middle = 200, highest = 400;  // the jitter's range, as the delay reads it
  DWORD expected = 1000;
  for (unsigned step = 0; step < 12; ++step) {
    EXPECT_EQ(reconnect_delay_ms(step, middle), expected) << step;
    EXPECT_EQ(reconnect_delay_ms(step, lowest), expected - expected / 5) << step;
    EXPECT_EQ(reconnect_delay_ms(step, highest), expected + expected / 5) << step;
    expected = std::min<DWORD>(expected * 2, MRIM_RECONNECT_LONGEST_MS);
  }
  EXPECT_EQ(reconnect_delay_ms(1000, middle), MRIM_RECONNECT_LONGEST_MS) << "no overflow far out";
  for (uint32_t random : {0u, 1u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    DWORD delay = reconnect_delay_ms(0, random);
    EXPECT_GE(delay, 800u);
    EXPECT_LE(delay, 1200u);
  }
}
