// The diagnostic log: the start-up notice and the time-stamped records of mrim_log.
#include "core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/build_kind.h"
#include "core/host_services.h"
#include "core/protocol_state.h"
#include "platform/win32.h"

namespace {

// A record (stamp, text and terminator) is cut at kRecordLimit bytes. Records up to
// kInlineRecordSize are built on the stack: nearly every record is one short line.
constexpr size_t kRecordLimit = 65536;
constexpr size_t kInlineRecordSize = 512;
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

// Records from several threads are written one at a time, so none is split by another; the
// lock also guards the path and the open file. The clock lock keeps the C library's shared
// broken-down time safe for direct callers of log_timestamp.
std::mutex log_mutex;
HANDLE log_file = INVALID_HANDLE_VALUE;
std::mutex clock_mutex;
time_t (*log_clock)(void) = nullptr;
// The account's "Log" as last read or announced; the release build's records look only here.
std::atomic<bool> log_wanted{false};
// Most records fall in the same second as the one before: the stamp of that second is kept and
// copied. Guarded by clock_mutex.
time_t stamped_second = static_cast<time_t>(-1);
char stamp[32] = "";
size_t stamp_length = 0;

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

void close_log_file() {
  if (log_file != INVALID_HANDLE_VALUE) CloseHandle(log_file);
  log_file = INVALID_HANDLE_VALUE;
}

// The file stays open between records: opening and closing it for each record cost more than
// all the rest of a record. Each record still asks the open file whether it has been deleted
// (no links left, or its deletion pending), so a file the user deleted is made afresh by the
// next record. Asking the handle costs half of looking the name up, and a record is mostly
// system calls. A file the user renamed keeps the records under its new name. The three
// sharing flags let the user read, delete or rename the file while the host runs; appends go
// to the end even when another writer has the file open too. Called with log_mutex held.
bool log_file_deleted() {
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(log_file, FileStandardInfo, &standard, sizeof standard)) return true;
  return standard.DeletePending || standard.NumberOfLinks == 0;
}

bool open_log_file() {
  if (log_file != INVALID_HANDLE_VALUE && !log_file_deleted()) return true;
  close_log_file();
  log_file = CreateFileA(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return log_file != INVALID_HANDLE_VALUE;
}

}  // namespace

void log_set_clock(time_t (*now)(void)) {
  std::lock_guard lock(clock_mutex);
  log_clock = now;
  stamped_second = static_cast<time_t>(-1);  // a test may change the time zone with the clock
}

const char* log_file_path() { return log_path; }

void log_init(const char* module_name) {
  if (mrim_diagnostic_build) {
    char notice[kNoticeBufferSize];
    snprintf(notice, sizeof notice, kNoticeFormat1251, module_name);
    show_notice_1251(notice, kNoticeTitle1251);
  }
  std::lock_guard lock(log_mutex);
  close_log_file();
  snprintf(log_path, sizeof log_path, "%s.dbg", module_name);
}

size_t log_timestamp(char* buffer) {
  std::lock_guard lock(clock_mutex);
  time_t now = now_seconds();
  if (now != stamped_second) {
    // localtime_s rather than localtime: the shared result of localtime would be overwritten by
    // another copy of the plug-in (another account) stamping its own log at the same time.
    tm local_time{};
    if (localtime_s(&local_time, &now) != 0) {
      buffer[0] = '\0';
      return 0;
    }
    int length = snprintf(
        stamp, sizeof stamp, "%2.02lu.%2.02lu.%4.04lu %2.02lu:%2.02lu:%2.02lu ",
        static_cast<unsigned long>(local_time.tm_mday), static_cast<unsigned long>(local_time.tm_mon + 1),
        static_cast<unsigned long>(local_time.tm_year + 1900), static_cast<unsigned long>(local_time.tm_hour),
        static_cast<unsigned long>(local_time.tm_min), static_cast<unsigned long>(local_time.tm_sec));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof stamp) {
      buffer[0] = '\0';
      return 0;
    }
    stamped_second = now;
    stamp_length = static_cast<size_t>(length);
  }
  memcpy(buffer, stamp, stamp_length + 1);
  return stamp_length;
}

void log_close() {
  std::lock_guard lock(log_mutex);
  close_log_file();
}

void log_stop() {
  std::lock_guard lock(log_mutex);
  close_log_file();
  log_path[0] = '\0';
}

namespace {

void set_log_wanted(bool wanted) {
  log_wanted.store(wanted, std::memory_order_relaxed);
  // Not wanted, the file is let go at once: the user may delete it while the host runs.
  if (!wanted) log_close();
}

}  // namespace

// Only a byte of exactly 1 turns the log on, as the options page writes it: a stray value must
// not start writing the user's records.
void log_read_setting() {
  set_log_wanted(get_setting_byte(nullptr, protocol_state.module_name, "Log", 0) == 1);
}

void log_setting_changed(HANDLE contact, const SettingWrite* change) {
  if (contact != nullptr || change == nullptr || change->module == nullptr || change->setting == nullptr)
    return;
  if (strcmp(change->setting, "Log") != 0 || strcmp(change->module, protocol_state.module_name) != 0) return;
  set_log_wanted(change->value.type == DBVT_BYTE && change->value.byte_value == 1);
}

const char* log_private(const char* text, LogPrivateRoom&& room) {
  if (mrim_diagnostic_build) return text;
  snprintf(room.text, sizeof room.text, "<%lu bytes>",
           static_cast<unsigned long>(text != nullptr ? strlen(text) : 0));
  return room.text;
}

void mrim_log(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  mrim_log_v(format, arguments);
  va_end(arguments);
}

void mrim_log_v(const char* format, va_list arguments) {
  if (!mrim_diagnostic_build && !log_wanted.load(std::memory_order_relaxed)) return;
  // The record is stamped, formatted and given its CR LF line ends outside the lock; only the
  // one write of the whole record is serialised, so records never interleave.
  char inline_record[kInlineRecordSize];
  size_t stamp_length = log_timestamp(inline_record);
  va_list second_pass;
  va_copy(second_pass, arguments);
  int formatted =
      vsnprintf(inline_record + stamp_length, sizeof inline_record - stamp_length, format, arguments);
  char* record = inline_record;
  if (formatted > 0 && stamp_length + static_cast<size_t>(formatted) >= sizeof inline_record) {
    // A long record gets a buffer of its own size, up to the limit; beyond it the text is cut.
    size_t size = stamp_length + static_cast<size_t>(formatted) + 1;
    if (size > kRecordLimit) size = kRecordLimit;
    record = static_cast<char*>(malloc(size));
    if (record != nullptr) {
      memcpy(record, inline_record, stamp_length);
      vsnprintf(record + stamp_length, size - stamp_length, format, second_pass);
    }
  }
  va_end(second_pass);
  if (formatted <= 0 || record == nullptr) return;

  // strlen, not the formatted length: the text may have been cut, or hold a NUL of its own.
  size_t total = stamp_length + strlen(record + stamp_length);
  size_t line_feeds = 0;
  for (size_t i = stamp_length; i < total; ++i) line_feeds += record[i] == '\n';
  char inline_output[2 * kInlineRecordSize];
  char* output = total + line_feeds <= sizeof inline_output ? inline_output
                                                            : static_cast<char*>(malloc(total + line_feeds));
  if (output != nullptr) {
    size_t out = 0;
    for (size_t i = 0; i < total; ++i) {
      if (record[i] == '\n') output[out++] = '\r';
      output[out++] = record[i];
    }
    std::lock_guard lock(log_mutex);
    if (log_path[0] != '\0' && open_log_file()) {
      DWORD written = 0;
      WriteFile(log_file, output, static_cast<DWORD>(out), &written, nullptr);
    }
  }
  if (output != inline_output) free(output);
  if (record != inline_record) free(record);
}
