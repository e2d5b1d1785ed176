// The keep-alive thread on its own, with its sleep replaced by a recorder (no real waiting) and
// the unit host recording what goes out through "Netlib/Send": the pause pattern, the ping packet, the
// numbering while offline, a period that changes, the floor for a period of 0 and the stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "core/protocol_state.h"
#include "protocol/online.h"
#include "protocol/status.h"
#include "support/unit_host.h"

namespace {

// Touched by the watchdog thread while it runs and by the test only before and after.
std::vector<DWORD> sleeps;
size_t sleeps_before_stop = 0;
std::function<void(size_t)> on_sleep;  // called with the sleep's index before it "passes"

bool recording_sleep(DWORD milliseconds) {
  size_t index = sleeps.size();
  sleeps.push_back(milliseconds);
  if (on_sleep) on_sleep(index);
  return sleeps.size() >= sleeps_before_stop;
}

class WatchDog : public testsupport::UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    protocol_state.connection = nullptr;
    host_.record_calls(true);
    ping_period = MRIM_DEFAULT_PING_PERIOD;
    sleeps.clear();
    on_sleep = nullptr;
    watchdog_set_sleep(recording_sleep);
  }
  void TearDown() override {
    watchdog_set_sleep(nullptr);
    UnitHost::TearDown();
    ping_period = MRIM_DEFAULT_PING_PERIOD;
  }

  // Runs the thread body until it has asked for `count` sleeps; the last one reports the stop.
  void run(size_t count) {
    sleeps_before_stop = count;
    DWORD id = 0;
    std::thread thread([&] { WatchDogThread(&id); });
    thread.join();
  }
};

TEST_F(WatchDog, SleepsHalfAPeriodThenWholePeriods) {
  run(4);
  EXPECT_EQ(sleeps, (std::vector<DWORD>{15000, 30000, 30000, 30000}));
}

TEST_F(WatchDog, PingsOnlyWhileConnectedButNumbersEveryPing) {
  protocol_state.last_seq = 41;
  // Offline for the first ping, connected from the second on.
  on_sleep = [](size_t index) {
    if (index == 1) protocol_state.connection = kConnection;
  };
  run(4);  // three pings: after sleeps 0, 1 and 2
  std::vector<hostsim::ServiceCall> sent = calls_of(MS_NETLIB_SEND);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(protocol_state.last_seq, 44u);
  const BYTE expected_head[] = {0xEF, 0xBE, 0xAD, 0xDE, 0x08, 0x00, 0x01, 0x00};
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::vector<BYTE>& ping = sent[i].sent;
    EXPECT_EQ(reinterpret_cast<HANDLE>(sent[i].wparam), kConnection);
    ASSERT_EQ(ping.size(), 44u);
    EXPECT_EQ(memcmp(ping.data(), expected_head, sizeof expected_head), 0);
    uint32_t seq = 0;
    memcpy(&seq, ping.data() + 8, 4);
    EXPECT_EQ(seq, 43u + i);  // 42 went to the ping nobody received
    const BYTE code[] = {0x06, 0x10, 0x00, 0x00};
    EXPECT_EQ(memcmp(ping.data() + 12, code, 4), 0);
    EXPECT_TRUE(std::all_of(ping.begin() + 16, ping.end(), [](BYTE b) { return b == 0; }));
  }
}

TEST_F(WatchDog, NewPeriodTakesEffectAtTheNextSleep) {
  on_sleep = [](size_t index) {
    if (index == 1) ping_period = 60;  // the server's value arrives during a 30-second sleep
  };
  run(4);
  EXPECT_EQ(sleeps, (std::vector<DWORD>{15000, 30000, 60000, 60000}));
}

TEST_F(WatchDog, PeriodOfZeroPingsOnceASecond) {
  ping_period = 0;
  run(3);
  EXPECT_EQ(sleeps, (std::vector<DWORD>{500, 1000, 1000}));
  EXPECT_EQ(ping_period, 0u) << "the floor applies to the sleep, not to the stored period";
}

TEST_F(WatchDog, HugePeriodIsSleptInPiecesNeverInfinite) {
  ping_period = 0xFFFFFFFF;
  run(3);
  ASSERT_EQ(sleeps.size(), 3u);
  for (DWORD piece : sleeps) EXPECT_EQ(piece, 0x7FFFFFFFu);
  EXPECT_TRUE(calls_of(MS_NETLIB_SEND).empty());
}

TEST_F(WatchDog, EndsAtOnceWhenTheSleepReportsTheStop) {
  protocol_state.connection = kConnection;
  run(1);
  EXPECT_EQ(sleeps, (std::vector<DWORD>{15000}));
  EXPECT_TRUE(calls_of(MS_NETLIB_SEND).empty());
}

}  // namespace
