// The diagnostic log: one time-stamped record per mrim_log call, appended to "<module>.dbg" in
// the host's current folder. The diagnostic build announces it at load and always writes it; the
// release build writes it only while the account's byte "Log" is 1 (see core/build_kind.h).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

#include "host/host_api.h"

// Sets the log file's path; the diagnostic build first shows its notice (and waits until the
// user closes it).
void log_init(const char* module_name);
// Closes the log file; the next record opens it again. Unload calls it after its last record.
void log_close();
// printf-style; never reports a failure. The callers end their formats with "\n".
void mrim_log(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The same with the arguments already gathered (for helpers that log on a caller's behalf).
void mrim_log_v(const char* format, va_list arguments);
// Writes the 20-character local time stamp "DD.MM.YYYY hh:mm:ss " and returns its length.
// The buffer must hold at least 100 characters.
size_t log_timestamp(char* buffer);

// Whether the release build writes records follows the account's "Log". Every record looks at a
// copy kept here in an atomic: records are written on the listener's and the senders' paths,
// some under their locks, and asking the host there would cost a call per record and could
// wait on the host's own locks. The copy is taken at Load (log_read_setting, which asks the
// host) and then follows the host's announcements of changes to the setting
// (log_setting_changed, which reads the new value from the announcement and asks nothing), so
// the options page, or anything else that writes "Log", takes effect at once.
void log_read_setting();
// The setting-changed event's arguments: contact (0 for the account) and the change.
void log_setting_changed(HANDLE contact, const SettingWrite* change);

// The room log_private writes a length into; made afresh for each call by its default argument.
struct LogPrivateRoom {
  char text[32];
};
// For a record's argument that is the user's own text (a message, a search, a nickname): the
// text itself in the diagnostic build, "<N bytes>" in the release build. The room lives until
// the end of the whole expression the call is in, so the result serves as a %s argument.
const char* log_private(const char* text, LogPrivateRoom&& room = LogPrivateRoom{});

// Test hook: no records are written until the next log_init (for measuring without the log).
void log_stop();
// Test hook: the clock the stamps are taken from (null restores the system clock).
void log_set_clock(time_t (*now)(void));
// The log file's path as set by log_init (empty before).
const char* log_file_path();
