// Finds the host program's desktop (message boxes, last error) once, on first use.
#pragma once

#include "platform/desktop.h"

// Null when the process offers no desktop; callers then fall back to the terminal.
PlatformDesktop* platform_find_desktop();
