// This machine's clock as the host's events carry it, and the server's clock beside it: from
// revision 1.20 the greeting's answer says what time the server has, and what the server dates
// (posts, stored messages) is shown on this machine's clock by taking the difference off.
#pragma once

#include <atomic>
#include <cstdint>

// Seconds since 1970-01-01 UTC, modulo 2^32.
uint32_t unix_time_now();

// The server's clock less ours, in seconds, as the last greeting's answer told it (0 until one
// did, or when the server says nothing of its clock).
extern std::atomic<int32_t> server_clock_offset;
// Remembers the server's time, read from the greeting's answer just now.
void server_clock_heard(uint32_t server_time);
// A time on the server's clock, on ours.
uint32_t local_time_of(uint32_t server_time);
