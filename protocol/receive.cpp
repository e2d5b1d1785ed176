// The reply queue through which replies reach the requests waiting for them, the waiting
// operation MRIM_receivepacket, and the reply time-out setting.
//
// One lock guards the whole queue: the dispatcher's append (with its drop of the oldest node),
// the listener's emptying, and each waiter's walk, match, copy, unlink and release of expired
// nodes all run from start to end under it. So the list is always whole when another thread
// looks at it, and no node is freed while a waiter is still copying it. The copies are small
// (a reply is usually a few dozen bytes, and a waiter takes at most its buffer's size), so holding the lock
// for them costs nothing noticeable.
//
// Waiters do not poll blindly: each append notifies a condition variable, and a waiter rescans
// as soon as a packet has been queued. It still counts one pass per 100 ms slice, so a waiter
// whose reply never comes scans T * 10 + 1 times and gives up after about T seconds.
#include "protocol/receive.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/host_services.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/receivers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPassLength = std::chrono::milliseconds(100);

std::mutex queue_mutex;
std::condition_variable queue_changed;
PendingPacket* queue_head = nullptr;  // oldest first
int queue_length = 0;
// Counts appends, so that a waiter tells a new packet from a spurious wake-up.
uint64_t append_count = 0;
std::atomic<DWORD (*)(void)> tick_source{nullptr};
// The sequence numbers requests have announced and not yet taken back; a number may be
// announced more than once (seq 0 by the greeting), so it is kept once per announcement.
std::vector<uint32_t> expected;
// Bytes held by nodes nobody announced.
uint64_t unasked_bytes = 0;

DWORD now_tick() {
  DWORD (*tick)(void) = tick_source.load();
  return tick != nullptr ? tick() : GetTickCount();
}

uint32_t node_seq(const PendingPacket* node) {
  uint32_t seq = 0;
  memcpy(&seq, node->packet + offsetof(MrimPacket, seq), sizeof seq);
  return seq;
}

bool is_expected(uint32_t seq) { return std::find(expected.begin(), expected.end(), seq) != expected.end(); }

// Every unlink goes through here, so the unasked bytes stay counted right. The lock is held.
void release_node(PendingPacket** link) {
  PendingPacket* node = *link;
  *link = node->next;
  if (!node->asked) unasked_bytes -= node->length;
  --queue_length;
  free(node);
}

// Age as an unsigned difference, so a tick count that wrapped in between still gives the
// right age. Exactly the lifetime is still alive.
bool expired(const PendingPacket* node, DWORD now) {
  return static_cast<uint32_t>(now - node->arrival_tick) > PENDING_LIFETIME_MS;
}

struct ScanResult {
  bool found = false;
  uint32_t seq = 0;  // of the packet found
  bool cut = false;
  int expired_dropped = 0;
};

bool wanted(uint32_t seq, const uint32_t* seqs, int count) {
  for (int i = 0; i < count; ++i)
    if (seqs[i] == seq) return true;
  return false;
}

// One pass over the queue, oldest first; the lock is held by the caller. The match comes
// before the expiry test, so a waiter takes its own reply however old it is.
ScanResult scan_locked(MrimPacket* destination, uint32_t capacity, const uint32_t* seqs, int count) {
  ScanResult result;
  DWORD now = now_tick();
  PendingPacket** link = &queue_head;
  while (*link != nullptr) {
    PendingPacket* node = *link;
    if (wanted(node_seq(node), seqs, count)) {
      // A reply longer than the waiter's buffer is cut to the buffer, and its dlen with it,
      // so that the waiter's reads stay inside what was copied. The replies the callers
      // expect fit their buffers; a cut reply can only be a foreign or damaged one, and its
      // leading items are still readable.
      uint32_t copied = node->length < capacity ? node->length : capacity;
      memcpy(destination, node->packet, copied);
      if (copied < node->length) {
        destination->dlen = copied - MRIM_HEADER_SIZE;
        result.cut = true;
      }
      result.found = true;
      result.seq = node_seq(node);
      release_node(link);
      return result;
    }
    if (expired(node, now)) {
      release_node(link);
      ++result.expired_dropped;
      continue;
    }
    link = &node->next;
  }
  return result;
}

}  // namespace

PendingPacket* pending_packet_new(const MrimPacket* packet) {
  uint32_t dlen = packet->dlen;
  if (dlen > MRIM_LARGEST_BODY) return nullptr;
  uint32_t length = MRIM_HEADER_SIZE + dlen;
  auto* node = static_cast<PendingPacket*>(malloc(offsetof(PendingPacket, packet) + length));
  if (node == nullptr) return nullptr;
  node->next = nullptr;
  node->length = length;
  node->arrival_tick = 0;  // stamped when it is appended
  node->asked = false;
  memcpy(node->packet, packet, length);
  return node;
}

void pending_queue_append(PendingPacket* node) {
  std::lock_guard lock(queue_mutex);
  DWORD now = now_tick();
  // Nodes nobody took in their lifetime go now, not only when a waiter happens to scan.
  for (PendingPacket** link = &queue_head; *link != nullptr;) {
    if (expired(*link, now))
      release_node(link);
    else
      link = &(*link)->next;
  }
  node->asked = is_expected(node_seq(node));
  if (!node->asked) {
    if (node->length > PENDING_UNASKED_BYTES) {
      free(node);
      return;
    }
    // The oldest unasked nodes make room; replies that requests wait for are never pushed out.
    for (PendingPacket** link = &queue_head;
         *link != nullptr && unasked_bytes + node->length > PENDING_UNASKED_BYTES;) {
      if (!(*link)->asked)
        release_node(link);
      else
        link = &(*link)->next;
    }
  }
  // Only one node goes, so the queue holds at most 51 packets once this one is in.
  if (queue_length > PENDING_QUEUE_KEEP) release_node(&queue_head);
  node->next = nullptr;
  node->arrival_tick = now;
  PendingPacket** link = &queue_head;
  while (*link != nullptr) link = &(*link)->next;
  *link = node;
  ++queue_length;
  if (!node->asked) unasked_bytes += node->length;
  ++append_count;
  queue_changed.notify_all();
}

void pending_queue_add(const MrimPacket* packet) {
  PendingPacket* node = pending_packet_new(packet);
  if (node != nullptr) pending_queue_append(node);
}

void pending_queue_clear() {
  std::lock_guard lock(queue_mutex);
  while (queue_head != nullptr) release_node(&queue_head);
}

void pending_expect(uint32_t seq) {
  std::lock_guard lock(queue_mutex);
  expected.push_back(seq);
}

void pending_unexpect(uint32_t seq) {
  std::lock_guard lock(queue_mutex);
  auto found = std::find(expected.begin(), expected.end(), seq);
  if (found != expected.end()) expected.erase(found);
}

int pending_queue_length() {
  std::lock_guard lock(queue_mutex);
  return queue_length;
}

// Taking the lock orders this wake after the waiter's last look at the stop signal, so the
// waiter cannot miss it.
void pending_queue_wake_all() {
  std::lock_guard lock(queue_mutex);
  queue_changed.notify_all();
}

void pending_queue_set_clock(DWORD (*tick)(void)) { tick_source = tick; }

int MRIM_receivepacket(MrimPacket* destination, uint32_t capacity, uint32_t seq, uint32_t timeout_seconds) {
  return MRIM_receivepacket_any(destination, capacity, &seq, 1, timeout_seconds);
}

int MRIM_receivepacket_any(MrimPacket* destination, uint32_t capacity, const uint32_t* seqs, int count,
                           uint32_t timeout_seconds, const uint32_t* session_generation) {
  mrim_log("MRIM_receivepacket: started\n");
  // A buffer without room for the header cannot take any reply.
  if (capacity < MRIM_HEADER_SIZE) {
    mrim_log("MRIM_receivepacket: ended with error\n");
    return 1;
  }
  const uint64_t passes_allowed = static_cast<uint64_t>(timeout_seconds) * 10;
  uint64_t passes = 0;
  Clock::time_point pass_end{};
  bool pass_started = false;
  for (;;) {
    mrim_log("MRIM_receivepacket: processing incoming queue\n");
    ScanResult result;
    uint64_t appends_seen = 0;
    {
      std::lock_guard lock(queue_mutex);
      result = scan_locked(destination, capacity, seqs, count);
      appends_seen = append_count;
    }
    for (int i = 0; i < result.expired_dropped; ++i)
      mrim_log("MRIM_receivepacket: found packet with expired lifetime\n");
    if (result.found) {
      mrim_log("MRIM_receivepacket: found packet with seq(%lu)\n", static_cast<unsigned long>(result.seq));
      if (result.cut)
        mrim_log("MRIM_receivepacket: reply cut to %lu bytes\n", static_cast<unsigned long>(capacity));
      mrim_log("MRIM_receivepacket: returned ok\n");
      return 0;
    }
    mrim_log("MRIM_receivepacket: processing incoming queue complete\n");
    if (session_generation != nullptr && receiver_generation() != *session_generation) {
      mrim_log("MRIM_receivepacket: the session has ended\n");
      return 2;
    }
    // Unload does not wait out the time-out.
    if (passes >= passes_allowed || stop_requested()) {
      mrim_log("MRIM_receivepacket: ended with error\n");
      return 1;
    }
    // The pass's 100 ms start after its first scan; rescans caused by packets for other
    // waiters fall inside the same pass.
    if (!pass_started) {
      pass_end = Clock::now() + kPassLength;
      pass_started = true;
    }
    {
      std::unique_lock lock(queue_mutex);
      queue_changed.wait_until(lock, pass_end, [&] {
        return append_count != appends_seen || stop_requested() ||
               (session_generation != nullptr && receiver_generation() != *session_generation);
      });
    }
    if (Clock::now() >= pass_end) {
      ++passes;
      pass_started = false;
    }
  }
}
