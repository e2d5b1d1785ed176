// The Win32 surface the plug-in is written against. On Windows it is the system's own
// <windows.h>; elsewhere the same names are declared here and provided by platform/linux/.
// Nothing outside platform/ tests for the operating system.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#define MRIM_EXPORT extern "C" __declspec(dllexport)

#else

#include <cstddef>
#include <cstdint>

#define MRIM_EXPORT extern "C" __attribute__((visibility("default")))
#define WINAPI
#define CALLBACK
#define CP_ACP 0
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_PARAMETER 87u
#define DLL_PROCESS_ATTACH 1u
#define DLL_PROCESS_DETACH 0u
#define MB_OK 0x0u
#define MB_ICONINFORMATION 0x40u
#define IDOK 1
#define IDCANCEL 2
#define IMAGE_ICON 1u
#define SM_CXICON 11
#define SM_CYICON 12
#define SM_CXSMICON 49
#define SM_CYSMICON 50
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(static_cast<WORD>(i))))
#define MAX_PATH 260

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void* HANDLE;
typedef void* LPVOID;
typedef char CHAR;
typedef char16_t WCHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
typedef struct PlatformModule* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct PlatformWindow* HWND;
typedef struct PlatformIcon* HICON;
typedef void* LPSECURITY_ATTRIBUTES;
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;

extern "C" {
// The library entry routine, defined by the plug-in; the platform layer calls it when the
// shared object is attached and detached.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, size_t stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
DWORD GetTickCount(void);
void GetSystemTime(LPSYSTEMTIME system_time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time);
DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
LPSTR lstrcpynA(LPSTR destination, LPCSTR source, int max_length);
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR destination,
                        int destination_length);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
int GetSystemMetrics(int index);
}

#endif
