// The formats of the resources the plug-in's DLL carries, read from their bytes: extended
// dialog templates, icon groups and the version record.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "apps/dll-check/pe_file.h"

namespace dllcheck {

struct DialogItem {
  uint32_t style = 0, ex_style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  uint32_t id = 0;
  uint16_t class_atom = 0;       // 0x80 button, 0x81 edit, 0x82 static; 0 when named
  std::string class_name, text;  // UTF-8
};

struct Dialog {
  uint32_t style = 0, ex_style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string caption, font;  // UTF-8
  int font_size = 0;
  std::vector<DialogItem> items;
};

// A DLGTEMPLATEEX; nothing when it is cut short or of another kind.
std::optional<Dialog> read_dialog(const Bytes& data);

struct IconGroupEntry {
  int width = 0, height = 0;  // 0 in the file means 256
  uint32_t bytes = 0;
  uint16_t icon_id = 0;
};
std::optional<std::vector<IconGroupEntry>> read_icon_group(const Bytes& data);

struct VersionInfo {
  uint32_t file_ms = 0, file_ls = 0, product_ms = 0, product_ls = 0;
  std::map<std::string, std::string> strings;  // StringFileInfo's values by key, UTF-8
};
std::optional<VersionInfo> read_version(const Bytes& data);

}  // namespace dllcheck
