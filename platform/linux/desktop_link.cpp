// Finds the host program's desktop (message boxes, last error) once, on first use.
#include "platform/linux/desktop_link.h"

#include <dlfcn.h>

PlatformDesktop* platform_find_desktop() {
  // Looked up on every call rather than cached: a test process may load and unload host
  // stand-ins, and the lookup is cheap next to what the callers do.
  void* symbol = dlsym(RTLD_DEFAULT, PLATFORM_DESKTOP_SYMBOL);
  if (symbol == nullptr) return nullptr;
  return reinterpret_cast<PlatformDesktopFn>(symbol)();
}
