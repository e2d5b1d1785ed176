// The thread's last error. The host program sets it (for example when it refuses to open a
// connection), so it lives with the host's desktop when there is one.
#include "platform/linux/desktop_link.h"
#include "platform/win32.h"

namespace {
thread_local DWORD own_last_error = 0;
}

extern "C" DWORD GetLastError(void) {
  PlatformDesktop* desktop = platform_find_desktop();
  if (desktop != nullptr && desktop->get_last_error != nullptr) return desktop->get_last_error();
  return own_last_error;
}

extern "C" void SetLastError(DWORD error) {
  PlatformDesktop* desktop = platform_find_desktop();
  if (desktop != nullptr && desktop->set_last_error != nullptr) {
    desktop->set_last_error(error);
    return;
  }
  own_last_error = error;
}
