// The listener's side of the hand-over of whole packets: the working storage the listener keeps
// for the plug-in's life and lends to whoever handles each packet (the dispatcher, installed by
// the entry layer), so that handling a packet allocates nothing.
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
