// The plug-in's own threads and their stop signal. Every thread handle is kept until the
// thread has fully exited, so that no thread is still running the library's code when the
// host frees it after Unload.
#include "core/worker_threads.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

std::mutex mutex;
std::condition_variable changed;
bool stopping = false;
std::vector<HANDLE> running_threads;

// Closes the handles of request threads that have ended; called with the lock held.
void reap_finished_threads() {
  for (size_t i = 0; i < running_threads.size();) {
    if (WaitForSingleObject(running_threads[i], 0) == WAIT_OBJECT_0) {
      CloseHandle(running_threads[i]);
      running_threads[i] = running_threads.back();
      running_threads.pop_back();
    } else {
      ++i;
    }
  }
}

// No caller reads a thread's identifier, so none is asked for (every Windows the host runs on
// takes a null pointer there). Asking costs: CreateThread may store it only after the new
// thread has begun to run, so the creator may wait on the new thread, which in turn may be
// waiting on the lock held here; that wait once made going online several times slower.
int start(LPTHREAD_START_ROUTINE body, void* parameter) {
  std::lock_guard lock(mutex);
  reap_finished_threads();
  HANDLE handle = CreateThread(nullptr, 0, body, parameter, 0, nullptr);
  if (handle == nullptr) return 1;
  running_threads.push_back(handle);
  return 0;
}

}  // namespace

void threads_reset() {
  std::lock_guard lock(mutex);
  stopping = false;
}

int thread_start_long(LPTHREAD_START_ROUTINE body, void* block) { return start(body, block); }

int thread_start_short(LPTHREAD_START_ROUTINE body, void* parameter) { return start(body, parameter); }

bool stop_requested() {
  std::lock_guard lock(mutex);
  return stopping;
}

bool stop_sleep(DWORD milliseconds) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [] { return stopping; });
}

void threads_stop_all(void (*wake)(void)) {
  {
    std::lock_guard lock(mutex);
    stopping = true;
    changed.notify_all();
  }
  if (wake != nullptr) wake();
  for (;;) {
    std::vector<HANDLE> threads;
    {
      std::lock_guard lock(mutex);
      threads.swap(running_threads);
    }
    if (threads.empty()) break;
    for (HANDLE handle : threads) {
      WaitForSingleObject(handle, INFINITE);
      CloseHandle(handle);
    }
  }
}
