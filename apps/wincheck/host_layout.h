// What the check expects of the plug-in's image and of the host's records in this check host's
// own architecture: the host's records hold pointer-sized fields, so a 64-bit host's are wider,
// and the plug-in must fill in the size its host expects. Written out per architecture rather
// than taken from sizeof, so that a record declared with a field of the wrong width shows.
#pragma once

#include <windows.h>

namespace wincheck {

#ifdef _WIN64
constexpr const char* kImageKind = "PE32+ x86-64";
constexpr WORD kImageMachine = IMAGE_FILE_MACHINE_AMD64;
constexpr WORD kImageMagic = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
constexpr int kPluginInfoSize = 72;
constexpr int kMenuItemSize = 64;
constexpr int kPageSize = 104;
#else
constexpr const char* kImageKind = "PE32 i386";
constexpr WORD kImageMachine = IMAGE_FILE_MACHINE_I386;
constexpr WORD kImageMagic = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
constexpr int kPluginInfoSize = 40;
constexpr int kMenuItemSize = 40;
constexpr int kPageSize = 60;
#endif

}  // namespace wincheck
