// The Linux build's thread handles behave as Windows thread handles: signalled once the thread
// has terminated, and staying signalled; the worker threads' reaping and Unload rely on it.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/win32.h"

namespace {

std::atomic<bool> released{false};
std::atomic<bool> ended{false};

DWORD WINAPI wait_for_release(LPVOID) {
  while (!released.load()) Sleep(1);
  ended = true;
  return 0;
}

TEST(PlatformThreads, AHandleIsSignalledOnlyOnceItsThreadHasEnded) {
  released = false;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, wait_for_release, nullptr, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);

  released = true;
  // A zero time-out never blocks, so polling finds the thread gone within any generous bound.
  DWORD polled = WAIT_TIMEOUT;
  for (int i = 0; i < 10000 && polled == WAIT_TIMEOUT; ++i) {
    polled = WaitForSingleObject(thread, 0);
    if (polled == WAIT_TIMEOUT) Sleep(1);
  }
  EXPECT_EQ(polled, WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  EXPECT_EQ(CloseHandle(thread), 1);
}

TEST(PlatformThreads, ClosingTheHandleOfARunningThreadLetsItRunOn) {
  released = false;
  ended = false;
  HANDLE thread = CreateThread(nullptr, 0, wait_for_release, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(CloseHandle(thread), 1);
  released = true;
  for (int i = 0; i < 10000 && !ended.load(); ++i) Sleep(1);
  EXPECT_TRUE(ended.load());
}

}  // namespace
