// Sending a packet on the account's connection: the one place besides the listener where the
// protocol meets the host's network library, and the line every packet of a session waits in.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// Sends header and body in one host call on the current connection, at once. 0 when there is no
// connection (nothing sent) or the host took the packet; 1 when the host reported a failure.
// Everything the plug-in sends in a session goes through mrim_send instead; this is its last step.
int MRIM_sendpacket(const MrimPacket* packet);

// The least time between two writes on one connection, unless the first was answered. Servers
// in use take only the first packet of each read and drop the rest of it; packets written this
// far apart reach them in reads of their own.
constexpr uint32_t MRIM_SEND_GAP_MS = 30;

// How a packet takes its turn (the rules are set out in send.cpp).
enum MrimSendKind {
  // Answered by the server: written only while no other request awaits its answer, requests in
  // the order they came; then it awaits its own until mrim_send_done.
  MRIM_SEND_REQUEST,
  // Not answered, but also held back while a request awaits its answer (a status change, an
  // authorization); it does not wait for requests that are only queued.
  MRIM_SEND_ORDERED,
  // Not answered: keeps only the gap (the keep-alive).
  MRIM_SEND_NOTICE,
  // A notice that is dropped while the same packet (a typing notice to the same contact) is
  // still waiting: that one carries the news.
  MRIM_SEND_TYPING,
  // A notice of the listener thread (a receipt, a deletion of stored messages): it goes ahead of
  // every waiting packet, so the listener waits the gap at most.
  MRIM_SEND_LISTENER,
};

enum MrimSendResult {
  MRIM_SEND_WRITTEN,  // the host took it, or there is no connection (nothing written, as ever)
  MRIM_SEND_FAILED,   // the host reported a failure
  MRIM_SEND_ENDED,    // its session ended, or Unload came, before its turn: not written
  MRIM_SEND_MERGED,   // the same typing notice was still waiting: not written
  MRIM_SEND_KEPT,     // a listener's packet behind the closed log-in gate: written when it opens
};

// Waits for the packet's turn on the current connection and writes it. The packet is read, not
// kept, and must stay untouched until this returns. A request that was written leaves its token
// in *in_flight (0 otherwise): mrim_send_done(token, answered) ends its wait for the answer, and
// the caller must call it once the answer came (answered), its time-out passed or its session
// ended. Any packet with the request's sequence number counts as its answer, whatever its code:
// the server has read the request.
MrimSendResult mrim_send(const MrimPacket* packet, MrimSendKind kind, uint64_t* in_flight = nullptr);
void mrim_send_done(uint64_t in_flight, bool answered);

// Turns taken ahead. A host thread that hands a packet to a thread of its own (a message) takes
// its place in line at once, so that packets leave in the order the user made them and not in
// the order their threads happen to run: mrim_send_reserve(count) takes `count` consecutive
// turns and returns the first. The thread then calls mrim_send_use_turn(turn) right before the
// mrim_send (or mrim_request) that is to take it; that call, whatever its result, gives the turn
// up. A request behind a turn still untaken waits for it; turns never to be used must be given
// back with mrim_send_release_turns, and one left untaken for a minute stops blocking anyway.
uint64_t mrim_send_reserve(int count);
void mrim_send_use_turn(uint64_t turn);
void mrim_send_release_turns(uint64_t first, int count);

// The log-in gate. Servers in use end a session that sends anything but a keep-alive between
// its start and the log-in's answer, even a request written right behind LOGIN2 while the
// server still asks its database. From mrim_send_gate_close(generation) until
// mrim_send_gate_open(generation) only the greeting, the log-in, the TLS request and PING leave
// on that session; everything else waits in line, keeping its place. A packet of the listener
// thread cannot wait (the listener delivers the log-in's answer): a receipt for a push that
// came before LOGIN_ACK is kept aside and written when the gate opens (see send.cpp for the
// bound). Closing belongs to the moment the session's connection is stored, opening to the
// log-in's answer; a session that ends with the gate closed takes what was kept aside with it.
void mrim_send_gate_close(uint32_t generation);
void mrim_send_gate_open(uint32_t generation);
bool mrim_send_gate_closed(uint32_t generation);

// Wakes every waiting packet to look at its session and the stop signal (the session ended,
// Unload).
void mrim_send_wake_all();
// Packets waiting for their turn now.
int mrim_send_waiting();

// Test hooks: the millisecond tick the gap is measured on, and the wait for a gap to pass
// (called without any lock held, with the milliseconds still missing; it may return early). Null
// restores each: a steady clock and a wait that a session's end or Unload cuts short.
void mrim_send_set_clock(DWORD (*tick)(void), void (*wait)(DWORD milliseconds));
