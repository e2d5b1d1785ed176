// The plug-in's version, in one place: the DLL's version resource and the plug-in information
// record the host reads both take it from here.
#pragma once

#define MRIM_VERSION_MAJOR 0
#define MRIM_VERSION_MINOR 0
#define MRIM_VERSION_PATCH 0
#define MRIM_VERSION_BUILD 23
#define MRIM_VERSION_TEXT "0.0.0.23"
// As the host packs it: one byte each, major first.
#define MRIM_VERSION_DWORD \
  ((MRIM_VERSION_MAJOR << 24) | (MRIM_VERSION_MINOR << 16) | (MRIM_VERSION_PATCH << 8) | MRIM_VERSION_BUILD)
