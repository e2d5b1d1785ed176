// The diagnostic log: a start-up notice, then one time-stamped record per mrim_log call,
// appended to "<module>.dbg" in the host's current folder.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <ctime>

// Shows the debug notice (waits until the user closes it) and sets the log file's path.
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

// Test hook: no records are written until the next log_init (for measuring without the log).
void log_stop();
// Test hook: the clock the stamps are taken from (null restores the system clock).
void log_set_clock(time_t (*now)(void));
// The log file's path as set by log_init (empty before).
const char* log_file_path();
