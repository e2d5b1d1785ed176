// Which of the plug-in's two builds this is. The diagnostic build shows a notice at load and
// always writes the log, the users' texts and all, for those who help find a fault. The release
// build, the one users install, shows nothing at load and writes a log only when the account
// asks for one, with the texts' lengths in place of the texts.
#pragma once

// True in the diagnostic build (configured with MRIM_DIAGNOSTIC=ON).
extern const bool mrim_diagnostic_build;
// The information record's description: which build, and when it was compiled.
extern const char mrim_build_description[];
