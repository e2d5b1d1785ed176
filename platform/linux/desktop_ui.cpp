// Message boxes, icons and system metrics: shown through the host program's desktop, or on
// the terminal when the process has none.
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>

#include "platform/linux/desktop_link.h"
#include "platform/win32.h"
#include "resources/resource.h"

namespace {

std::string to_utf8(LPCWSTR text) {
  std::string out;
  if (text == nullptr) return out;
  for (const WCHAR* p = text; *p != 0; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// An icon handle points at one of these; they live as long as the process, as shared icons do.
struct IconRecord {
  int resource_id;
  int cx;
  int cy;
};

constexpr int kIconIds[] = {IDI_PROTOCOL, IDI_ONLINE, IDI_OFFLINE};

}  // namespace

struct PlatformIcon : IconRecord {};

extern "C" int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
  std::string text_utf8 = to_utf8(text);
  std::string title_utf8 = to_utf8(caption);
  PlatformDesktop* desktop = platform_find_desktop();
  if (desktop != nullptr && desktop->message_box != nullptr)
    return desktop->message_box(text_utf8.c_str(), title_utf8.c_str(), type);
  std::fprintf(stderr, "[%s]\n%s\n", title_utf8.c_str(), text_utf8.c_str());
  return IDOK;
}

extern "C" int GetSystemMetrics(int index) {
  switch (index) {
    case SM_CXICON:
    case SM_CYICON:
      return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
      return 16;
    default:
      return 0;
  }
}

extern "C" HANDLE LoadImageA(HINSTANCE, LPCSTR name, UINT type, int cx, int cy, UINT) {
  // A fixed table rather than the heap: icons live as long as the process, and the table
  // cannot leak when the library is unloaded and loaded again.
  static std::mutex mutex;
  static PlatformIcon slots[24];
  static size_t used = 0;
  auto id = static_cast<int>(reinterpret_cast<uintptr_t>(name));
  if (type != IMAGE_ICON || reinterpret_cast<uintptr_t>(name) > 0xFFFF) return nullptr;
  bool known = false;
  for (int icon_id : kIconIds) known = known || icon_id == id;
  if (!known) {
    SetLastError(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
    return nullptr;
  }
  std::lock_guard lock(mutex);
  for (size_t i = 0; i < used; ++i)
    if (slots[i].resource_id == id && slots[i].cx == cx && slots[i].cy == cy) return &slots[i];
  if (used == std::size(slots)) return nullptr;
  slots[used] = PlatformIcon{{id, cx, cy}};
  return &slots[used++];
}

extern "C" int PlatformIconInfo(void* handle, int* resource_id, int* cx, int* cy) {
  if (handle == nullptr) return 0;
  auto* icon = static_cast<PlatformIcon*>(handle);
  *resource_id = icon->resource_id;
  *cx = icon->cx;
  *cy = icon->cy;
  return 1;
}
