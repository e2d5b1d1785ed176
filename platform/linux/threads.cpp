// Threads and waiting: CreateThread, WaitForSingleObject, CloseHandle and Sleep over POSIX
// threads (CloseHandle also closes the file handles of platform/linux/files.cpp).
// A thread handle is a heap record shared by the creator and the thread; the last of the two
// to let go frees it.
//
// Windows may store the new thread's identifier after the thread has begun to run. This
// version does so on purpose, and late: once the thread has run to its end or for a little
// while, so a caller that asks for the identifier inside a record the thread frees writes into
// freed memory here too, where the sanitizers see it.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
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
  bool finished = false;  // the start routine has returned
  bool joined = false;    // the thread has exited and been joined
  pthread_t thread{};
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
};

struct ThreadHandle {
  std::shared_ptr<ThreadRecord> record;
};

std::atomic<DWORD> next_thread_id{1};

void* run_thread(void* argument) {
  // The thread's own share of the record; the creator holds the other in the handle.
  std::unique_ptr<std::shared_ptr<ThreadRecord>> own(static_cast<std::shared_ptr<ThreadRecord>*>(argument));
  ThreadRecord& record = **own;
  {
    // Not before the creator has stored the thread's id in the record.
    std::lock_guard lock(record.mutex);
  }
  record.start(record.parameter);
  std::lock_guard lock(record.mutex);
  record.finished = true;
  record.finished_signal.notify_all();
  return nullptr;
}

// A Windows thread handle is signalled once the thread has terminated, not when its routine
// returns: until then the thread still runs (here, the end of run_thread). So a wait is over
// only when the thread has been joined. A zero time-out never blocks on a thread that is still
// on its way out; it reports it as running, and a later wait finds it gone. Called with the
// record's lock held, after the routine has returned.
bool join_by(ThreadRecord& record, DWORD milliseconds) {
  if (record.joined) return true;
  int result = 0;
  if (milliseconds == INFINITE) {
    result = pthread_join(record.thread, nullptr);
  } else if (milliseconds == 0) {
    result = pthread_tryjoin_np(record.thread, nullptr);
  } else {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000;
    }
    result = pthread_timedjoin_np(record.thread, nullptr, &deadline);
  }
  record.joined = result == 0;
  return record.joined;
}

}  // namespace

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                               DWORD, LPDWORD thread_id) {
  auto record = std::make_shared<ThreadRecord>();
  record->start = start;
  record->parameter = parameter;
  DWORD id = next_thread_id.fetch_add(1);
  {
    std::unique_lock lock(record->mutex);
    auto* share = new std::shared_ptr<ThreadRecord>(record);
    if (pthread_create(&record->thread, nullptr, run_thread, share) != 0) {
      delete share;
      return nullptr;
    }
    // Only a caller that asks for the identifier waits: the others have nothing written late.
    if (thread_id != nullptr)
      record->finished_signal.wait_for(lock, kIdentifierDelay, [&] { return record->finished; });
  }
  if (thread_id != nullptr) *thread_id = id;
  return new ThreadHandle{record};
}

extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto* thread = static_cast<ThreadHandle*>(handle);
  ThreadRecord& record = *thread->record;
  auto started = std::chrono::steady_clock::now();
  std::unique_lock lock(record.mutex);
  auto done = [&] { return record.finished; };
  if (milliseconds == INFINITE) {
    record.finished_signal.wait(lock, done);
  } else if (!record.finished_signal.wait_for(lock, std::chrono::milliseconds(milliseconds), done)) {
    return WAIT_TIMEOUT;
  }
  DWORD left = 0;
  if (milliseconds == INFINITE) {
    left = INFINITE;
  } else {
    auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    left = spent.count() >= milliseconds ? 0 : milliseconds - static_cast<DWORD>(spent.count());
  }
  return join_by(record, left) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

extern "C" BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return 0;
  if (close_if_file_handle(handle)) return 1;
  auto* thread = static_cast<ThreadHandle*>(handle);
  {
    ThreadRecord& record = *thread->record;
    std::lock_guard lock(record.mutex);
    // A thread whose routine has returned is joined, so that nothing of it outlives the handle
    // (its last steps run in this library); a running one goes on detached, as a Windows thread
    // does when its handle is closed.
    if (record.finished) {
      join_by(record, INFINITE);
    } else if (!record.joined) {
      pthread_detach(record.thread);
    }
  }
  delete thread;
  return 1;
}

extern "C" void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
