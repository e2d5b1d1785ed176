// The packet codec: wire bytes of headers and items, reads that stop at the packet's end,
// appends that stop at the buffer's end, sequence numbers, and sending through the host.
#include "protocol/codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "core/protocol_state.h"
#include "protocol/send.h"
#include "protocol/tls_link.h"
#include "support/unit_host.h"

namespace {

using testsupport::Bytes;
using testsupport::join;
using testsupport::wire_bytes;

Bytes wire(const MrimPacket& packet) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&packet);
  return Bytes(bytes, bytes + MRIM_HEADER_SIZE + packet.dlen);
}

Bytes body(const MrimPacket& packet) { return Bytes(packet.body, packet.body + packet.dlen); }

// Packet buffers are 64 KiB: on the heap, as their owners keep them.
std::unique_ptr<MrimPacket> new_packet(uint32_t msg = MRIM_CS_PING, uint32_t seq = 0) {
  auto packet = std::make_unique<MrimPacket>();
  memset(packet.get(), 0xCC, sizeof(MrimPacket));
  mrim_packet_init(packet.get(), msg, seq);
  return packet;
}

class Codec : public ::testing::Test {
 protected:
  void SetUp() override { protocol_state_reset(); }
};

TEST_F(Codec, ItemsHaveTheirWireBytes) {
  auto packet = new_packet();
  EXPECT_EQ(mrim_append_lps(packet.get(), ""), 0);
  EXPECT_EQ(body(*packet), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(mrim_append_lps(packet.get(), "abc"), 0);
  EXPECT_EQ(mrim_append_ul(packet.get(), 0x80000001), 0);
  EXPECT_EQ(body(*packet), (Bytes{0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 1, 0, 0, 0x80}));
  EXPECT_EQ(packet->dlen, 15u);
}

TEST_F(Codec, PingIsExactlyTheFortyFourHeaderBytes) {
  auto packet = new_packet(MRIM_CS_PING, mrim_next_seq());
  Bytes expected{0xEF, 0xBE, 0xAD, 0xDE, 0x08, 0x00, 0x01, 0x00,
                 0x01, 0x00, 0x00, 0x00, 0x06, 0x10, 0x00, 0x00};
  expected.resize(44, 0);
  EXPECT_EQ(wire(*packet), expected);
}

TEST_F(Codec, InitRewritesEveryHeaderFieldOfAnEarlierReply) {
  auto packet = new_packet();
  Bytes reply = wire_bytes(0x1004, 77, Bytes(8, 0xAB));
  std::fill(reply.begin() + 20, reply.begin() + 44, 0x5A);  // from, fromport, reserved
  memcpy(packet.get(), reply.data(), reply.size());
  mrim_packet_init(packet.get(), MRIM_CS_HELLO, 9);
  Bytes expected = wire_bytes(MRIM_CS_HELLO, 9);
  EXPECT_EQ(wire(*packet), expected);
}

TEST_F(Codec, SequenceNumbersStartAtOneContinueAndWrap) {
  EXPECT_EQ(mrim_next_seq(), 1u);
  EXPECT_EQ(mrim_next_seq(), 2u);
  protocol_state.last_seq = 0xFFFFFFFE;
  EXPECT_EQ(mrim_next_seq(), 0xFFFFFFFFu);
  EXPECT_EQ(mrim_next_seq(), 0u);
  EXPECT_EQ(mrim_next_seq(), 1u);
}

TEST_F(Codec, ConcurrentCallersNeverShareASequenceNumber) {
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::vector<uint32_t>> taken(kThreads);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kEach; ++i) taken[t].push_back(mrim_next_seq());
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  std::set<uint32_t> all;
  for (const auto& numbers : taken) all.insert(numbers.begin(), numbers.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(*all.begin(), 1u);
  EXPECT_EQ(*all.rbegin(), static_cast<uint32_t>(kThreads * kEach));
  EXPECT_EQ(protocol_state.last_seq.load(), static_cast<uint32_t>(kThreads * kEach));
}

TEST_F(Codec, ReadsWalkTheItemsAndStopAtTheEnd) {
  auto packet = new_packet();
  mrim_append_ul(packet.get(), 7);
  mrim_append_lps(packet.get(), "");
  mrim_append_lps(packet.get(), "hello");
  mrim_append_ul(packet.get(), 0xFFFFFFFF);
  uint32_t position = 0;
  uint32_t value = 0;
  char text[32] = "unchanged";
  ASSERT_EQ(mrim_read_ul(&position, packet.get(), &value), 0);
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(mrim_read_lps(&position, packet.get(), text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(position, 8u);
  ASSERT_EQ(mrim_read_lps(&position, packet.get(), text, sizeof text), 0);
  EXPECT_STREQ(text, "hello");
  EXPECT_EQ(position, packet->dlen - 4);
  ASSERT_EQ(mrim_read_ul(&position, packet.get(), &value), 0);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  EXPECT_EQ(position, packet->dlen);

  value = 1234;
  strcpy(text, "unchanged");
  EXPECT_EQ(mrim_read_ul(&position, packet.get(), &value), 1);
  EXPECT_EQ(mrim_read_lps(&position, packet.get(), text, sizeof text), 1);
  EXPECT_EQ(position, packet->dlen);
  EXPECT_EQ(value, 1234u);
  EXPECT_STREQ(text, "unchanged");
  position = packet->dlen + 100;
  EXPECT_EQ(mrim_read_ul(&position, packet.get(), &value), 1);
}

TEST_F(Codec, ItemsRunningPastTheBodyAreMissingAndConsumeNothing) {
  auto packet = new_packet();
  mrim_append_ul(packet.get(), 5);           // an LPS count of 5 ...
  mrim_append_ul(packet.get(), 0x64636261);  // ... with only 4 text bytes ("abcd")
  uint32_t position = 0;
  char text[16] = "unchanged";
  EXPECT_EQ(mrim_read_lps(&position, packet.get(), text, sizeof text), 1);
  EXPECT_EQ(position, 0u);
  EXPECT_STREQ(text, "unchanged");

  packet->dlen = 6;  // a UL, then half of one
  uint32_t value = 99;
  ASSERT_EQ(mrim_read_ul(&position, packet.get(), &value), 0);
  EXPECT_EQ(mrim_read_ul(&position, packet.get(), &value), 1);
  EXPECT_EQ(mrim_read_lps(&position, packet.get(), text, sizeof text), 1);
  EXPECT_EQ(position, 4u);
  EXPECT_EQ(value, 5u);

  // A count so large that position + 4 + count would wrap round.
  auto huge = new_packet();
  mrim_append_ul(huge.get(), 0xFFFFFFFE);
  mrim_append_ul(huge.get(), 0);
  position = 0;
  EXPECT_EQ(mrim_read_lps(&position, huge.get(), text, sizeof text), 1);
  EXPECT_EQ(position, 0u);
}

TEST_F(Codec, LongTextIsCutToTheCallersBufferButWhollyConsumed) {
  auto packet = new_packet();
  mrim_append_lps(packet.get(), "abcdefghij");
  mrim_append_ul(packet.get(), 42);
  uint32_t position = 0;
  char text[8];
  memset(text, 'X', sizeof text);
  char guard[8];
  memset(guard, 'G', sizeof guard);
  ASSERT_EQ(mrim_read_lps(&position, packet.get(), text, 4), 0);
  EXPECT_STREQ(text, "abc");
  EXPECT_EQ(text[4], 'X');
  EXPECT_EQ(position, 14u);
  uint32_t value = 0;
  ASSERT_EQ(mrim_read_ul(&position, packet.get(), &value), 0);
  EXPECT_EQ(value, 42u);

  position = 0;  // a size of 0 skips the item without writing
  ASSERT_EQ(mrim_read_lps(&position, packet.get(), nullptr, 0), 0);
  EXPECT_EQ(position, 14u);
  EXPECT_EQ(std::count(guard, guard + 8, 'G'), 8);
}

TEST_F(Codec, AppendsNeverPassTheBuffer) {
  auto packet = new_packet();
  packet->dlen = MRIM_BODY_CAPACITY - 3;
  EXPECT_EQ(mrim_append_ul(packet.get(), 1), 1);
  EXPECT_EQ(mrim_append_lps(packet.get(), ""), 1);
  EXPECT_EQ(packet->dlen, MRIM_BODY_CAPACITY - 3);

  packet->dlen = MRIM_BODY_CAPACITY - 4;
  EXPECT_EQ(mrim_append_ul(packet.get(), 1), 0);
  EXPECT_EQ(packet->dlen, MRIM_BODY_CAPACITY);

  packet->dlen = MRIM_BODY_CAPACITY - 7;
  EXPECT_EQ(mrim_append_lps(packet.get(), "abcd"), 1);
  EXPECT_EQ(packet->dlen, MRIM_BODY_CAPACITY - 7);
  EXPECT_EQ(packet->body[MRIM_BODY_CAPACITY - 7], 0xCC);  // nothing written
  EXPECT_EQ(mrim_append_lps(packet.get(), "abc"), 0);
  EXPECT_EQ(packet->dlen, MRIM_BODY_CAPACITY);

  // A buffer still holding a damaged reply: its dlen lies beyond the body.
  packet->dlen = 0xFFFFFFFC;
  EXPECT_EQ(mrim_append_ul(packet.get(), 1), 1);
  EXPECT_EQ(packet->dlen, 0xFFFFFFFCu);
}

// Received packets may be longer than a packet buffer: reads go by dlen, up to the largest
// packet the listener takes and never beyond it.
TEST_F(Codec, ReadsReachPastSixtyFourKiBUpToTheLargestPacket) {
  std::vector<uint8_t> bytes(MRIM_LARGEST_PACKET + 64, 0);
  auto* packet = reinterpret_cast<MrimPacket*>(bytes.data());
  mrim_packet_init(packet, MRIM_CS_CONTACT_LIST2, 0);
  const uint32_t far = MRIM_BODY_CAPACITY + 1000;
  const uint32_t text_length = 3;
  memcpy(bytes.data() + MRIM_HEADER_SIZE + far, &text_length, 4);
  memcpy(bytes.data() + MRIM_HEADER_SIZE + far + 4, "abc", 3);
  packet->dlen = far + 7;
  uint32_t position = far;
  char text[8];
  ASSERT_EQ(mrim_read_lps(&position, packet, text, sizeof text), 0);
  EXPECT_STREQ(text, "abc");

  packet->dlen = 0xFFFFFFFC;  // a damaged dlen: the reads stop at the largest packet
  position = MRIM_LARGEST_BODY - 4;
  uint32_t value = 0;
  EXPECT_EQ(mrim_read_ul(&position, packet, &value), 0);
  EXPECT_EQ(mrim_read_ul(&position, packet, &value), 1);
}

// Sending through the host: to the unit host's pretend connection, and over TCP through the host
// stand-in's network library.
class CodecSend : public testsupport::UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    host_.record_calls(true);
  }
};

TEST_F(CodecSend, WithoutConnectionNothingIsSentAndTheResultIsZero) {
  protocol_state.connection = nullptr;
  auto packet = new_packet(MRIM_CS_PING, mrim_next_seq());
  EXPECT_EQ(MRIM_sendpacket(packet.get()), 0);
  EXPECT_TRUE(calls_of(MS_NETLIB_SEND).empty());
  EXPECT_EQ(protocol_state.last_seq.load(), 1u);  // the number is spent all the same
}

TEST_F(CodecSend, HeaderAndBodyGoOutInOneCallExactlyAsBuilt) {
  auto packet = new_packet(MRIM_CS_CHANGE_STATUS, mrim_next_seq());
  mrim_append_ul(packet.get(), 1);
  EXPECT_EQ(MRIM_sendpacket(packet.get()), 0);
  auto sends = calls_of(MS_NETLIB_SEND);
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_EQ(sends[0].sent.size(), 48u);
  EXPECT_EQ(sends[0].sent, wire(*packet));
}

TEST_F(CodecSend, BytesArriveAtTheServerAndAFailedSendIsReported) {
  testsupport::TcpPeer server;
  testsupport::HostConnection link;
  ASSERT_TRUE(link.open(server.port(), kModule));
  ASSERT_TRUE(server.accept());
  tls_link_prepare(link.connection, "mrim.test", 0);
  protocol_state.connection = link.connection;

  auto packet = new_packet(MRIM_CS_PING, mrim_next_seq());
  ASSERT_EQ(MRIM_sendpacket(packet.get()), 0);
  auto second = new_packet(MRIM_CS_LOGIN2, mrim_next_seq());
  mrim_append_lps(second.get(), "kim@example.org");
  ASSERT_EQ(MRIM_sendpacket(second.get()), 0);
  Bytes expected = join(wire(*packet), wire(*second));
  EXPECT_EQ(server.receive(expected.size()), expected);

  close_handle(link.connection);
  EXPECT_EQ(MRIM_sendpacket(packet.get()), 1);
  close_handle(link.user);
}

}  // namespace
