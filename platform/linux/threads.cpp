// Threads and waiting: CreateThread, WaitForSingleObject, CloseHandle and Sleep over std::thread
// (CloseHandle also closes the file handles of platform/linux/files.cpp).
// A thread handle is a heap record shared by the creator and the thread; the last of the two
// to let go frees it.
//
// Windows may store the new thread's identifier after the thread has begun to run. This
// version does so on purpose, and late: once the thread has run to its end or for a little
// while, so a caller that asks for the identifier inside a record the thread frees writes into
// freed memory here too, where the sanitizers see it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/handles.h"

namespace {

// How long CreateThread lets a new thread run before it stores the identifier, unless the
// thread ends sooner.
constexpr auto kIdentifierDelay = std::chrono::milliseconds(2);

struct ThreadRecord {
  std::mutex mutex;
  std::condition_variable finished_signal;
  bool finished = false;
  std::thread thread;
};

struct ThreadHandle {
  std::shared_ptr<ThreadRecord> record;
};

std::atomic<DWORD> next_thread_id{1};

}  // namespace

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                               DWORD, LPDWORD thread_id) {
  auto record = std::make_shared<ThreadRecord>();
  DWORD id = next_thread_id.fetch_add(1);
  {
    // The thread may not look at the record before the handle owns its std::thread.
    std::unique_lock lock(record->mutex);
    record->thread = std::thread([record, start, parameter] {
      start(parameter);
      std::lock_guard lock(record->mutex);
      record->finished = true;
      record->finished_signal.notify_all();
    });
    // Only a caller that asks for the identifier waits: the others have nothing written late.
    if (thread_id != nullptr)
      record->finished_signal.wait_for(lock, kIdentifierDelay, [&] { return record->finished; });
  }
  if (thread_id != nullptr) *thread_id = id;
  return new ThreadHandle{record};
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto* thread = static_cast<ThreadHandle*>(handle);
  std::unique_lock lock(thread->record->mutex);
  auto done = [&] { return thread->record->finished; };
  if (milliseconds == INFINITE) {
    thread->record->finished_signal.wait(lock, done);
  } else if (!thread->record->finished_signal.wait_for(lock, std::chrono::milliseconds(milliseconds), done)) {
    return WAIT_TIMEOUT;
  }
  return WAIT_OBJECT_0;
}

extern "C" BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  if (close_if_file_handle(handle)) return 1;
  auto* thread = static_cast<ThreadHandle*>(handle);
  {
    std::unique_lock lock(thread->record->mutex);
    bool finished = thread->record->finished;
    lock.unlock();
    // A finished thread is joined so that nothing of it outlives the handle; a running one
    // goes on detached, as a Windows thread does when its handle is closed.
    if (finished && thread->record->thread.joinable()) {
      thread->record->thread.join();
    } else if (thread->record->thread.joinable()) {
      thread->record->thread.detach();
    }
  }
  delete thread;
  return 1;
}

extern "C" void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
