// Clocks: the millisecond tick count and the system time as UTC, with the Windows conversion
// to 100-nanosecond intervals since 1601-01-01.
#include <sys/time.h>

#include <chrono>
#include <ctime>

#include "platform/win32.h"

extern "C" DWORD GetTickCount(void) {
  auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
  // Wraps after 49.7 days, like the real one.
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count());
}

extern "C" void GetSystemTime(LPSYSTEMTIME out) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm utc{};
  time_t seconds = now.tv_sec;
  gmtime_r(&seconds, &utc);
  out->wYear = static_cast<WORD>(utc.tm_year + 1900);
  out->wMonth = static_cast<WORD>(utc.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
  out->wDay = static_cast<WORD>(utc.tm_mday);
  out->wHour = static_cast<WORD>(utc.tm_hour);
  out->wMinute = static_cast<WORD>(utc.tm_min);
  out->wSecond = static_cast<WORD>(utc.tm_sec);
  out->wMilliseconds = static_cast<WORD>(now.tv_usec / 1000);
}

extern "C" BOOL SystemTimeToFileTime(const SYSTEMTIME* in, LPFILETIME out) {
  if (in->wMonth < 1 || in->wMonth > 12 || in->wDay < 1 || in->wDay > 31 || in->wHour > 23 ||
      in->wMinute > 59 || in->wSecond > 59 || in->wMilliseconds > 999 || in->wYear < 1601) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  using namespace std::chrono;
  year_month_day date{year{in->wYear}, month{in->wMonth}, day{in->wDay}};
  if (!date.ok()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  long long days = (sys_days{date} - sys_days{year{1601} / January / 1}).count();
  long long milliseconds =
      ((days * 24 + in->wHour) * 60 + in->wMinute) * 60000LL + in->wSecond * 1000LL + in->wMilliseconds;
  unsigned long long intervals = static_cast<unsigned long long>(milliseconds) * 10000ULL;
  out->dwLowDateTime = static_cast<DWORD>(intervals);
  out->dwHighDateTime = static_cast<DWORD>(intervals >> 32);
  return 1;
}

int localtime_s(struct tm* out, const time_t* time) { return localtime_r(time, out) != nullptr ? 0 : 1; }
