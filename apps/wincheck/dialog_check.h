// The wincheck stage of the plug-in's real dialogs: a second load of the DLL on an account
// without "EMail" and "Password" shows the set-up dialog during Load, which is filled in and
// confirmed; then the options page and the details page are made from the DLL's templates as
// children of windows of the host, read, changed, applied and closed. A screenshot of each
// dialog is saved as dialog-setup.bmp, dialog-options.bmp and dialog-details.bmp in the current
// folder (scripts/wine-check.sh turns them into PNG files).
#pragma once

#include <string>

#include "apps/wincheck/notice_watcher.h"
#include "apps/wincheck/report.h"
#include "hostsim/host.h"

namespace wincheck {

// Runs after the first load has been unloaded; loads and unloads the DLL once more.
void check_dialogs(Report& report, hostsim::Host& host, NoticeWatcher& watcher, const std::string& dll_path,
                   const std::string& module);

}  // namespace wincheck
