// What the check reads from the plug-in's file and loaded image without calling into it: the
// PE header, the export and import tables, the icon groups and the version record.
#pragma once

#include <windows.h>
#include <winver.h>

#include <optional>
#include <string>
#include <vector>

namespace wincheck {

struct ImageHeader {
  WORD machine = 0;         // IMAGE_FILE_MACHINE_I386 or IMAGE_FILE_MACHINE_AMD64
  WORD optional_magic = 0;  // IMAGE_NT_OPTIONAL_HDR32_MAGIC (PE32) or ..._HDR64_MAGIC (PE32+)
  bool is_dll = false;
};

// All read from a module mapped as an image (its handle).
ImageHeader image_header(HMODULE module);
std::vector<std::string> export_names(HMODULE module);
std::vector<std::string> import_dlls(HMODULE module);

// One entry of an icon group resource: the size of the image it names.
struct IconEntry {
  int width = 0;
  int height = 0;
};
// The images of icon group resource `id`, or nothing when the group is missing.
std::optional<std::vector<IconEntry>> icon_group(HMODULE module, int id);

struct VersionRecord {
  DWORD file_version_ms = 0, file_version_ls = 0;
  DWORD product_version_ms = 0, product_version_ls = 0;
  std::wstring product_name;
};
// The version resource of the file at `path`, or nothing when it has none.
std::optional<VersionRecord> version_record(const std::wstring& path);

// Width and height of an icon's colour (or mask) bitmap; {0, 0} when it cannot be read.
struct IconSize {
  int width = 0;
  int height = 0;
};
IconSize icon_size(HICON icon);

}  // namespace wincheck
