// The library entry routine and module file names: the shared object's own path stands in for
// the DLL's module file name, and its load address for the instance handle. And the look-up of
// the system's newer calls (GetModuleHandleA, GetProcAddress) for the few the plug-in asks for.
#include <dlfcn.h>
#include <link.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/linux/older_windows.h"
#include "platform/win32.h"

namespace {

HINSTANCE own_instance() {
  Dl_info info{};
  dladdr(reinterpret_cast<void*>(&own_instance), &info);
  return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void platform_attach() { DllMain(own_instance(), DLL_PROCESS_ATTACH, nullptr); }
__attribute__((destructor)) void platform_detach() { DllMain(own_instance(), DLL_PROCESS_DETACH, nullptr); }

struct ModuleSearch {
  const void* base;
  const char* path;
};

int match_module(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  // dlpi_addr is the load bias; for a shared object it is also the address dladdr reports.
  if (reinterpret_cast<const void*>(info->dlpi_addr) == search->base && info->dlpi_name != nullptr &&
      info->dlpi_name[0] != '\0') {
    search->path = info->dlpi_name;
    return 1;
  }
  return 0;
}

// Module file names come back as Windows writes them, with backslashes between folders.
DWORD copy_name(const char* path, LPSTR out, DWORD size) {
  if (size == 0) return 0;
  char name[4096];
  lstrcpynA(name, path, sizeof name);
  for (char* p = name; *p != '\0'; ++p)
    if (*p == '/') *p = '\\';
  size_t length = std::strlen(name);
  if (length >= size) {
    // Windows cuts the name and reports the full buffer.
    std::memcpy(out, name, size - 1);
    out[size - 1] = '\0';
    SetLastError(122);  // ERROR_INSUFFICIENT_BUFFER
    return size;
  }
  std::memcpy(out, name, length + 1);
  return static_cast<DWORD>(length);
}

}  // namespace

extern "C" DWORD GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size) {
  ModuleSearch search{module, nullptr};
  if (module != nullptr) dl_iterate_phdr(match_module, &search);
  if (search.path != nullptr) return copy_name(search.path, file_name, size);
  // The main program (or a module linked into it): its path comes from /proc.
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length < 0) return 0;
  path[length] = '\0';
  return copy_name(path, file_name, size);
}

namespace {

std::atomic<bool> older_windows{false};

// The one handle GetModuleHandleA gives out: crypt32 is the only system DLL whose newer calls the
// plug-in looks up. Only its address is used.
char crypt32_module;
HMODULE crypt32_handle() { return reinterpret_cast<HMODULE>(&crypt32_module); }

}  // namespace

void platform_pretend_older_windows(bool older) { older_windows = older; }
bool platform_pretends_older_windows() { return older_windows; }

extern "C" HMODULE GetModuleHandleA(LPCSTR module_name) {
  if (module_name != nullptr && strcasecmp(module_name, "crypt32.dll") == 0) return crypt32_handle();
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

extern "C" FARPROC GetProcAddress(HMODULE module, LPCSTR proc_name) {
  if (module == crypt32_handle() && proc_name != nullptr && !older_windows &&
      std::strcmp(proc_name, "CryptHashCertificate2") == 0) {
    // Through the type of no arguments, which any function pointer may be cast to and from.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&CryptHashCertificate2));
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}
