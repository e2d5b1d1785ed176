// The diagnostic log: the start-up notice and the time-stamped records of mrim_log.
#include "plugin/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/win32.h"
#include "plugin/protocol_state.h"

namespace {

constexpr size_t kRecordBufferSize = 65536;
constexpr size_t kNoticeBufferSize = 1024;

// The notice and its title in code page 1251, as the user of the original Cyrillic build saw
// them: "Внимание! Отладочная версия. Будет создан Log-файл в каталоге, где находится
// исполняемый файл программы\nИмя файла - \"%s.dbg\"\n" and "Отладка плагина MRIM".
constexpr char kNoticeFormat1251[] =
    "\xC2\xED\xE8\xEC\xE0\xED\xE8\xE5! \xCE\xF2\xEB\xE0\xE4\xEE\xF7\xED\xE0\xFF \xE2\xE5\xF0\xF1\xE8\xFF. "
    "\xC1\xF3\xE4\xE5\xF2 \xF1\xEE\xE7\xE4\xE0\xED Log-\xF4\xE0\xE9\xEB \xE2 "
    "\xEA\xE0\xF2\xE0\xEB\xEE\xE3\xE5, "
    "\xE3\xE4\xE5 \xED\xE0\xF5\xEE\xE4\xE8\xF2\xF1\xFF \xE8\xF1\xEF\xEE\xEB\xED\xFF\xE5\xEC\xFB\xE9 "
    "\xF4\xE0\xE9\xEB \xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB\n\xC8\xEC\xFF \xF4\xE0\xE9\xEB\xE0 - \"%s.dbg\"\n";
constexpr char kNoticeTitle1251[] = "\xCE\xF2\xEB\xE0\xE4\xEA\xE0 \xEF\xEB\xE0\xE3\xE8\xED\xE0 MRIM";

char log_path[MODULE_NAME_MAX + 5] = "";

// Records from several threads are written one at a time, so none is split by another. The
// clock lock keeps the C library's shared broken-down time safe for direct callers of
// log_timestamp.
std::mutex log_mutex;
std::mutex clock_mutex;
time_t (*log_clock)(void) = nullptr;

time_t now_seconds() { return log_clock != nullptr ? log_clock() : time(nullptr); }

// Shows a code-page-1251 text correctly whatever the system's ANSI code page: converted to
// UTF-16 and shown through the wide message box.
void show_notice_1251(const char* text, const char* title) {
  WCHAR wide_text[kNoticeBufferSize];
  WCHAR wide_title[64];
  if (MultiByteToWideChar(1251, 0, text, -1, wide_text, static_cast<int>(kNoticeBufferSize)) == 0)
    wide_text[0] = 0;
  if (MultiByteToWideChar(1251, 0, title, -1, wide_title, 64) == 0) wide_title[0] = 0;
  MessageBoxW(nullptr, wide_text, wide_title, MB_OK | MB_ICONINFORMATION);
}

}  // namespace

void log_set_clock(time_t (*now)(void)) {
  std::lock_guard lock(clock_mutex);
  log_clock = now;
}

const char* log_file_path() { return log_path; }

void log_init(const char* module_name) {
  char notice[kNoticeBufferSize];
  snprintf(notice, sizeof notice, kNoticeFormat1251, module_name);
  show_notice_1251(notice, kNoticeTitle1251);
  std::lock_guard lock(log_mutex);
  snprintf(log_path, sizeof log_path, "%s.dbg", module_name);
}

size_t log_timestamp(char* buffer) {
  std::lock_guard lock(clock_mutex);
  time_t now = now_seconds();
  // localtime_s rather than localtime: the shared result of localtime would be overwritten by
  // another copy of the plug-in (another account) stamping its own log at the same time.
  tm local_time{};
  const tm* local = localtime_s(&local_time, &now) == 0 ? &local_time : nullptr;
  if (local == nullptr) {
    buffer[0] = '\0';
    return 0;
  }
  int length =
      snprintf(buffer, 100, "%2.02lu.%2.02lu.%4.04lu %2.02lu:%2.02lu:%2.02lu ",
               static_cast<unsigned long>(local->tm_mday), static_cast<unsigned long>(local->tm_mon + 1),
               static_cast<unsigned long>(local->tm_year + 1900), static_cast<unsigned long>(local->tm_hour),
               static_cast<unsigned long>(local->tm_min), static_cast<unsigned long>(local->tm_sec));
  return length > 0 ? static_cast<size_t>(length) : 0;
}

void mrim_log(const char* format, ...) {
  std::lock_guard lock(log_mutex);
  if (log_path[0] == '\0') return;
  // Binary mode with the line ends written out here, so that the file holds CR LF on every
  // build, exactly as a text-mode write on Windows stores it.
  FILE* file = fopen(log_path, "ab");
  if (file == nullptr) return;
  char* record = static_cast<char*>(malloc(kRecordBufferSize));
  if (record == nullptr) {
    fclose(file);
    return;
  }
  size_t stamp_length = log_timestamp(record);
  va_list arguments;
  va_start(arguments, format);
  int formatted = vsnprintf(record + stamp_length, kRecordBufferSize - stamp_length, format, arguments);
  va_end(arguments);
  if (formatted > 0) {
    // A longer message was cut by vsnprintf to what fits with the stamp and the terminator.
    size_t message_length = strlen(record + stamp_length);
    size_t total = stamp_length + message_length;
    size_t line_feeds = 0;
    for (size_t i = stamp_length; i < total; ++i) line_feeds += record[i] == '\n';
    // Sized to the record, so that a short line costs a short allocation.
    char* converted = static_cast<char*>(malloc(total + line_feeds));
    if (converted != nullptr) {
      size_t out = 0;
      for (size_t i = 0; i < total; ++i) {
        if (record[i] == '\n') converted[out++] = '\r';
        converted[out++] = record[i];
      }
      fwrite(converted, 1, out, file);
      free(converted);
    }
  }
  free(record);
  fclose(file);
}
