// The dispatcher of every packet the server sends: handles what the server sends on its own,
// hands everything else to the reply queue.
#pragma once

#include <cstdint>

#include "protocol/codec.h"
#include "protocol/listener.h"

// packet: a complete packet (44 + dlen bytes) valid only during the call. Returns 0.
int MRIM_HSP(const MrimPacket* packet, ListenerWorkArea* work);

// The hand-over of a packet the dispatcher does not handle itself: logs it and stores a copy
// in the reply queue for the request waiting for its sequence number.
void mrim_hsp_store(const MrimPacket* packet);
