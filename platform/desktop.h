// What a Linux process offers the plug-in's platform layer in place of the Windows desktop and
// kernel: message boxes, the thread's last error and (later) dialogs. A host program provides
// it by exporting platform_desktop(); without one the layer falls back to the terminal and a
// thread-local error word of its own.
#pragma once

#include <cstdint>

extern "C" {

struct PlatformDesktop {
  // Shows a message box and returns the button pressed (IDOK = 1). Texts are UTF-8.
  int (*message_box)(const char* text_utf8, const char* title_utf8, unsigned type);
  void (*set_last_error)(uint32_t error);
  uint32_t (*get_last_error)(void);
};

// Exported by the host program; looked up by name at run time.
typedef PlatformDesktop* (*PlatformDesktopFn)(void);
#define PLATFORM_DESKTOP_SYMBOL "platform_desktop"
}

extern "C" {
// What an icon handle from LoadImageA stands for on Linux, for tests: the resource id and the
// size it was loaded at. Returns 0 for a handle that is no icon.
int PlatformIconInfo(void* icon, int* resource_id, int* cx, int* cy);
}
