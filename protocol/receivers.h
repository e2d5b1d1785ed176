// The host's packet receivers and the memory they hand out. A receiver's buffer belongs to the
// host and is freed the moment the receiver is closed, so whoever reads it (the listener, the
// address query) and whoever closes it (going offline, a failed connect, Unload) take turns
// through one lock here, and each reader first checks that the receiver is still the one it
// asked.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/host_api.h"

// Counts every change of the account's packet receiver (stored or taken out). A listener that
// read from a receiver under one count knows that the session it read from has ended once the
// count moves on, even if the host hands out the same handle value again.
uint32_t receiver_generation();
// The packet receiver and its count, read together: a reader never pairs a receiver with the
// count of another session.
HANDLE session_receiver_current(uint32_t* generation);
// Stores a new packet receiver and counts the change.
void session_receiver_store(HANDLE receiver);
// Takes the packet receiver out and counts the change; the caller closes it with
// receiver_close (in between nobody else can reach it).
HANDLE session_receiver_take();

// Any receiver field (the address query's too): takes the receiver out, without counting.
HANDLE receiver_take(std::atomic<HANDLE>& field);
// Closes a receiver taken out of its field, never while a reader copies from its buffer.
void receiver_close(HANDLE receiver);

// Copies the delivery the host described in record (bytes_used to bytes_available, figures
// out of the buffer's range taken as nothing; at most capacity bytes) into out, but only while
// the field still holds receiver. bytes_used is set to where the copy began. The number of
// bytes copied, or -1 when the receiver has been taken or closed since (nothing is read then).
int receiver_copy_delivery(const std::atomic<HANDLE>& field, HANDLE receiver, NetlibPacketRecver* record,
                           BYTE* out, uint32_t capacity);
// The same for the packet receiver, which must also still be under the count generation.
int session_copy_delivery(HANDLE receiver, uint32_t generation, NetlibPacketRecver* record, BYTE* out,
                          uint32_t capacity);
