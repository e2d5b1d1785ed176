// Coming back by itself after a lost connection: the back-off between tries, and the short
// thread that waits it out. What a try does is the caller's (the session owner's); this file only
// keeps time, so that it can be cut short by a cancel or by Unload.
#pragma once

#include <cstdint>

#include "platform/win32.h"

constexpr DWORD MRIM_RECONNECT_FIRST_MS = 1000;
constexpr DWORD MRIM_RECONNECT_LONGEST_MS = 5 * 60 * 1000;
// A session that lasted this long starts the back-off again from the first step.
constexpr DWORD MRIM_RECONNECT_RESET_MS = 60 * 1000;

// The wait before try number `step` (0 for the first): 1 s doubling up to 5 min, then moved by
// up to ±20% as `random` (any 32-bit value, evenly spread) says, so that many clients cut off
// together do not all come back in the same second.
DWORD reconnect_delay_ms(unsigned step, uint32_t random);

// Starts a thread that waits delay_ms and then calls due(ticket), unless reconnect_cancel_all()
// or Unload comes first. 0 when the thread was started.
int reconnect_start(DWORD delay_ms, void (*due)(uint32_t ticket), uint32_t ticket);
// Ends every wait at once without calling its due (the user chose offline, Unload).
void reconnect_cancel_all();

// Test hook: replaces the timed wait; the function returns true when the wait was cut short.
// Null restores the real wait.
void reconnect_set_wait(bool (*wait)(DWORD milliseconds));
