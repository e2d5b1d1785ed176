// The framer on bytes in memory: whole packets, partial ones, and the two ways a stream is
// out of step, without any host or socket.
#include "protocol/framer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/codec.h"

namespace {

std::vector<uint8_t> packet_bytes(uint32_t body_length, uint32_t code = MRIM_CS_PING) {
  std::vector<uint8_t> bytes(MRIM_HEADER_SIZE + body_length, 0x5A);
  MrimPacket header{};
  mrim_packet_init(&header, code, 7);
  header.dlen = body_length;
  memcpy(bytes.data(), &header, MRIM_HEADER_SIZE);
  return bytes;
}

TEST(Framer, AWholePacketIsReportedWithItsLengthAndNothingBeyond) {
  auto bytes = packet_bytes(12);
  auto second = packet_bytes(0);
  bytes.insert(bytes.end(), second.begin(), second.end());
  MrimFrame frame = mrim_frame_next(bytes.data(), bytes.size(), MRIM_PACKET_SIZE);
  EXPECT_EQ(frame.kind, MRIM_FRAME_PACKET);
  EXPECT_EQ(frame.length, MRIM_HEADER_SIZE + 12u);
  frame = mrim_frame_next(bytes.data() + frame.length, bytes.size() - frame.length, MRIM_PACKET_SIZE);
  EXPECT_EQ(frame.kind, MRIM_FRAME_PACKET);
  EXPECT_EQ(frame.length, MRIM_HEADER_SIZE);
}

TEST(Framer, PartOfAHeaderOrOfABodyNeedsMore) {
  auto bytes = packet_bytes(100);
  for (size_t available :
       {size_t{0}, size_t{1}, size_t{MRIM_HEADER_SIZE - 1}, size_t{MRIM_HEADER_SIZE}, bytes.size() - 1}) {
    MrimFrame frame = mrim_frame_next(bytes.data(), available, MRIM_PACKET_SIZE);
    EXPECT_EQ(frame.kind, MRIM_FRAME_NEED_MORE) << available;
    EXPECT_EQ(frame.length, 0u) << available;
  }
  EXPECT_EQ(mrim_frame_next(nullptr, 500, MRIM_PACKET_SIZE).kind, MRIM_FRAME_NEED_MORE);
}

TEST(Framer, BytesWithoutTheMagicAreSkippedWhole) {
  auto bytes = packet_bytes(8);
  bytes[0] ^= 0xFF;
  MrimFrame frame = mrim_frame_next(bytes.data(), bytes.size(), MRIM_PACKET_SIZE);
  EXPECT_EQ(frame.kind, MRIM_FRAME_SKIP);
  EXPECT_EQ(frame.reason, MRIM_SKIP_NO_MAGIC);
  EXPECT_EQ(frame.length, bytes.size());
}

// The declared length is reported whole, even beyond 32 bits of header plus body, while the
// skip itself never goes past what is there.
TEST(Framer, APacketLongerThanTheCallerCanHoldIsSkippedWithItsDeclaredLength) {
  auto bytes = packet_bytes(0);
  uint32_t dlen = 0xFFFFFFFF;
  memcpy(bytes.data() + offsetof(MrimPacket, dlen), &dlen, 4);
  MrimFrame frame = mrim_frame_next(bytes.data(), bytes.size(), MRIM_PACKET_SIZE);
  EXPECT_EQ(frame.kind, MRIM_FRAME_SKIP);
  EXPECT_EQ(frame.reason, MRIM_SKIP_TOO_LONG);
  EXPECT_EQ(frame.length, bytes.size());
  EXPECT_EQ(frame.dlen, dlen);
  EXPECT_EQ(frame.declared_length, MRIM_HEADER_SIZE + uint64_t{dlen});

  // The limit is the caller's: the same header fits a caller with room for it.
  auto big = packet_bytes(70000);
  EXPECT_EQ(mrim_frame_next(big.data(), big.size(), MRIM_PACKET_SIZE).kind, MRIM_FRAME_SKIP);
  EXPECT_EQ(mrim_frame_next(big.data(), big.size(), big.size()).kind, MRIM_FRAME_PACKET);
  EXPECT_EQ(mrim_frame_next(big.data(), big.size(), big.size() - 1).reason, MRIM_SKIP_TOO_LONG);
}

}  // namespace
