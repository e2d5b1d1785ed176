// Cutting a byte stream into whole MRIM packets: bytes in, packets out to a sink, nothing of the
// host or the socket inside. The listener feeds it its own copy of each delivery.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// Takes one whole packet (44 + dlen bytes, valid only during the call). Returns true to go on
// cutting, false to stop right after this packet (the session it came from has ended).
using PacketSink = bool (*)(const MrimPacket* packet, void* context);

// Hands every whole packet of bytes[0, length) to the sink, in order, and returns the number
// of bytes consumed: the packets handed over and any bytes discarded. An incomplete packet at
// the end is left unconsumed. Bytes without the magic, and a packet whose 44 + dlen exceeds
// longest (it could never be complete in a buffer that size), discard everything from there to
// the end: the boundaries are found again when a later delivery begins with a packet. When the
// sink asks to stop, *stopped is set and nothing after that packet is looked at.
// With skip_left, a caller that carries bytes across deliveries has an over-long packet skipped
// by its declared length instead: exactly its bytes go, and *skip_left is set to those of them
// not yet here, for the caller to drop as they arrive. Only bytes without the magic still
// discard everything from there on.
uint32_t cut_packets(const BYTE* bytes, uint32_t length, uint32_t longest, PacketSink sink, void* context,
                     bool* stopped, uint64_t* skip_left = nullptr);
