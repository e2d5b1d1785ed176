// The receive path: the listener thread that cuts the byte stream into packets, and the reply
// queue through which replies reach the requests waiting for them.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// One stored packet: a copy of header and body, in order of arrival.
struct PendingPacket {
  PendingPacket* next;
  uint32_t length;  // 44 + dlen
  uint32_t arrival_tick;
  bool asked;      // a request announced its sequence number (see pending_expect)
  BYTE packet[1];  // length bytes, allocated with the node
};

constexpr uint32_t PENDING_LIFETIME_MS = 10000;
constexpr int PENDING_QUEUE_KEEP = 50;  // more than this and the oldest goes before an append
// Packets no waiter has asked for (a late reply, a code the plug-in does not know) take at most
// this many bytes together; the oldest of them go first, and one larger than this is not kept.
// A server can thus pin no more than this, besides the replies that requests wait for.
constexpr uint32_t PENDING_UNASKED_BYTES = 1024 * 1024;

// A request announces the sequence number of its reply before it sends, so that the reply is
// kept even when it comes before the wait begins; it takes the announcement back after the wait.
void pending_expect(uint32_t seq);
void pending_unexpect(uint32_t seq);

// The dispatcher's hand-over: stores a copy of the whole packet (44 + dlen bytes), dropping
// expired nodes, the oldest node when more than 50 are queued, and unasked packets beyond their
// byte budget. Wakes every waiter.
void pending_queue_add(const MrimPacket* packet);
// The same in two steps, for the dispatcher's log between them: a node holding a copy of the
// packet (null when the allocation failed or dlen exceeds the body capacity), then its append
// (drop-oldest, append at the tail, wake every waiter). The queue owns the node from then on.
PendingPacket* pending_packet_new(const MrimPacket* packet);
void pending_queue_append(PendingPacket* node);
// Unlinks and releases every node.
void pending_queue_clear();
int pending_queue_length();
// Wakes every waiter so that it looks at the stop signal (Unload).
void pending_queue_wake_all();
// Test hook: the tick source for arrival and expiry (null restores GetTickCount).
void pending_queue_set_clock(DWORD (*tick)(void));

// Waits up to about timeout_seconds for the packet with this sequence number and copies it
// into destination (at most capacity bytes). 0 when found, 1 when the time passed.
int MRIM_receivepacket(MrimPacket* destination, uint32_t capacity, uint32_t seq, uint32_t timeout_seconds);
// The same wait for the first queued packet whose sequence number is any of seqs[0..count-1]
// (the oldest such node wins; same scans, expiry and time-out as above). The greeting uses it:
// some servers answer MRIM_CS_HELLO with seq 0 instead of the hello's own number. With a
// session's receiver count given, the wait also ends, returning 2, as soon as that session is
// over: its reply can no longer come.
int MRIM_receivepacket_any(MrimPacket* destination, uint32_t capacity, const uint32_t* seqs, int count,
                           uint32_t timeout_seconds, const uint32_t* session_generation = nullptr);

// The listener thread; its parameter is the ListenerWorkArea.
DWORD WINAPI ListenThread(LPVOID work_area);
struct ListenerWorkArea;
// One delivery's worth of cutting in place, in a record whose buffer the caller owns: dispatches
// every whole packet from bytes used on, in order, and advances bytes used past each (and past
// discarded bytes). The listener itself never cuts in the host's buffer (it copies each
// delivery first); tests call this on records of their own.
void listener_cut_packets(NetlibPacketRecver* record, ListenerWorkArea* work_area);
// Wakes the listener when a receiver has been set (the connect sequence) or at Unload.
void listener_wake();
