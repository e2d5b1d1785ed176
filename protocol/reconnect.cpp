// The reconnect back-off and its waiting thread (see reconnect.h).
#include "protocol/reconnect.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "core/log.h"
#include "core/worker_threads.h"

namespace {

struct ReconnectJob {
  DWORD delay_ms;
  void (*due)(uint32_t);
  uint32_t ticket;
};

std::mutex wait_mutex;
std::condition_variable wait_changed;
// Moves on at every cancel, so a waiter tells a cancel from a spurious wake-up.
uint64_t cancel_count = 0;
std::atomic<bool (*)(DWORD)> wait_hook{nullptr};

// True when the wait was cut short.
bool wait_out(DWORD milliseconds) {
  if (bool (*hook)(DWORD) = wait_hook.load()) return hook(milliseconds);
  std::unique_lock lock(wait_mutex);
  uint64_t seen = cancel_count;
  // Unload's stop is looked at every 100 ms as well: whoever stops the threads need not know
  // about this wait.
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
    auto slice = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    if (wait_changed.wait_until(lock, slice, [&] { return cancel_count != seen || stop_requested(); }))
      return true;
  }
  return false;
}

DWORD WINAPI MRIM_ReconnectThread(LPVOID parameter) {
  auto* job = static_cast<ReconnectJob*>(parameter);
  mrim_log("MRIM_ReconnectThread: next try in %lu ms\n", static_cast<unsigned long>(job->delay_ms));
  if (!wait_out(job->delay_ms) && !stop_requested()) job->due(job->ticket);
  free(job);
  return 0;
}

}  // namespace

DWORD reconnect_delay_ms(unsigned step, uint32_t random) {
  uint64_t delay = MRIM_RECONNECT_FIRST_MS;
  for (unsigned i = 0; i < step && delay < MRIM_RECONNECT_LONGEST_MS; ++i) delay *= 2;
  if (delay > MRIM_RECONNECT_LONGEST_MS) delay = MRIM_RECONNECT_LONGEST_MS;
  // random spread over [-20%, +20%] of the delay, in thousandths.
  int64_t permille = static_cast<int64_t>(random % 401) - 200;
  return static_cast<DWORD>(static_cast<int64_t>(delay) + static_cast<int64_t>(delay) * permille / 1000);
}

int reconnect_start(DWORD delay_ms, void (*due)(uint32_t), uint32_t ticket) {
  auto* job = static_cast<ReconnectJob*>(malloc(sizeof(ReconnectJob)));
  if (job == nullptr) return 1;
  *job = ReconnectJob{delay_ms, due, ticket};
  if (thread_start_short(MRIM_ReconnectThread, job) != 0) {
    free(job);
    return 1;
  }
  return 0;
}

void reconnect_cancel_all() {
  std::lock_guard lock(wait_mutex);
  ++cancel_count;
  wait_changed.notify_all();
}

void reconnect_set_wait(bool (*wait)(DWORD)) { wait_hook = wait; }
