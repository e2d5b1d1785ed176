// The reply queue and MRIM_receivepacket: the 51-node cap, the 10,000 ms lifetime on an
// injected clock, matching, the number of scans, replies longer than the waiter's buffer,
// wake-ups by appends and by Unload, and many waiters against one appender.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/host_services.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "incoming/dispatcher.h"
#include "incoming/events.h"
#include "protocol/receive.h"
#include "support/unit_host.h"

namespace {

using testsupport::Bytes;
using testsupport::count_of;
using testsupport::wire_bytes;

std::atomic<DWORD> fake_tick{0};
DWORD fake_clock() { return fake_tick.load(); }

// Queues the packet exactly as the dispatcher does: from a buffer as long as the packet.
void queue_exact(uint32_t msg, uint32_t seq, const Bytes& body = {}) {
  Bytes bytes = wire_bytes(msg, seq, body);
  pending_queue_add(reinterpret_cast<const MrimPacket*>(bytes.data()));
}

struct Reply {
  int result = 1;
  std::unique_ptr<MrimPacket> packet = std::make_unique<MrimPacket>();
};

Reply receive(uint32_t seq, uint32_t timeout_seconds = 0) {
  Reply reply;
  reply.result = MRIM_receivepacket(reply.packet.get(), sizeof(MrimPacket), seq, timeout_seconds);
  return reply;
}

class Queue : public testsupport::UnitHost {
 protected:
  void TearDown() override {
    pending_queue_set_clock(nullptr);
    UnitHost::TearDown();
  }
};

TEST_F(Queue, MoreThanFiftyDropsTheOldestBeforeTheAppend) {
  for (uint32_t seq = 1; seq <= 51; ++seq) queue_exact(0x2000, seq);
  EXPECT_EQ(pending_queue_length(), 51);
  queue_exact(0x2000, 52);
  EXPECT_EQ(pending_queue_length(), 51);
  EXPECT_EQ(receive(1).result, 1);
  EXPECT_EQ(receive(2).result, 0);
  EXPECT_EQ(receive(52).result, 0);
  EXPECT_EQ(pending_queue_length(), 49);
}

// A server cannot pin memory with packets nobody waits for: they are kept within a fixed budget
// and their lifetime, while a reply a request announced is kept whatever its size.
TEST_F(Queue, WhatNobodyAskedForIsKeptWithinItsBudgetAndLifetime) {
  const Bytes huge(3584 * 1024, 0x41);  // 3.5 MiB of a code the plug-in does not know
  for (uint32_t seq = 1; seq <= 3; ++seq) queue_exact(0x2FFF, seq, huge);
  EXPECT_EQ(pending_queue_length(), 0);

  pending_expect(500);
  queue_exact(0x2000, 500, Bytes(600 * 1024));
  const Bytes third_of_budget(PENDING_UNASKED_BYTES / 3 - MRIM_HEADER_SIZE);
  for (uint32_t seq = 1; seq <= 4; ++seq) queue_exact(0x2000, seq, third_of_budget);
  EXPECT_EQ(pending_queue_length(), 4) << "the oldest unasked one made room";
  std::vector<uint8_t> large(1024 * 1024);
  auto* reply = reinterpret_cast<MrimPacket*>(large.data());
  EXPECT_EQ(MRIM_receivepacket(reply, static_cast<uint32_t>(large.size()), 1, 0), 1);
  EXPECT_EQ(MRIM_receivepacket(reply, static_cast<uint32_t>(large.size()), 500, 0), 0);
  EXPECT_EQ(reply->dlen, 600u * 1024);
  pending_unexpect(500);

  pending_queue_set_clock(fake_clock);
  fake_tick = 1000;
  queue_exact(0x2000, 7);
  fake_tick = 1000 + PENDING_LIFETIME_MS + 1;
  queue_exact(0x2000, 8);  // the append itself drops what outlived its lifetime
  EXPECT_EQ(receive(7).result, 1);
  EXPECT_EQ(receive(8).result, 0);
}

TEST_F(Queue, TheDispatchersHandOverLogsAndStoresTheWholePacket) {
  Bytes bytes = wire_bytes(0x1002, 0x1234, Bytes{1, 2, 3, 4, 5});
  MRIM_HSP(reinterpret_cast<const MrimPacket*>(bytes.data()), work_.get());
  Reply reply = receive(0x1234);
  ASSERT_EQ(reply.result, 0);
  EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(reply.packet.get()),
                  reinterpret_cast<uint8_t*>(reply.packet.get()) + 49),
            bytes);
  std::string text = log_text();
  EXPECT_NE(text.find("MRIM_HSP: started.\r\n"), std::string::npos);
  EXPECT_NE(
      text.find("MRIM_HSP: unhandled packet id(00001002) seq(00001234) in MRIM_HSP. storing to queue\r\n"),
      std::string::npos);
  EXPECT_NE(text.find("MRIM_HSP: malloc() ok\r\n"), std::string::npos);
  EXPECT_NE(text.find("MRIM_HSP: ended.\r\n"), std::string::npos);
}

TEST_F(Queue, LifetimeIsTenThousandMillisecondsOnTheTickDifference) {
  pending_queue_set_clock(fake_clock);
  fake_tick = 1000;
  queue_exact(0x2000, 1);
  queue_exact(0x2000, 2);
  fake_tick = 11000;  // exactly 10,000 ms old: alive
  EXPECT_EQ(receive(99).result, 1);
  EXPECT_EQ(pending_queue_length(), 2);
  fake_tick = 11001;  // a scan walking past drops both
  EXPECT_EQ(receive(99).result, 1);
  EXPECT_EQ(pending_queue_length(), 0);
  EXPECT_EQ(count_of(log_text(), "MRIM_receivepacket: found packet with expired lifetime\r\n"), 2);

  fake_tick = 0xFFFFFF00;  // the tick count wraps between arrival and scan
  queue_exact(0x2000, 3);
  fake_tick = 0x00000100;
  EXPECT_EQ(receive(99).result, 1);
  EXPECT_EQ(pending_queue_length(), 1);
}

TEST_F(Queue, AWaiterTakesItsOwnPacketHoweverOldAndTheOldestMatchFirst) {
  pending_queue_set_clock(fake_clock);
  fake_tick = 0;
  queue_exact(0x2000, 5, Bytes{1, 0, 0, 0});
  queue_exact(0x2001, 5, Bytes{2, 0, 0, 0});
  fake_tick = 50000;
  Reply first = receive(5);
  ASSERT_EQ(first.result, 0);
  EXPECT_EQ(first.packet->msg, 0x2000u);
  Reply second = receive(5);
  ASSERT_EQ(second.result, 0);
  EXPECT_EQ(second.packet->msg, 0x2001u);
  EXPECT_EQ(receive(5).result, 1);
  std::string text = log_text();
  EXPECT_NE(text.find("MRIM_receivepacket: found packet with seq(5)\r\n"), std::string::npos);
  EXPECT_NE(text.find("MRIM_receivepacket: returned ok\r\n"), std::string::npos);
}

TEST_F(Queue, AWaitForSeveralNumbersTakesTheOldestPacketOfAny) {
  queue_exact(0x2000, 4);
  queue_exact(0x1002, 0);
  queue_exact(0x1002, 12);
  const uint32_t answers[] = {12, 0};
  Reply reply;
  ASSERT_EQ(MRIM_receivepacket_any(reply.packet.get(), 48, answers, 2, 0), 0);
  EXPECT_EQ(reply.packet->seq, 0u);
  ASSERT_EQ(MRIM_receivepacket_any(reply.packet.get(), 48, answers, 2, 0), 0);
  EXPECT_EQ(reply.packet->seq, 12u);
  EXPECT_EQ(MRIM_receivepacket_any(reply.packet.get(), 48, answers, 2, 0), 1);
  EXPECT_EQ(pending_queue_length(), 1);
  EXPECT_NE(log_text().find("MRIM_receivepacket: found packet with seq(0)\r\n"), std::string::npos);
}

TEST_F(Queue, ExpiredPacketsBeforeTheMatchGoAndThoseAfterItStay) {
  pending_queue_set_clock(fake_clock);
  fake_tick = 0;
  queue_exact(0x2000, 1);  // someone else's, will be expired
  queue_exact(0x2000, 2);  // ours
  queue_exact(0x2000, 3);  // someone else's, expired but behind ours
  fake_tick = 20000;
  EXPECT_EQ(receive(2).result, 0);
  EXPECT_EQ(pending_queue_length(), 1);
  fake_tick = 20000;
  EXPECT_EQ(receive(3).result, 0);  // still there, and still taken by its own waiter
}

TEST_F(Queue, AWaitScansTenTimesASecondPlusOnce) {
  EXPECT_EQ(receive(7, 0).result, 1);
  std::string text = log_text();
  EXPECT_EQ(count_of(text, "MRIM_receivepacket: processing incoming queue\r\n"), 1);
  EXPECT_EQ(count_of(text, "MRIM_receivepacket: ended with error\r\n"), 1);

  EXPECT_EQ(receive(7, 1).result, 1);
  text = log_text();
  EXPECT_EQ(count_of(text, "MRIM_receivepacket: started\r\n"), 2);
  EXPECT_EQ(count_of(text, "MRIM_receivepacket: processing incoming queue\r\n"), 1 + 11);
  EXPECT_EQ(count_of(text, "MRIM_receivepacket: processing incoming queue complete\r\n"), 1 + 11);
}

TEST_F(Queue, AReplyLongerThanTheBufferIsCutWithItsLength) {
  serversim::Writer body;
  for (uint32_t i = 0; i < 25; ++i) body.ul(i);  // 100 bytes
  queue_exact(0x2000, 8, body.bytes());
  std::vector<uint8_t> buffer(64, 0xEE);
  auto* destination = reinterpret_cast<MrimPacket*>(buffer.data());
  ASSERT_EQ(MRIM_receivepacket(destination, 48, 8, 0), 0);
  EXPECT_EQ(destination->dlen, 4u);
  EXPECT_EQ(destination->msg, 0x2000u);
  for (size_t i = 48; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
  uint32_t position = 0;
  uint32_t value = 99;
  EXPECT_EQ(mrim_read_ul(&position, destination, &value), 0);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(mrim_read_ul(&position, destination, &value), 1);
  EXPECT_EQ(pending_queue_length(), 0);

  queue_exact(0x2000, 9);  // a buffer too small for even the header takes nothing
  EXPECT_EQ(MRIM_receivepacket(destination, 40, 9, 0), 1);
  EXPECT_EQ(buffer[0], 0xEF);  // still the earlier reply
  EXPECT_EQ(pending_queue_length(), 1);
}

TEST_F(Queue, AnAppendFromAnotherThreadWakesTheWaiter) {
  std::atomic<bool> waiting{false};
  Reply reply;
  auto started = std::chrono::steady_clock::now();
  std::thread waiter([&] {
    waiting = true;
    reply.result = MRIM_receivepacket(reply.packet.get(), sizeof(MrimPacket), 21, 30);
  });
  ASSERT_TRUE(eventually([&] { return waiting.load(); }));
  queue_exact(0x2000, 20);  // someone else's reply first: the waiter rescans and waits on
  queue_exact(0x2000, 21, Bytes{9, 9, 9, 9});
  waiter.join();
  EXPECT_EQ(reply.result, 0);
  EXPECT_EQ(reply.packet->dlen, 4u);
  EXPECT_EQ(pending_queue_length(), 1);
  // Far below the 30 s it would wait for a reply that does not come.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

TEST_F(Queue, UnloadEndsAWaitAtOnce) {
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    Reply reply;
    result = MRIM_receivepacket(reply.packet.get(), sizeof(MrimPacket), 1, 60);
  });
  ASSERT_TRUE(eventually([&] {
    return count_of(log_text(), "MRIM_receivepacket: processing incoming queue complete\r\n") > 0;
  }));
  auto started = std::chrono::steady_clock::now();
  threads_stop_all(pending_queue_wake_all);
  waiter.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST_F(Queue, ManyWaitersAndOneAppenderEachGetTheirOwnReplies) {
  constexpr int kWaiters = 4;
  constexpr int kEach = 40;
  std::atomic<int> wrong{0};
  std::atomic<int> missing{0};
  std::vector<std::thread> waiters;
  // Takes the foreign packets in the order they come, so that they do not fill the queue.
  waiters.emplace_back([&] {
    for (int i = 0; i < kEach; ++i) {
      for (int w = kWaiters - 1; w >= 0; --w) {
        Reply reply;
        if (MRIM_receivepacket(reply.packet.get(), 44, 5000 + 1000 + static_cast<uint32_t>(w * kEach + i),
                               30) != 0)
          ++missing;
      }
    }
  });
  for (int w = 0; w < kWaiters; ++w) {
    waiters.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        uint32_t seq = 1000 + static_cast<uint32_t>(w * kEach + i);
        Reply reply;
        if (MRIM_receivepacket(reply.packet.get(), 52, seq, 30) != 0) {
          ++missing;
          continue;
        }
        uint32_t position = 0;
        uint32_t value = 0;
        if (reply.packet->seq != seq || mrim_read_ul(&position, reply.packet.get(), &value) != 0 ||
            value != seq * 3)
          ++wrong;
      }
    });
  }
  // Replies in an order that makes every waiter skip others' packets, with foreign packets
  // in between; never so far ahead that the cap would drop a reply nobody has taken yet.
  for (int i = 0; i < kEach; ++i) {
    for (int w = kWaiters - 1; w >= 0; --w) {
      uint32_t seq = 1000 + static_cast<uint32_t>(w * kEach + i);
      ASSERT_TRUE(eventually([] { return pending_queue_length() < 30; }));
      queue_exact(0x2000, seq, serversim::Writer().ul(seq * 3).ul(0).take());
      queue_exact(0x3000, 5000 + seq);
    }
  }
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(missing.load(), 0);
}

TEST_F(Queue, TimeoutIsTheAccountSettingWithTenByDefault) {
  EXPECT_EQ(get_timeout(), 10u);
  write_setting_dword(nullptr, kModule, "Timeout", 25);
  EXPECT_EQ(get_timeout(), 25u);
}

TEST_F(Queue, UnixTimeFollowsTheSystemClock) {
  auto before = testsupport::unix_seconds_now();
  uint32_t now = unix_time_now();
  auto after = testsupport::unix_seconds_now();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

}  // namespace
