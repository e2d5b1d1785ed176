// The calling thread's last-error word as the plug-in reads it with GetLastError: the host's
// services set it where a real host would (e.g. the network library's refusals).
#pragma once

#include <cstdint>

namespace hostsim {

// Windows: SetLastError. Linux: the word the plug-in's platform layer reads through
// platform_desktop().
void set_thread_last_error(uint32_t error);
uint32_t thread_last_error();

}  // namespace hostsim
