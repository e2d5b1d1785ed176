// Posting to the microblog (see microblog.h). The server's answer is no reply by sequence
// number (it is the same record it pushes to contacts, and pushes carry any number), so the
// waiting posts are answered in the order they were sent.
#include "contacts/microblog.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "core/charset.h"
#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/send.h"
#include "protocol/wire_text.h"

namespace {

constexpr DWORD kPauseBeforeSendMs = 100;

struct PostJob {
  DWORD id;
  uint32_t flags;
  size_t length;  // bytes of UTF-16LE
  uint8_t text[2 * MRIM_POST_MAX];
};

std::mutex posts_mutex;
std::condition_variable posts_answered;
std::deque<DWORD> waiting;  // posts sent and not answered yet, oldest first
std::deque<DWORD> answered;
std::atomic<DWORD> last_post_id{0};

void acknowledge(DWORD id, int result, const char* reason) {
  broadcast_ack(protocol_state.module_name, nullptr, ACKTYPE_MICROBLOG, result,
                reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)), reinterpret_cast<LPARAM>(reason));
}

// The lock is held by the caller.
void forget_waiting(DWORD id) {
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (*it != id) continue;
    waiting.erase(it);
    return;
  }
}

// Waits for the answer to one post, its time-out counted from the write.
bool wait_for_answer(DWORD id) {
  std::unique_lock lock(posts_mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(get_timeout());
  for (;;) {
    for (auto it = answered.begin(); it != answered.end(); ++it) {
      if (*it != id) continue;
      answered.erase(it);
      return true;
    }
    if (stop_requested() || posts_answered.wait_until(lock, deadline) == std::cv_status::timeout) break;
  }
  forget_waiting(id);
  return false;
}

DWORD WINAPI send_post(LPVOID parameter) {
  auto* job = static_cast<PostJob*>(parameter);
  // The host keeps the number the service returns before it can match an acknowledgement to
  // it; a server on the same machine answers faster than that.
  stop_sleep(kPauseBeforeSendMs);
  MrimPacket* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  const char* failure = "the server did not store the post";
  if (packet != nullptr) {
    mrim_packet_init(packet, MRIM_CS_CHANGE_USER_BLOG_STATUS, mrim_next_seq());
    if (mrim_append_ul(packet, job->flags) != 0 ||
        mrim_append_lps_bytes(packet, job->text, job->length) != 0) {
      failure = "the post does not fit in a packet";
    } else {
      {
        std::lock_guard lock(posts_mutex);
        waiting.push_back(job->id);
      }
      MrimSendResult sent = mrim_send(packet, MRIM_SEND_ORDERED);
      if (sent == MRIM_SEND_WRITTEN && wait_for_answer(job->id)) {
        failure = nullptr;
      } else if (sent != MRIM_SEND_WRITTEN) {
        std::lock_guard lock(posts_mutex);
        forget_waiting(job->id);
        failure = "the post could not be sent";
      } else {
        failure = "the server did not answer";
      }
    }
  }
  mrim_log("MRIM_PostMicroblog: post %lu %s\n", static_cast<unsigned long>(job->id),
           failure == nullptr ? "stored by the server" : failure);
  if (!stop_requested())
    acknowledge(job->id, failure == nullptr ? ACKRESULT_SUCCESS : ACKRESULT_FAILED, failure);
  free(packet);
  free(job);
  return 0;
}

}  // namespace

size_t mrim_post_length(const char* text) {
  const size_t bytes = strlen(text);
  if (!is_utf8(text, bytes)) return SIZE_MAX;
  size_t units = 0;
  for (size_t i = 0; i < bytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0) == 0x80) continue;
    units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

INT_PTR MRIM_PostMicroblog(WPARAM flags, LPARAM parameter) {
  const char* text = reinterpret_cast<const char*>(parameter);
  if (text == nullptr || text[0] == '\0') return MICROBLOG_REFUSED_EMPTY;
  if (mrim_post_length(text) > MRIM_POST_MAX) return MICROBLOG_REFUSED_TOO_LONG;
  if (protocol_state.status == ID_STATUS_OFFLINE) return MICROBLOG_REFUSED_OFFLINE;
  if (!mrim_session_microblog()) return MICROBLOG_REFUSED_REVISION;
  auto* job = static_cast<PostJob*>(calloc(1, sizeof(PostJob)));
  if (job == nullptr) return 0;
  job->flags = flags != 0 ? static_cast<uint32_t>(flags) : MRIM_POST_FLAG_STORED;
  job->length = utf16le_from_utf8(text, strlen(text), job->text, sizeof job->text);
  // Positive as the host's INT_PTR on either width, and never 0 (which says nothing was sent).
  DWORD id = ++last_post_id & 0x7FFFFFFF;
  if (id == 0) id = ++last_post_id & 0x7FFFFFFF;
  job->id = id;
  if (thread_start_short(send_post, job) != 0) {
    free(job);
    return 0;
  }
  return static_cast<INT_PTR>(id);
}

void mrim_post_answered() {
  {
    std::lock_guard lock(posts_mutex);
    if (waiting.empty()) return;
    answered.push_back(waiting.front());
    waiting.pop_front();
  }
  posts_answered.notify_all();
}

void mrim_posts_wake_all() {
  std::lock_guard lock(posts_mutex);
  posts_answered.notify_all();
}
