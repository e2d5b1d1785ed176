// The listener's side of the hand-over of whole packets: the working storage the listener keeps
// for the plug-in's life, and the handler it lends that storage to with each packet. The
// protocol layer does not know who handles packets: the entry layer installs the dispatcher at
// Load, so the data flows up without the listener including anything above it.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// The listener's working storage, allocated once at load and reused from packet to packet.
struct ListenerWorkArea {
  MrimPacket reply;  // packets the dispatcher sends back
  char address[512];
  char nickname[256];  // names of contacts and groups: up to MRIM_NAME_MAX (255) bytes
  char message[30000];
  BYTE auth_record[35536];
  // A stored message's body as host text: its message, decoded, takes at most twice the room
  // (code page letters become two UTF-8 bytes each).
  char converted[2 * sizeof message];
};
static_assert(sizeof(ListenerWorkArea) == 191840);

// Takes one whole packet (44 + dlen bytes, valid only during the call) with the listener's
// storage. Returns 0.
typedef int (*PacketHandler)(const MrimPacket* packet, ListenerWorkArea* work);

// Installs the handler every packet goes to (null: packets are dropped). Load sets it before
// the listener starts.
void listener_set_packet_handler(PacketHandler handler);
// Hands one packet to the installed handler.
void listener_hand_over(const MrimPacket* packet, ListenerWorkArea* work);
