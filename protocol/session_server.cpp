// The last MRIM server's host name (see session_server.h): one lock, held only to copy it.
#include "protocol/session_server.h"

#include <mutex>

#include "platform/win32.h"
#include "protocol/server_choice.h"

namespace {
std::mutex host_mutex;
char server_host[MRIM_HOST_NAME_MAX + 1];
}  // namespace

void session_server_host_set(const char* host) {
  std::lock_guard lock(host_mutex);
  lstrcpynA(server_host, host, sizeof server_host);
}

void session_server_host(char* out, size_t out_size) {
  if (out_size == 0) return;
  std::lock_guard lock(host_mutex);
  lstrcpynA(out, server_host, static_cast<int>(out_size));
}
