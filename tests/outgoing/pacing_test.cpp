// The line packets wait in before they are written: requests one at a time in the order they
// came, the gap between writes unless the last was answered, typing notices to one contact merged while one
// waits, the listener's packets first, a new session starting afresh, and a message's time-out counted from
// its write. The gap is measured on the test's own clock, which moves only when a wait asks it to.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "contacts/messaging.h"
#include "protocol/receivers.h"
#include "protocol/send.h"
#include "support/unit_host.h"

namespace {

using testsupport::Packet;
using testsupport::Writer;
namespace code = serversim::code;

std::atomic<DWORD> tick{1000};
std::mutex waits_mutex;
std::condition_variable waits_changed;
std::vector<DWORD> waits;
bool hold_first_wait = false;  // the first wait blocks until release_wait()
bool first_wait_held = false;

DWORD test_tick() { return tick.load(); }

void test_wait(DWORD milliseconds) {
  std::unique_lock lock(waits_mutex);
  waits.push_back(milliseconds);
  if (hold_first_wait) {
    hold_first_wait = false;
    first_wait_held = true;
    waits_changed.notify_all();
    waits_changed.wait(lock, [] { return !first_wait_held; });
  }
  tick += milliseconds;
}

class Pacing : public testsupport::RequestHost {
 protected:
  void SetUp() override {
    RequestHost::SetUp();
    {
      std::lock_guard lock(waits_mutex);
      waits.clear();
      hold_first_wait = first_wait_held = false;
    }
    mrim_send_set_clock(test_tick, test_wait);
    // A session of its own: nothing written before, nothing awaiting an answer.
    session_receiver_store(kReceiver);
  }
  void TearDown() override {
    release_wait();
    session_receiver_take();
    RequestHost::TearDown();
  }

  static std::unique_ptr<MrimPacket> packet(uint32_t code, uint32_t seq) {
    auto p = std::make_unique<MrimPacket>();
    mrim_packet_init(p.get(), code, seq);
    mrim_append_ul(p.get(), seq);
    return p;
  }
  std::vector<uint32_t> sent_seqs() {
    std::vector<uint32_t> seqs;
    for (const Packet& p : sent()) seqs.push_back(p.seq);
    return seqs;
  }
  std::vector<DWORD> recorded_waits() {
    std::lock_guard lock(waits_mutex);
    return waits;
  }
  void hold_next_wait() {
    std::lock_guard lock(waits_mutex);
    hold_first_wait = true;
  }
  bool wait_is_held() {
    std::unique_lock lock(waits_mutex);
    return waits_changed.wait_for(lock, std::chrono::seconds(10), [] { return first_wait_held; });
  }
  void release_wait() {
    std::lock_guard lock(waits_mutex);
    first_wait_held = false;
    waits_changed.notify_all();
  }
  bool waiting(int count) {
    return eventually([&] { return mrim_send_waiting() == count; });
  }

  static inline const HANDLE kReceiver = reinterpret_cast<HANDLE>(uintptr_t{0x7002});
};

// A message's thread may reach the line after a later message's thread: the turn taken when
// the user sent it keeps it first all the same.
TEST_F(Pacing, ATurnTakenAheadKeepsItsPlaceAgainstALaterSender) {
  auto first = packet(code::message, 1), later = packet(code::message, 2);
  const uint64_t turn = mrim_send_reserve(1);
  uint64_t in_flight_later = 0;
  std::thread overtaker(
      [&] { EXPECT_EQ(mrim_send(later.get(), MRIM_SEND_REQUEST, &in_flight_later), MRIM_SEND_WRITTEN); });
  ASSERT_TRUE(waiting(1));
  EXPECT_TRUE(sent().empty()) << "the later one waits for the turn before it";
  mrim_send_use_turn(turn);
  uint64_t in_flight = 0;
  EXPECT_EQ(mrim_send(first.get(), MRIM_SEND_REQUEST, &in_flight), MRIM_SEND_WRITTEN);
  mrim_send_done(in_flight, true);
  overtaker.join();
  mrim_send_done(in_flight_later, true);
  EXPECT_EQ(sent_seqs(), (std::vector<uint32_t>{1, 2}));

  // A turn given back holds nobody.
  auto third = packet(code::message, 3);
  const uint64_t unused = mrim_send_reserve(2);
  mrim_send_release_turns(unused, 2);
  EXPECT_EQ(mrim_send(third.get(), MRIM_SEND_REQUEST), MRIM_SEND_WRITTEN);
}

TEST_F(Pacing, RequestsGoOneAtATimeInOrderWhileNoticesPassThem) {
  auto a = packet(code::message, 1), b = packet(code::message, 2), c = packet(code::message, 3);
  auto status = packet(code::change_status, 4), ping = packet(code::ping, 5);
  uint64_t in_flight_a = 0, in_flight_b = 0, in_flight_c = 0;
  ASSERT_EQ(mrim_send(a.get(), MRIM_SEND_REQUEST, &in_flight_a), MRIM_SEND_WRITTEN);
  ASSERT_NE(in_flight_a, 0u);

  std::thread tb([&] { EXPECT_EQ(mrim_send(b.get(), MRIM_SEND_REQUEST, &in_flight_b), MRIM_SEND_WRITTEN); });
  ASSERT_TRUE(waiting(1));
  std::thread tc([&] { EXPECT_EQ(mrim_send(c.get(), MRIM_SEND_REQUEST, &in_flight_c), MRIM_SEND_WRITTEN); });
  ASSERT_TRUE(waiting(2));
  std::thread ts([&] { EXPECT_EQ(mrim_send(status.get(), MRIM_SEND_ORDERED), MRIM_SEND_WRITTEN); });
  ASSERT_TRUE(waiting(3));
  // Nobody answers a keep-alive: it waits for the gap only.
  EXPECT_EQ(mrim_send(ping.get(), MRIM_SEND_NOTICE), MRIM_SEND_WRITTEN);
  EXPECT_EQ(sent_seqs(), (std::vector<uint32_t>{1, 5}));

  // The answer to the first: the status change goes before the queued requests, then the older
  // request, which awaits its answer in turn.
  mrim_send_done(in_flight_a, true);
  ts.join();
  tb.join();
  ASSERT_TRUE(waiting(1));
  EXPECT_EQ(sent_seqs(), (std::vector<uint32_t>{1, 5, 4, 2}));
  mrim_send_done(in_flight_b, true);
  tc.join();
  EXPECT_EQ(sent_seqs(), (std::vector<uint32_t>{1, 5, 4, 2, 3}));
  mrim_send_done(in_flight_c, true);
}

TEST_F(Pacing, EveryWriteComesTheGapAfterTheLastUnlessThatOneWasAnswered) {
  auto n1 = packet(code::ping, 1), n2 = packet(code::ping, 2), n3 = packet(code::ping, 3);
  auto n4 = packet(code::ping, 4), answered = packet(code::message, 5), unanswered = packet(code::message, 6);
  EXPECT_EQ(mrim_send(n1.get(), MRIM_SEND_NOTICE), MRIM_SEND_WRITTEN);
  EXPECT_EQ(mrim_send(n2.get(), MRIM_SEND_NOTICE), MRIM_SEND_WRITTEN);
  tick += 10;
  uint64_t in_flight = 0;
  EXPECT_EQ(mrim_send(answered.get(), MRIM_SEND_REQUEST, &in_flight), MRIM_SEND_WRITTEN);
  mrim_send_done(in_flight, true);
  EXPECT_EQ(mrim_send(n3.get(), MRIM_SEND_NOTICE), MRIM_SEND_WRITTEN);
  EXPECT_EQ(mrim_send(unanswered.get(), MRIM_SEND_REQUEST, &in_flight), MRIM_SEND_WRITTEN);
  mrim_send_done(in_flight, false);  // its time-out passed: nothing shows the server read it
  EXPECT_EQ(mrim_send(n4.get(), MRIM_SEND_NOTICE), MRIM_SEND_WRITTEN);
  EXPECT_EQ(recorded_waits(), (std::vector<DWORD>{30, 20, 30, 30}));
  EXPECT_EQ(sent_seqs(), (std::vector<uint32_t>{1, 2, 5, 3, 6, 4}));
}

// The listener's packet is written first of all that wait; a typing notice like one waiting is
// dropped, one to another contact is not.
TEST_F(Pacing, TypingToOneContactIsMergedWhileOneWaitsAndTheListenerGoesFirst) {
  auto first = packet(code::ping, 1), receipt = packet(code::message_recv, 2);
  ASSERT_EQ(mrim_send(first.get(), MRIM_SEND_NOTICE), MRIM_SEND_WRITTEN);
  hold_next_wait();
  std::thread typing([] { mrim_do_typing("amy@mail.example"); });
  ASSERT_TRUE(wait_is_held());
  std::atomic<bool> again_returned{false};
  std::thread again([&] {
    mrim_do_typing("amy@mail.example");
    again_returned = true;
  });
  EXPECT_TRUE(eventually([&] { return again_returned.load(); }));
  std::thread other([] { mrim_do_typing("bob@mail.example"); });
  ASSERT_TRUE(waiting(2));
  std::thread listener([&] { EXPECT_EQ(mrim_send(receipt.get(), MRIM_SEND_LISTENER), MRIM_SEND_WRITTEN); });
  listener.join();
  release_wait();
  for (std::thread* t : {&typing, &again, &other}) t->join();

  std::vector<Packet> packets = sent();
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[1].seq, 2u);
  EXPECT_EQ(testsupport::Reader(packets[2].body).ul(), 0x404u);
  auto address = [](const Packet& p) {
    testsupport::Reader reader(p.body);
    reader.ul();
    return reader.lps().value_or("");
  };
  EXPECT_EQ(address(packets[2]), "amy@mail.example");
  EXPECT_EQ(address(packets[3]), "bob@mail.example");
  EXPECT_TRUE(logged("mrim_do_typing: the same notice is already waiting"));
}

TEST_F(Pacing, AnEndedSessionsPacketsGiveUpAndTheNextSessionStartsAfresh) {
  auto a = packet(code::message, 1), b = packet(code::message, 2), c = packet(code::message, 3);
  uint64_t in_flight_a = 0;
  ASSERT_EQ(mrim_send(a.get(), MRIM_SEND_REQUEST, &in_flight_a), MRIM_SEND_WRITTEN);
  std::thread tb([&] { EXPECT_EQ(mrim_send(b.get(), MRIM_SEND_REQUEST), MRIM_SEND_ENDED); });
  ASSERT_TRUE(waiting(1));
  session_receiver_take();
  mrim_send_wake_all();
  tb.join();

  session_receiver_store(kReceiver);
  uint64_t in_flight_c = 0;
  EXPECT_EQ(mrim_send(c.get(), MRIM_SEND_REQUEST, &in_flight_c), MRIM_SEND_WRITTEN);
  EXPECT_TRUE(recorded_waits().empty()) << "no gap to keep on a new connection";
  EXPECT_EQ(sent_seqs(), (std::vector<uint32_t>{1, 3}));
  mrim_send_done(in_flight_a, true);  // the old session's token: the new one's answer is still awaited
  uint64_t in_flight_d = 0;
  std::thread td([&] { EXPECT_EQ(mrim_send(a.get(), MRIM_SEND_REQUEST, &in_flight_d), MRIM_SEND_WRITTEN); });
  ASSERT_TRUE(waiting(1));
  mrim_send_done(in_flight_c, true);
  td.join();
  mrim_send_done(in_flight_d, true);
}

// The first message gets no answer and holds the second back for its whole time-out; the
// second still waits its own time-out from its write, so the answer that comes right after
// that write is taken. Real time passes here: the reply wait counts it.
TEST_F(Pacing, AMessagesTimeOutCountsFromItsWriteNotFromJoiningTheLine) {
  session_receiver_take();  // a first message unanswered in a session would end it as dead
  set_timeout(2);
  std::atomic<int> first_outcome{-1}, second_outcome{-1};
  std::thread first([&] { first_outcome = mrim_do_sendmessage("amy@mail.example", "first"); });
  ASSERT_TRUE(eventually([&] { return sent().size() == 1; }));
  std::thread second([&] { second_outcome = mrim_do_sendmessage("amy@mail.example", "second"); });
  ASSERT_TRUE(waiting(1));
  ASSERT_TRUE(eventually([&] { return sent().size() == 2; }));
  queue(Packet{code::message_status, sent()[1].seq, Writer().ul(0).take()});
  first.join();
  second.join();
  EXPECT_EQ(first_outcome, MESSAGE_OUTCOME_UNCONFIRMED);
  EXPECT_EQ(second_outcome, MESSAGE_OUTCOME_DELIVERED);
}

}  // namespace
