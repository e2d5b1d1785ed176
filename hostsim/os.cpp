// Everything in the host stand-in that depends on the operating system: loading plug-in
// files, finding which file a code address lies in, the thread's last-error word and, on
// Linux, the desktop the plug-in's platform layer looks up (platform_desktop).
#include <cstdio>

#include "hostsim/host_impl.h"
#include "hostsim/last_error.h"

#ifdef _WIN32

namespace hostsim {

namespace os {

Library open_library(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (!module) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<Library>(module);
}

void* library_symbol(Library library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void close_library(Library library) { FreeLibrary(static_cast<HMODULE>(library)); }

uintptr_t module_of(const void* code) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(code), &module))
    return 0;
  return reinterpret_cast<uintptr_t>(module);
}

}  // namespace os

void set_thread_last_error(uint32_t error) { SetLastError(error); }
uint32_t thread_last_error() { return GetLastError(); }

}  // namespace hostsim

#else

#include <dlfcn.h>

#include "hostsim/dialogs.h"
#include "platform/desktop.h"

namespace hostsim {

namespace os {

Library open_library(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* reason = dlerror();
    error = reason ? reason : "dlopen failed";
  }
  return library;
}

void* library_symbol(Library library, const char* name) { return dlsym(library, name); }

void close_library(Library library) { dlclose(library); }

uintptr_t module_of(const void* code) {
  Dl_info info{};
  if (!dladdr(code, &info)) return 0;
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

}  // namespace os

namespace {
thread_local uint32_t last_error = 0;
}

void set_thread_last_error(uint32_t error) { last_error = error; }
uint32_t thread_last_error() { return last_error; }

namespace {

// Nobody sits in front of a test: the box is recorded, shown on stderr and answered with OK.
int desktop_message_box(const char* text_utf8, const char* title_utf8, unsigned type) {
  std::string text = text_utf8 ? text_utf8 : "";
  std::string title = title_utf8 ? title_utf8 : "";
  std::fprintf(stderr, "[message box] %s: %s\n", title.c_str(), text.c_str());
  if (Host* host = Host::current()) {
    HostImpl& impl = HostAccess::impl(*host);
    impl.record([&] { impl.message_boxes.push_back({text, title, type}); });
  }
  return IDOK;
}

void desktop_set_last_error(uint32_t error) { set_thread_last_error(error); }
uint32_t desktop_get_last_error() { return thread_last_error(); }

PlatformDesktop desktop = {desktop_message_box,
                           desktop_set_last_error,
                           desktop_get_last_error,
                           desktop_dialog_module_attached,
                           desktop_dialog_module_detached,
                           desktop_run_modal,
                           desktop_send_message};

}  // namespace

}  // namespace hostsim

// Looked up by the plug-in's platform layer with dlsym(RTLD_DEFAULT), hence exported.
extern "C" __attribute__((visibility("default"))) PlatformDesktop* platform_desktop() {
  return &hostsim::desktop;
}

#endif
