// The listener: cutting deliveries into packets (on records built here, byte for byte), and
// the thread itself against a local TCP server through the host stand-in's network library:
// dispatch, partial packets, garbage, over-long packets, lost connections and Unload.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "incoming/dispatcher.h"
#include "protocol/listener.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/send.h"
#include "protocol/tls_link.h"
#include "support/unit_host.h"

namespace {

using testsupport::Bytes;
using testsupport::join;
using testsupport::wire_bytes;

struct Taken {
  bool found = false;
  uint32_t msg = 0;
  Bytes bytes;
};

// The oldest queued packet with this number, if the dispatcher stored one (within timeout).
Taken take(uint32_t seq, uint32_t timeout_seconds = 0) {
  auto buffer = std::make_unique<MrimPacket>();
  Taken taken;
  taken.found = MRIM_receivepacket(buffer.get(), sizeof(MrimPacket), seq, timeout_seconds) == 0;
  if (taken.found) {
    taken.msg = buffer->msg;
    const auto* raw = reinterpret_cast<const uint8_t*>(buffer.get());
    taken.bytes.assign(raw, raw + MRIM_HEADER_SIZE + buffer->dlen);
  }
  return taken;
}

class Fixture : public testsupport::UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    protocol_state.connection = nullptr;
    listener_set_packet_handler(MRIM_HSP);  // as Load wires it
  }
};

// --- cutting, on records as the host fills them ------------------------------------------

class Cutting : public Fixture {
 protected:
  // A delivery of these bytes at the front of a 65,536-byte buffer, nothing consumed yet.
  void deliver(const Bytes& bytes) {
    memcpy(buffer_.data(), bytes.data(), bytes.size());
    record_ = NetlibPacketRecver{};
    record_.size = sizeof record_;
    record_.bytes_available = static_cast<int>(bytes.size());
    record_.buffer_size = static_cast<int>(buffer_.size());
    record_.buffer = buffer_.data();
  }
  // What the host does on the next call: drops the consumed bytes and appends new ones.
  void deliver_more(const Bytes& bytes) {
    Bytes left(buffer_.begin() + record_.bytes_used, buffer_.begin() + record_.bytes_available);
    deliver(join(left, bytes));
  }
  void cut() { listener_cut_packets(&record_, work_.get()); }

  std::vector<BYTE> buffer_ = std::vector<BYTE>(65536);
  NetlibPacketRecver record_{};
};

TEST_F(Cutting, TwoPacketsOfOneDeliveryAreDispatchedInOrder) {
  Bytes first = wire_bytes(0x2001, 7, Bytes{1, 2, 3, 4});
  Bytes second = wire_bytes(0x2002, 7);
  deliver(join(first, second));
  cut();
  EXPECT_EQ(record_.bytes_used, 48 + 44);
  EXPECT_EQ(take(7).bytes, first);
  EXPECT_EQ(take(7).bytes, second);
  EXPECT_NE(log_text().find("ListenThread: no available data\r\n"), std::string::npos);
}

TEST_F(Cutting, HalfAPacketStaysUnconsumedUntilTheNextDeliveryCompletesIt) {
  Bytes first = wire_bytes(0x2001, 1, Bytes(10, 0xAA));
  Bytes second = wire_bytes(0x2002, 2, Bytes(30, 0xBB));
  Bytes both = join(first, second);
  size_t cut_at = first.size() + 60;  // the header and part of the body
  deliver(Bytes(both.begin(), both.begin() + static_cast<long>(cut_at)));
  cut();
  EXPECT_EQ(record_.bytes_used, static_cast<int>(first.size()));
  EXPECT_EQ(pending_queue_length(), 1);
  EXPECT_NE(log_text().find("ListenThread: packet is not complete. waiting for more blocks.\r\n"),
            std::string::npos);

  deliver_more(Bytes(both.begin() + static_cast<long>(cut_at), both.end()));
  cut();
  EXPECT_EQ(record_.bytes_used, static_cast<int>(second.size()));
  EXPECT_EQ(take(1).bytes, first);
  EXPECT_EQ(take(2).bytes, second);
}

TEST_F(Cutting, FewerThanAHeaderDispatchesNothing) {
  Bytes whole = wire_bytes(0x2001, 1);
  deliver(Bytes(whole.begin(), whole.begin() + 43));
  cut();
  EXPECT_EQ(record_.bytes_used, 0);
  EXPECT_EQ(pending_queue_length(), 0);
  deliver_more(Bytes(whole.begin() + 43, whole.end()));
  cut();
  EXPECT_EQ(record_.bytes_used, 44);
  EXPECT_TRUE(take(1).found);
}

TEST_F(Cutting, AnEmptyBodyIsAWholePacket) {
  deliver(wire_bytes(0x2001, 4));
  cut();
  EXPECT_EQ(record_.bytes_used, 44);
  EXPECT_EQ(take(4).bytes, wire_bytes(0x2001, 4));
}

TEST_F(Cutting, BytesWithoutTheMagicDiscardTheRestOfTheDelivery) {
  Bytes good = wire_bytes(0x2001, 1);
  Bytes junk(60, 0x42);
  Bytes after = wire_bytes(0x2002, 2);  // in the same delivery: lost with the junk
  deliver(join(join(good, junk), after));
  cut();
  EXPECT_EQ(record_.bytes_used, record_.bytes_available);
  EXPECT_TRUE(take(1).found);
  EXPECT_FALSE(take(2).found);
  EXPECT_NE(log_text().find("ListenThread: packet error! no magic\r\n"), std::string::npos);

  deliver_more(wire_bytes(0x2003, 3));  // a delivery that starts with a packet is read again
  cut();
  EXPECT_TRUE(take(3).found);
}

TEST_F(Cutting, APacketLongerThanTheReceiverIsDiscardedLikeGarbage) {
  Bytes largest = wire_bytes(0x2001, 1, Bytes(MRIM_BODY_CAPACITY, 0x11));  // exactly 65,536 bytes
  deliver(largest);
  cut();
  EXPECT_EQ(record_.bytes_used, 65536);
  Taken taken = take(1);
  ASSERT_TRUE(taken.found);
  EXPECT_EQ(taken.bytes.size(), 65536u);

  Bytes header = wire_bytes(0x2002, 2);
  header[16] = 0xD5;  // dlen 65,493: one byte more than fits
  header[17] = 0xFF;
  deliver(join(header, Bytes(1000, 0x22)));
  cut();
  EXPECT_EQ(record_.bytes_used, record_.bytes_available);
  EXPECT_EQ(pending_queue_length(), 0);
  EXPECT_NE(log_text().find(
                "ListenThread: packet error! dlen(65493) too long for the receiver, data discarded\r\n"),
            std::string::npos);

  for (int i = 16; i < 20; ++i) header[i] = 0xFF;  // 44 + dlen would overflow 32 bits
  deliver(header);
  cut();
  EXPECT_EQ(record_.bytes_used, 44);
  EXPECT_EQ(pending_queue_length(), 0);
}

TEST_F(Cutting, FiguresOutOfRangeFromTheHostReadNothing) {
  deliver(wire_bytes(0x2001, 1));
  record_.bytes_used = 100;  // more than available
  cut();
  record_.bytes_used = -4;
  cut();
  record_.bytes_used = 0;
  record_.bytes_available = 70000;  // more than the buffer
  record_.buffer_size = 44;         // figures are taken as at most the buffer
  cut();
  EXPECT_EQ(pending_queue_length(), 1);  // only the last pass found the 44 bytes in range
  deliver(wire_bytes(0x2001, 1));
  record_.buffer = nullptr;
  cut();
  EXPECT_EQ(pending_queue_length(), 1);
}

// --- the thread, against a local server -----------------------------------------------------

class Listener : public Fixture {
 protected:
  void SetUp() override {
    Fixture::SetUp();
    // The listener alone: no reconnect thread after a lost connection.
    seed(0, kModule, "Reconnect", hostsim::Setting::byte(0));
    ASSERT_TRUE(link_.open(server_.port(), kModule));
    ASSERT_TRUE(server_.accept());
  }
  void TearDown() override {
    threads_stop_all(wake_for_unload);
    close_handle(link_.user);
    UnitHost::TearDown();
  }
  static void close_connection() {
    HANDLE receiver = protocol_state.packet_receiver.exchange(nullptr);
    if (receiver != nullptr) close_handle(receiver);
    HANDLE connection = protocol_state.connection.exchange(nullptr);
    if (connection != nullptr) close_handle(connection);
  }
  // What Unload does to let the threads see the stop request.
  static void wake_for_unload() {
    close_connection();
    pending_queue_wake_all();
    listener_wake();
  }
  void start_listener() { ASSERT_EQ(thread_start_long(ListenThread, work_.get()), 0); }
  // The connect sequence's part: the connection and receiver in place, online, then the wake.
  void go_online() {
    tls_link_prepare(link_.connection, "mrim.test", 0);
    protocol_state.connection = link_.connection;
    session_receiver_store(link_.receiver);
    protocol_state.status = ID_STATUS_ONLINE;
    listener_wake();
  }
  // The status acknowledgements that took the account offline.
  size_t offline_acks() {
    size_t count = 0;
    for (const hostsim::AckRecord& ack : host_.acks())
      if (ack.type == ACKTYPE_STATUS && ack.param == ID_STATUS_OFFLINE) ++count;
    return count;
  }

  testsupport::TcpPeer server_;
  testsupport::HostConnection link_;
};

TEST_F(Listener, AnIdleListenerStartsReceivingOnceAReceiverIsSet) {
  start_listener();
  ASSERT_TRUE(wait_for_log("ListenThread: started"));
  go_online();
  Bytes first = wire_bytes(0x2001, 3, Bytes{1, 2, 3, 4});
  Bytes second = wire_bytes(0x2002, 3);
  ASSERT_TRUE(server_.send(join(first, second)));
  EXPECT_EQ(take(3, 10).bytes, first);
  EXPECT_EQ(take(3, 10).bytes, second);
  std::string text = log_text();
  EXPECT_NE(text.find("ListenThread: CallService(MS_NETLIB_GETMOREPACKETS,,,) returned control\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("ListenThread: processing received data\r\n"), std::string::npos);
  EXPECT_NE(text.find("ListenThread: packet magic OK\r\n"), std::string::npos);
}

TEST_F(Listener, ARequestGetsItsReplyThroughTheQueue) {
  go_online();
  start_listener();
  auto request = std::make_unique<MrimPacket>();
  uint32_t seq = mrim_next_seq();
  mrim_packet_init(request.get(), MRIM_CS_PING, seq);
  ASSERT_EQ(MRIM_sendpacket(request.get()), 0);
  ASSERT_EQ(server_.receive(44), wire_bytes(MRIM_CS_PING, seq));
  ASSERT_TRUE(server_.send(wire_bytes(0x2006, seq, Bytes{5, 0, 0, 0})));
  auto reply = std::make_unique<MrimPacket>();
  ASSERT_EQ(MRIM_receivepacket(reply.get(), 48, seq, 10), 0);
  EXPECT_EQ(reply->msg, 0x2006u);
  EXPECT_EQ(reply->dlen, 4u);
}

TEST_F(Listener, APacketSplitAcrossDeliveriesIsDispatchedWhenComplete) {
  go_online();
  start_listener();
  Bytes first = wire_bytes(0x2001, 1, Bytes(8, 1));
  Bytes second = wire_bytes(0x2002, 2, Bytes(200, 2));
  Bytes both = join(first, second);
  size_t cut_at = first.size() + 60;
  ASSERT_TRUE(server_.send(Bytes(both.begin(), both.begin() + static_cast<long>(cut_at))));
  EXPECT_EQ(take(1, 10).bytes, first);
  ASSERT_TRUE(wait_for_log("ListenThread: packet is not complete. waiting for more blocks."));
  EXPECT_FALSE(take(2).found);
  ASSERT_TRUE(server_.send(Bytes(both.begin() + static_cast<long>(cut_at), both.end())));
  EXPECT_EQ(take(2, 10).bytes, second);
}

TEST_F(Listener, GarbageAndOverlongPacketsAreDroppedAndLaterPacketsStillArrive) {
  go_online();
  start_listener();
  ASSERT_TRUE(server_.send(Bytes(100, 0x42)));
  ASSERT_TRUE(wait_for_log("ListenThread: packet error! no magic"));
  ASSERT_TRUE(server_.send(wire_bytes(0x2001, 1)));
  EXPECT_TRUE(take(1, 10).found);

  // One byte over the limit: exactly its bytes are skipped, over many deliveries, and the
  // packet right behind it in the stream is handed over.
  Bytes overlong = wire_bytes(0x2002, 2, Bytes(MRIM_LARGEST_BODY + 1, 0x33));
  ASSERT_TRUE(server_.send(join(overlong, wire_bytes(0x2003, 3, Bytes{7, 0, 0, 0}))));
  Taken after = take(3, 10);
  ASSERT_TRUE(after.found);
  EXPECT_EQ(after.bytes, wire_bytes(0x2003, 3, Bytes{7, 0, 0, 0}));
  EXPECT_FALSE(take(2).found);
  EXPECT_TRUE(wait_for_log("ListenThread: the over-long packet has been skipped"));
  EXPECT_EQ(protocol_state.status, ID_STATUS_ONLINE);
}

// Packets over 64 KiB are handed over whole, up to the limit, and so is what follows them.
TEST_F(Listener, LargePacketsAreHandedOverWholeAndThePacketsAfterThemArrive) {
  go_online();
  start_listener();
  for (uint32_t body_size : {600000u, MRIM_LARGEST_BODY}) {
    Bytes body(body_size);
    for (uint32_t i = 0; i < body_size; ++i) body[i] = static_cast<uint8_t>(i * 7 + body_size);
    Bytes large = wire_bytes(0x2001, 1, body);
    pending_expect(1);  // as a request does: a reply this large is kept only when asked for
    pending_expect(2);
    ASSERT_TRUE(server_.send(join(large, wire_bytes(0x2002, 2))));
    std::vector<uint8_t> reply(large.size());
    ASSERT_EQ(MRIM_receivepacket(reinterpret_cast<MrimPacket*>(reply.data()),
                                 static_cast<uint32_t>(reply.size()), 1, 10),
              0);
    EXPECT_EQ(reply, large);
    EXPECT_TRUE(take(2, 10).found);
    pending_unexpect(1);
    pending_unexpect(2);
  }
}

TEST_F(Listener, AClosedConnectionTakesTheAccountOfflineAndEmptiesTheQueue) {
  go_online();
  start_listener();
  ASSERT_TRUE(server_.send(wire_bytes(0x2001, 1)));  // nobody takes it
  ASSERT_TRUE(eventually([] { return pending_queue_length() == 1; }));
  server_.close_client();
  ASSERT_TRUE(eventually([&] { return offline_acks() == 1; }));
  EXPECT_EQ(protocol_state.status, ID_STATUS_OFFLINE);
  EXPECT_EQ(protocol_state.connection, nullptr);
  ASSERT_TRUE(wait_for_log("ListenThread: CallService(MS_NETLIB_GETMOREPACKETS,,,) == 0"));
  EXPECT_TRUE(eventually([] { return pending_queue_length() == 0; }));
}

TEST_F(Listener, UnloadEndsTheListenerWithoutGoingOffline) {
  go_online();
  start_listener();
  ASSERT_TRUE(server_.send(wire_bytes(0x2001, 1)));
  ASSERT_TRUE(take(1, 10).found);  // it is inside GetMorePackets by now, or about to be
  threads_stop_all(wake_for_unload);
  EXPECT_NE(log_text().find("ListenThread: stopped\r\n"), std::string::npos);
  EXPECT_EQ(offline_acks(), 0u);
}

TEST_F(Listener, UnloadEndsAnIdleListener) {
  start_listener();
  ASSERT_TRUE(wait_for_log("ListenThread: started"));
  threads_stop_all(wake_for_unload);
  EXPECT_NE(log_text().find("ListenThread: stopped\r\n"), std::string::npos);
  EXPECT_EQ(offline_acks(), 0u);
}

}  // namespace
