// The server stand-in's packet codec: exact bytes on the wire, bounded reads, and cutting
// packets out of a byte stream.
#include "serversim/wire.h"

#include <gtest/gtest.h>

namespace serversim {
namespace {

TEST(Wire, HeaderAndItemsAreLittleEndianWithZeroedTail) {
  Bytes bytes = encode(Packet{code::hello_ack, 7, Writer().ul(0x80000001).lps("abc").take()});
  ASSERT_EQ(bytes.size(), 44u + 4 + 7);
  const Bytes header_start = {0xEF, 0xBE, 0xAD, 0xDE, 0x08, 0x00, 0x01, 0x00, 7, 0,
                              0,    0,    0x02, 0x10, 0,    0,    11,   0,    0, 0};
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 20), header_start);
  EXPECT_EQ(Bytes(bytes.begin() + 20, bytes.begin() + 44), Bytes(24, 0));
  const Bytes body = {0x01, 0, 0, 0x80, 3, 0, 0, 0, 'a', 'b', 'c'};
  EXPECT_EQ(Bytes(bytes.begin() + 44, bytes.end()), body);
}

TEST(Wire, EmptyTextIsFourZeroBytes) { EXPECT_EQ(Writer().lps("").bytes(), Bytes(4, 0)); }

TEST(Wire, ReaderRefusesItemsThatRunPastTheBody) {
  Bytes body = Writer().ul(5).lps("hello").take();
  {
    Reader r(body);
    EXPECT_EQ(r.ul(), 5u);
    EXPECT_EQ(r.lps(), "hello");
    EXPECT_TRUE(r.at_end());
    EXPECT_FALSE(r.ul().has_value());
    EXPECT_FALSE(r.lps().has_value());
  }
  {
    // The text's count promises one byte more than there is.
    Bytes cut(body.begin(), body.end() - 1);
    Reader r(cut);
    EXPECT_EQ(r.ul(), 5u);
    EXPECT_FALSE(r.lps().has_value());
    EXPECT_EQ(r.position(), 4u);  // a failed read does not move
  }
  {
    Bytes huge_count = Writer().ul(0xFFFFFFFF).take();
    Reader r(huge_count);
    EXPECT_FALSE(r.lps().has_value());
  }
  {
    Bytes three = {1, 2, 3};
    Reader r(three);
    EXPECT_FALSE(r.ul().has_value());
  }
}

TEST(Wire, CutFrameWaitsForWholePacketsAndTakesOneAtATime) {
  Bytes stream = encode(Packet{code::ping, 1, {}});
  Bytes second = encode(Packet{code::change_status, 2, Writer().ul(2).take()});
  stream.insert(stream.end(), second.begin(), second.end());

  for (size_t size = 0; size < 44; ++size) {
    EXPECT_EQ(cut_frame(stream.data(), size, 1024).kind, Frame::Kind::incomplete) << size;
  }
  Frame first = cut_frame(stream.data(), stream.size(), 1024);
  ASSERT_EQ(first.kind, Frame::Kind::packet);
  EXPECT_EQ(first.consumed, 44u);
  EXPECT_EQ(first.packet, (Packet{code::ping, 1, {}}));

  EXPECT_EQ(cut_frame(stream.data() + 44, second.size() - 1, 1024).kind, Frame::Kind::incomplete);
  Frame next = cut_frame(stream.data() + 44, second.size(), 1024);
  ASSERT_EQ(next.kind, Frame::Kind::packet);
  EXPECT_EQ(next.packet.code, code::change_status);
  EXPECT_EQ(next.packet.body, Writer().ul(2).take());
}

TEST(Wire, CutFrameRecognisesForeignBytesAndOversizedBodies) {
  const uint8_t junk[] = {0xEF, 0xBE, 0x00};
  EXPECT_EQ(cut_frame(junk, sizeof junk, 1024).kind, Frame::Kind::bad_magic);
  Bytes header = encode_header(code::message, 1, 1025);
  EXPECT_EQ(cut_frame(header.data(), header.size(), 1024).kind, Frame::Kind::too_long);
  header = encode_header(code::message, 1, 0xFFFFFFFF);
  EXPECT_EQ(cut_frame(header.data(), header.size(), 1024).kind, Frame::Kind::too_long);
}

}  // namespace
}  // namespace serversim
