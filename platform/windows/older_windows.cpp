// The DLL loads on the oldest Windows the host runs on (XP), so it imports nothing newer: the
// calls that came later are found at run time, with a stand-in where the system has none. The
// two here are imported by name from elsewhere and are therefore defined under that name, so
// that the linker takes them instead of kernel32's:
// - GetFileInformationByHandleEx (Vista), which the log asks whether its file was deleted;
// - GetTickCount64 (Vista), which the static thread library (winpthreads) imports for its timed
//   waits, through its import pointer.
#include <atomic>
#include <cstdint>

#include "platform/win32.h"

namespace {

// The system's call of that name in kernel32, or null where there is none. Looked up on every
// use: the look-up is cheap, and a static with a guard would take the thread library's locks,
// which themselves wait with GetTickCount64.
FARPROC kernel32_call(const char* name) {
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  return kernel32 != nullptr ? GetProcAddress(kernel32, name) : nullptr;
}

// Any function pointer may be cast to and from the type of no arguments.
template <typename Call>
Call as(FARPROC found) {
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}

// The milliseconds since start-up in 64 bits, from GetTickCount's 32 where that is all there is:
// the high word counts the times it went round (every 49.7 days), noticed by any call after it
// did, which every timed wait makes long before the next time.
std::atomic<uint64_t> ticks_seen{0};

ULONGLONG WINAPI tick_count_64() {
  typedef ULONGLONG(WINAPI * TickCount64)();
  if (TickCount64 system = as<TickCount64>(kernel32_call("GetTickCount64"))) return system();
  uint64_t seen = ticks_seen.load();
  for (;;) {
    uint64_t now = (seen & ~uint64_t{0xFFFFFFFF}) | GetTickCount();
    if (now < seen) now += uint64_t{1} << 32;
    if (ticks_seen.compare_exchange_weak(seen, now)) return now;
  }
}

}  // namespace

// The import pointer winpthreads calls through, under the name its import refers to.
#if defined(__i386__)
extern "C" ULONGLONG(WINAPI* imported_tick_count_64)() __asm__("__imp__GetTickCount64@0");
#else
extern "C" ULONGLONG(WINAPI* imported_tick_count_64)() __asm__("__imp_GetTickCount64");
#endif
ULONGLONG(WINAPI* imported_tick_count_64)() = tick_count_64;

// Without the system's call the log cannot tell whether its file was deleted, and a failure here
// makes it open the file afresh for each record: slower, never lost.
extern "C" BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                                    LPVOID information, DWORD size) {
  typedef BOOL(WINAPI * FileInformation)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
  if (FileInformation system = as<FileInformation>(kernel32_call("GetFileInformationByHandleEx")))
    return system(file, information_class, information, size);
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}
