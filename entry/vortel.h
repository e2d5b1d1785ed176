// The entry layer, the roof of the plug-in: exported entry points, loading and unloading, and
// the protocol services that need no network. Only this layer knows every other one.
#pragma once

#include "host/host_api.h"

MRIM_EXPORT PluginInfo* MirandaPluginInfo(DWORD host_version);
MRIM_EXPORT int Load(PluginLink* link);
MRIM_EXPORT int Unload(void);

// The module name from the library's file name: without folder and extension, at most
// MODULE_NAME_MAX characters. out must hold MODULE_NAME_MAX + 1 characters.
void derive_module_name(const char* file_name, char* out);

INT_PTR MRIM_ModulesLoaded(WPARAM wparam, LPARAM lparam);
INT_PTR MRIM_GetCaps(WPARAM wparam, LPARAM lparam);
INT_PTR MRIM_GetName(WPARAM wparam, LPARAM lparam);
INT_PTR MRIM_LoadIcon(WPARAM wparam, LPARAM lparam);
INT_PTR MRIM_GetStatus(WPARAM wparam, LPARAM lparam);
