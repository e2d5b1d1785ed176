// The dispatcher of every packet the server sends: handles what the server sends on its own,
// hands everything else to the reply queue.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// The listener's working storage, allocated once at load and reused from packet to packet.
struct ListenerWorkArea {
  uint32_t thread_id;
  MrimPacket reply;  // packets the dispatcher sends back
  char address[512];
  char nickname[100];
  char message[30000];
  BYTE auth_record[35536];
};
static_assert(sizeof(ListenerWorkArea) == 131688);

// packet: a complete packet (44 + dlen bytes) valid only during the call. Returns 0.
int MRIM_HSP(const MrimPacket* packet, ListenerWorkArea* work);

// The hand-over of a packet the dispatcher does not handle itself: logs it and stores a copy
// in the reply queue for the request waiting for its sequence number.
void mrim_hsp_store(const MrimPacket* packet);

// Seconds since 1970-01-01 UTC, modulo 2^32.
uint32_t unix_time_now();
