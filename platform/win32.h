// The Win32 surface the plug-in is written against. On Windows it is the system's own
// <windows.h>; elsewhere the same names are declared here and provided by platform/linux/.
// Nothing outside platform/ tests for the operating system.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The property-sheet notices (apply, page changed) that the host's option and details windows use.
#include <prsht.h>
// The system's TLS: SChannel through SSPI (secur32) and the certificate checks (crypt32).
// schannel.h uses the certificate types, so wincrypt.h comes first.
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>
// After security.h, whose types it uses: this line keeps the formatter from sorting it above.
#include <schannel.h>
#define MRIM_EXPORT extern "C" __declspec(dllexport)

// The DLL is compiled for the oldest Windows the host runs on (cmake/plugin.cmake), and mingw's
// headers then hide what came later. What the plug-in uses of that is declared here under its
// Windows names, and none of it is imported, so that the DLL loads there as well:
// GetFileInformationByHandleEx is platform/windows/older_windows.cpp's, which calls the system's
// where there is one, and CryptHashCertificate2 is looked up with GetProcAddress by its caller.
#if _WIN32_WINNT < 0x0600
typedef enum _FILE_INFO_BY_HANDLE_CLASS { FileBasicInfo, FileStandardInfo } FILE_INFO_BY_HANDLE_CLASS;
typedef struct _FILE_STANDARD_INFO {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  DWORD NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
} FILE_STANDARD_INFO;
extern "C" BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                                    LPVOID information, DWORD size);
#endif
#ifndef CALG_SHA_256
#define CALG_SHA_256 0x0000800c
#endif

#else

#include <cstddef>
#include <cstdint>
#include <ctime>

#define MRIM_EXPORT extern "C" __attribute__((visibility("default")))
#define WINAPI
#define CALLBACK
#define CP_ACP 0
#define WC_NO_BEST_FIT_CHARS 0x400u
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 258u
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
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
// Files: only what the diagnostic log needs.
#define FILE_APPEND_DATA 0x0004u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define OPEN_ALWAYS 4u
#define FILE_ATTRIBUTE_NORMAL 0x80u
// Files: what the picture cache needs (write a whole file, rename, delete, list a folder).
#define GENERIC_WRITE 0x40000000u
#define CREATE_ALWAYS 2u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_ALREADY_EXISTS 183u
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Window messages, notifications and button states of the dialogs.
#define WM_CLOSE 0x0010u
#define WM_NOTIFY 0x004Eu
#define WM_SETICON 0x0080u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define WM_USER 0x0400u
#define ICON_SMALL 0
#define ICON_BIG 1
#define BN_CLICKED 0
#define EN_CHANGE 0x0300
#define BST_UNCHECKED 0u
#define BST_CHECKED 1u
#define PSN_FIRST (0u - 200u)
#define PSN_APPLY (PSN_FIRST - 2u)
#define PSM_CHANGED (WM_USER + 104u)
#define LOWORD(l) (static_cast<WORD>(static_cast<uintptr_t>(l) & 0xFFFF))
#define HIWORD(l) (static_cast<WORD>((static_cast<uintptr_t>(l) >> 16) & 0xFFFF))
#define MAKEWPARAM(l, h)                                          \
  (static_cast<WPARAM>(static_cast<DWORD>(static_cast<WORD>(l)) | \
                       (static_cast<DWORD>(static_cast<WORD>(h)) << 16)))
// Window styles the dialog templates use.
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_SYSMENU 0x00080000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_EX_CONTROLPARENT 0x00010000u
#define DS_SETFONT 0x40u
#define DS_MODALFRAME 0x80u
#define DS_CONTROL 0x0400u
#define DS_CENTER 0x0800u
#define SS_LEFT 0x0u
#define SS_RIGHT 0x2u
#define ES_LEFT 0x0u
#define ES_PASSWORD 0x20u
#define ES_AUTOHSCROLL 0x80u
#define ES_READONLY 0x800u
#define BS_PUSHBUTTON 0x0u
#define BS_DEFPUSHBUTTON 0x1u
#define BS_AUTOCHECKBOX 0x3u
#define BS_GROUPBOX 0x7u
#define BS_TOP 0x400u
#define BS_MULTILINE 0x2000u

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
typedef INT_PTR(WINAPI* FARPROC)(void);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

// The header of a WM_NOTIFY notice, and the property-sheet notice that carries one more word.
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
typedef NMHDR* LPNMHDR;
struct PSHNOTIFY {
  NMHDR hdr;
  LPARAM lParam;
};
typedef PSHNOTIFY* LPPSHNOTIFY;

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

// Only the standard information class, which tells whether an open file has been deleted.
enum FILE_INFO_BY_HANDLE_CLASS { FileStandardInfo = 1 };
struct LARGE_INTEGER {
  int64_t QuadPart;
};
typedef BYTE BOOLEAN;
struct FILE_STANDARD_INFO {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  DWORD NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
typedef FILETIME* LPFILETIME;

typedef enum _GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard } GET_FILEEX_INFO_LEVELS;
struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  CHAR cFileName[MAX_PATH];
  CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;

extern "C" {
// The library entry routine, defined by the plug-in; the platform layer calls it when the
// shared object is attached and detached.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, size_t stack_size, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creation_flags, LPDWORD thread_id);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
HANDLE CreateFileA(LPCSTR file_name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD creation_disposition, DWORD flags, HANDLE template_file);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD length, LPDWORD written, void* overlapped);
BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags);
BOOL DeleteFileA(LPCSTR file_name);
BOOL GetFileAttributesExA(LPCSTR file_name, GET_FILEEX_INFO_LEVELS level, LPVOID information);
// Only patterns of a folder and a last part "*" or "*.ext".
HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found);
BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA found);
BOOL FindClose(HANDLE search);
BOOL GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                  LPVOID information, DWORD size);
DWORD GetTickCount(void);
void GetSystemTime(LPSYSTEMTIME system_time);
BOOL SystemTimeToFileTime(const SYSTEMTIME* system_time, LPFILETIME file_time);
}  // extern "C"
// The C library's thread-safe local time (Windows' localtime_s): 0 on success. Copies of the
// plug-in loaded under several names share the C library but not each other's locks.
int localtime_s(struct tm* out, const time_t* time);
extern "C" {
DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);
// Only the system DLLs whose newer calls the plug-in looks up (crypt32.dll), and only those calls.
HMODULE GetModuleHandleA(LPCSTR module_name);
FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name);
LPSTR lstrcpynA(LPSTR destination, LPCSTR source, int max_length);
int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR destination,
                        int destination_length);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_length, LPSTR destination,
                        int destination_length, LPCSTR default_char, BOOL* used_default_char);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
int GetSystemMetrics(int index);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);

// Dialogs: templates come from the module's resource script (see platform/linux/dialogs.cpp).
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND parent, DLGPROC dialog_proc,
                        LPARAM init_param);
HWND CreateDialogParamA(HINSTANCE instance, LPCSTR template_name, HWND parent, DLGPROC dialog_proc,
                        LPARAM init_param);
BOOL DestroyWindow(HWND window);
BOOL EndDialog(HWND dialog, INT_PTR result);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR text, int max_count);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
HWND GetParent(HWND window);
}

// The system TLS calls (SSPI and crypt32), kept apart for their length.
#include "platform/linux/sspi_api.h"

#endif
