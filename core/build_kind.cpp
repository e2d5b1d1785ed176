// The one file compiled differently for the two builds: everything else is the same object code
// in both, so the Linux build links the second one for the tests from the objects it already has.
#include "core/build_kind.h"

#ifndef MRIM_DIAGNOSTIC
#error "MRIM_DIAGNOSTIC (1 or 0) must say which build this is"
#endif

const bool mrim_diagnostic_build = MRIM_DIAGNOSTIC != 0;

#if MRIM_DIAGNOSTIC
const char mrim_build_description[] =
    "Debug build: plugin for \"MRIM\" Support.\r\nCompiled: " __DATE__ "  " __TIME__;
#else
const char mrim_build_description[] =
    "Release build: plugin for \"MRIM\" Support.\r\nCompiled: " __DATE__ "  " __TIME__;
#endif
