// Sending a packet on the account's connection through "Netlib/Send", and the line that every
// packet of a session waits in before it is written.
//
// Servers in use take only the first packet of each TCP read and drop the rest of that read, so
// two packets must never reach the server together. Two rules keep them apart:
//  - a packet is written only once the answer to the last write has come, or MRIM_SEND_GAP_MS
//    after that write. An answer proves the server has read everything written so far, so a
//    request that follows an answered one goes at once (going online is a greeting, a log-in and
//    a status, each after the answer before); behind a packet nobody answers, the gap is all
//    there is;
//  - a request is written only when no earlier request still awaits its answer, so even a
//    server slow to read never finds two requests in one read.
//
// Who goes next, once no write is under way:
//  1. a packet of the listener thread (a receipt, a deletion of stored messages): the listener
//     also delivers the answers everyone else waits for, so it waits for nobody but the gap and
//     a write already under way;
//  2. otherwise the oldest packet that is not a request: a notice at any time, a status change
//     or an authorization only while no request awaits its answer. A status change comes from a
//     host thread, which must not wait behind a burst of queued messages; it waits for one
//     answer at most;
//  3. otherwise, while no request awaits its answer, the oldest request.
// Each packet draws a ticket when it joins the line, so "oldest" is the order of arrival. The one
// whose turn it is then waits out what is left of the gap, if anything.
//
// A request is in flight from its write until its sender calls mrim_send_done: the sender's
// wait ends with the answer, its time-out or its session's end, and so the time-out counts from
// the write, not from joining the line. Only an answer lifts the gap; a time-out proves nothing
// was read. The line belongs to one session (the receiver count of receivers.h): a new
// connection starts with an empty line and no gap to keep, and packets still waiting for a
// session that has ended give up at once, as do all of them at Unload.
//
// The host's send is called outside the line's lock, so that joining the line, an answer's
// release and the lookers never wait behind a send the host blocks in (as it does while the
// server reads nothing). Only one write is under way at a time all the same.
#include "protocol/send.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "core/host_services.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/receivers.h"
#include "protocol/tls_link.h"
#include "protocol/wire.h"

namespace {

// A waiter is woken when its turn may have come (and all of them when a session ends or Unload
// comes): a burst of a hundred messages would otherwise wake a hundred threads at every write
// and answer. This bounds each wait all the same, so that a stop or a session's end nobody
// announced here is seen within this much.
constexpr auto kLongestLook = std::chrono::milliseconds(100);

struct Waiting {
  uint64_t ticket;
  MrimSendKind kind;
  uint32_t generation;  // the session it is meant for
  const MrimPacket* packet;
  std::condition_variable* wake;  // its sender's own, on its stack
};

// Everything below is read and written under line_mutex.
std::mutex line_mutex;
std::vector<Waiting> line;  // in ticket order
uint64_t next_ticket = 1;
bool writing = false;
// The session the fields after it describe; they start afresh with the next one.
uint32_t line_generation = 0;
bool written_before = false;  // a write on it that the gap counts from
DWORD last_write = 0;
uint64_t last_write_ticket = 0;
bool last_write_answered = false;
uint64_t in_flight_ticket = 0;  // the request awaiting its answer, 0 for none

// The log-in gate (see send.h): the session whose gate is closed, if any, and the packets of
// its listener kept aside until it opens. A push before LOGIN_ACK is rare, and a handful of
// receipts is all a server sends that early: past the bound, or past the size of a receipt or
// a deletion of stored messages, a packet is dropped (the server hands a stored message out
// again at the next log-in, which beats ending this one). Kept in place rather than allocated,
// so nothing is left to free at Unload.
constexpr size_t kMaxKeptAside = 32;
constexpr uint32_t kMaxKeptBody = 512;
struct KeptPacket {
  BYTE bytes[MRIM_HEADER_SIZE + kMaxKeptBody];
  uint32_t length;
};
bool gate_closed = false;
uint32_t gate_generation = 0;  // the session it is closed for
KeptPacket kept_aside[kMaxKeptAside];
size_t kept_count = 0;

// Turns taken ahead (see send.h) and not yet used, in ticket order, with the tick they were
// taken at; the turn this thread is to use in its next mrim_send.
struct Reserved {
  uint64_t ticket;
  DWORD since;
};
std::vector<Reserved> reserved;
// A turn its thread never used (a fault of ours) must not hold the line for ever.
constexpr DWORD kLongestReservationMs = 60000;
thread_local uint64_t turn_to_use = 0;

std::atomic<DWORD (*)(void)> tick_hook{nullptr};
std::atomic<void (*)(DWORD)> wait_hook{nullptr};

// A steady millisecond count rather than GetTickCount: that one moves in steps of about 16 ms
// on Windows, which would let a gap shrink to half its length.
DWORD now_tick() {
  DWORD (*tick)(void) = tick_hook.load();
  if (tick != nullptr) return tick();
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void follow_session_locked(uint32_t generation) {
  if (generation == line_generation) return;
  line_generation = generation;
  written_before = false;
  last_write_answered = false;
  in_flight_ticket = 0;
}

bool is_request(MrimSendKind kind) { return kind == MRIM_SEND_REQUEST; }

// What a server takes before its log-in has been answered.
bool passes_gate(const MrimPacket* packet) {
  const uint32_t code = packet->msg;
  return code == MRIM_CS_HELLO || code == MRIM_CS_LOGIN2 || code == MRIM_CS_PING || code == MRIM_CS_STARTTLS;
}

bool held_by_gate_locked(const Waiting& w) {
  return gate_closed && w.generation == gate_generation && !passes_gate(w.packet);
}

// Whether a turn taken ahead, and still not used, comes before the ticket.
bool reserved_before_locked(uint64_t ticket) {
  const DWORD now = now_tick();
  for (const Reserved& r : reserved)
    if (r.ticket < ticket && now - r.since < kLongestReservationMs) return true;
  return false;
}

// Gives the turn up; true when it was still taken.
bool release_turn_locked(uint64_t ticket) {
  for (auto it = reserved.begin(); it != reserved.end(); ++it) {
    if (it->ticket == ticket) {
      reserved.erase(it);
      return true;
    }
  }
  return false;
}

// The ticket whose turn it is in the current session (see the rules above), 0 for none.
uint64_t next_up_locked() {
  if (writing) return 0;
  const bool answer_awaited = in_flight_ticket != 0;
  for (const Waiting& w : line)
    if (w.generation == line_generation && w.kind == MRIM_SEND_LISTENER && !held_by_gate_locked(w))
      return w.ticket;
  for (const Waiting& w : line) {
    if (w.generation != line_generation || is_request(w.kind) || held_by_gate_locked(w)) continue;
    if (w.kind == MRIM_SEND_ORDERED && answer_awaited) continue;
    return w.ticket;
  }
  if (answer_awaited) return 0;
  for (const Waiting& w : line)
    if (w.generation == line_generation && is_request(w.kind) && !held_by_gate_locked(w))
      return reserved_before_locked(w.ticket) ? 0 : w.ticket;
  return 0;
}

void leave_locked(uint64_t ticket) {
  for (auto it = line.begin(); it != line.end(); ++it) {
    if (it->ticket == ticket) {
      line.erase(it);
      break;
    }
  }
}

// After a change that may make it someone's turn: a write ended, an answer came, a waiter left.
void wake_next_locked() {
  follow_session_locked(receiver_generation());
  const uint64_t next = next_up_locked();
  for (const Waiting& w : line)
    if (w.ticket == next) w.wake->notify_one();
}

bool same_packet(const MrimPacket* a, const MrimPacket* b) {
  return a->msg == b->msg && a->dlen == b->dlen && a->dlen <= MRIM_BODY_CAPACITY &&
         memcmp(a->body, b->body, a->dlen) == 0;
}

// A typing notice like one still waiting for the same session adds nothing.
bool merged_locked(const MrimPacket* packet, uint32_t generation) {
  for (const Waiting& w : line)
    if (w.kind == MRIM_SEND_TYPING && w.generation == generation && same_packet(w.packet, packet))
      return true;
  return false;
}

}  // namespace

// A failed "Netlib/Send" is reported (1) so that the requests that check it log their error at
// once instead of waiting out a reply that cannot come.
int MRIM_sendpacket(const MrimPacket* packet) {
  HANDLE connection = protocol_state.connection;
  if (connection == nullptr) return 0;
  uint32_t dlen = packet->dlen;
  if (dlen > MRIM_BODY_CAPACITY) return 1;  // never read past the buffer
  int length = static_cast<int>(MRIM_HEADER_SIZE + dlen);
  INT_PTR sent = tls_link_send(reinterpret_cast<const char*>(packet), length);
  return sent < 0 ? 1 : 0;
}

MrimSendResult mrim_send(const MrimPacket* packet, MrimSendKind kind, uint64_t* in_flight) {
  if (in_flight != nullptr) *in_flight = 0;
  const uint64_t own_turn = turn_to_use;
  turn_to_use = 0;
  // Without a connection nothing is written and nothing is waited for, as ever.
  if (protocol_state.connection.load() == nullptr) {
    if (own_turn != 0) mrim_send_release_turns(own_turn, 1);
    return MRIM_SEND_WRITTEN;
  }
  const uint32_t generation = receiver_generation();

  std::unique_lock lock(line_mutex);
  const bool turn_taken = own_turn != 0 && release_turn_locked(own_turn);
  if (kind == MRIM_SEND_TYPING && merged_locked(packet, generation)) return MRIM_SEND_MERGED;
  if (kind == MRIM_SEND_LISTENER && gate_closed && generation == gate_generation && !passes_gate(packet)) {
    const uint32_t dlen = packet->dlen;
    if (dlen > kMaxKeptBody || kept_count == kMaxKeptAside) return MRIM_SEND_ENDED;
    KeptPacket& kept = kept_aside[kept_count++];
    kept.length = MRIM_HEADER_SIZE + dlen;
    memcpy(kept.bytes, packet, kept.length);
    return MRIM_SEND_KEPT;
  }
  const uint64_t ticket = turn_taken ? own_turn : next_ticket++;
  std::condition_variable my_turn;
  // In ticket order: a turn taken ahead goes before those who came after it.
  auto place = line.end();
  while (place != line.begin() && std::prev(place)->ticket > ticket) --place;
  line.insert(place, Waiting{ticket, kind, generation, packet, &my_turn});
  for (;;) {
    const uint32_t current = receiver_generation();
    if (current != generation || stop_requested()) {
      leave_locked(ticket);
      wake_next_locked();
      return MRIM_SEND_ENDED;
    }
    follow_session_locked(current);
    if (next_up_locked() != ticket) {
      my_turn.wait_for(lock, kLongestLook);
      continue;
    }
    const DWORD since = now_tick() - last_write;  // unsigned: right across a wrap of the count
    if (written_before && !last_write_answered && since < MRIM_SEND_GAP_MS) {
      const DWORD missing = MRIM_SEND_GAP_MS - since;
      void (*wait)(DWORD) = wait_hook.load();
      if (wait != nullptr) {
        lock.unlock();
        wait(missing);
        lock.lock();
      } else {
        my_turn.wait_for(lock, std::chrono::milliseconds(missing));
      }
      continue;
    }
    break;
  }
  leave_locked(ticket);
  writing = true;
  lock.unlock();

  const bool sent = MRIM_sendpacket(packet) == 0;

  lock.lock();
  writing = false;
  // A session that ended meanwhile keeps nothing of this write: the next one starts afresh.
  if (receiver_generation() == line_generation && line_generation == generation) {
    written_before = true;
    last_write = now_tick();
    last_write_ticket = ticket;
    last_write_answered = false;
    if (sent && is_request(kind)) {
      in_flight_ticket = ticket;
      if (in_flight != nullptr) *in_flight = ticket;
    }
  }
  wake_next_locked();
  return sent ? MRIM_SEND_WRITTEN : MRIM_SEND_FAILED;
}

void mrim_send_done(uint64_t in_flight, bool answered) {
  if (in_flight == 0) return;
  std::lock_guard lock(line_mutex);
  // A token of an ended session (or one already handed back) frees nothing: the slot may be
  // another request's by now.
  if (in_flight_ticket == in_flight) in_flight_ticket = 0;
  // Tickets are never reused, so this is the last write only if nothing went out after it.
  if (answered && last_write_ticket == in_flight) last_write_answered = true;
  wake_next_locked();
}

uint64_t mrim_send_reserve(int count) {
  std::lock_guard lock(line_mutex);
  const uint64_t first = next_ticket;
  const DWORD now = now_tick();
  for (int i = 0; i < count; ++i) reserved.push_back(Reserved{next_ticket++, now});
  return first;
}

void mrim_send_use_turn(uint64_t turn) { turn_to_use = turn; }

void mrim_send_release_turns(uint64_t first, int count) {
  std::lock_guard lock(line_mutex);
  for (int i = 0; i < count; ++i) release_turn_locked(first + static_cast<uint64_t>(i));
  wake_next_locked();
}

void mrim_send_gate_close(uint32_t generation) {
  std::lock_guard lock(line_mutex);
  kept_count = 0;  // an earlier session's: no part of this one
  gate_closed = true;
  gate_generation = generation;
}

bool mrim_send_gate_closed(uint32_t generation) {
  std::lock_guard lock(line_mutex);
  return gate_closed && gate_generation == generation;
}

// The kept packets go first, in the order they came, as they would have without the gate. Only
// the connect thread opens the gate, so their copies are not shared.
void mrim_send_gate_open(uint32_t generation) {
  static KeptPacket kept[kMaxKeptAside];
  size_t count = 0;
  {
    std::lock_guard lock(line_mutex);
    if (!gate_closed || gate_generation != generation) return;
    gate_closed = false;
    count = kept_count;
    for (size_t i = 0; i < count; ++i) kept[i] = kept_aside[i];
    kept_count = 0;
    for (const Waiting& w : line) w.wake->notify_one();
  }
  if (count == 0) return;
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (packet == nullptr) return;
  for (size_t i = 0; i < count && receiver_generation() == generation; ++i) {
    memcpy(packet, kept[i].bytes, kept[i].length);
    mrim_send(packet, MRIM_SEND_LISTENER);
  }
  free(packet);
}

// Taking the lock orders this wake after each waiter's last look at its session.
void mrim_send_wake_all() {
  std::lock_guard lock(line_mutex);
  for (const Waiting& w : line) w.wake->notify_one();
}

int mrim_send_waiting() {
  std::lock_guard lock(line_mutex);
  return static_cast<int>(line.size());
}

void mrim_send_set_clock(DWORD (*tick)(void), void (*wait)(DWORD milliseconds)) {
  tick_hook = tick;
  wait_hook = wait;
}
