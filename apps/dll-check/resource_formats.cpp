// Reads the DLL's dialog templates, icon groups and version record (see resource_formats.h).
#include "apps/dll-check/resource_formats.h"

namespace dllcheck {
namespace {

void append_utf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | c >> 6);
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | c >> 12);
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | c >> 18);
    out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A NUL-terminated UTF-16LE text at `at`, moving `at` past its terminator; nothing when the
// terminator is missing.
std::optional<std::string> read_wide(const Bytes& data, size_t& at) {
  std::string out;
  for (;;) {
    std::optional<uint16_t> unit = read16(data, at);
    if (!unit) return std::nullopt;
    at += 2;
    if (*unit == 0) return out;
    uint32_t c = *unit;
    if (c >= 0xD800 && c < 0xDC00) {
      std::optional<uint16_t> low = read16(data, at);
      if (low && *low >= 0xDC00 && *low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (*low - 0xDC00);
        at += 2;
      }
    }
    append_utf8(out, c);
  }
}

// A name-or-ordinal field: 0 (none), 0xFFFF and an atom, or a text.
bool read_name_or_atom(const Bytes& data, size_t& at, uint16_t* atom, std::string* name) {
  std::optional<uint16_t> first = read16(data, at);
  if (!first) return false;
  *atom = 0;
  name->clear();
  if (*first == 0) {
    at += 2;
    return true;
  }
  if (*first == 0xFFFF) {
    std::optional<uint16_t> value = read16(data, at + 2);
    if (!value) return false;
    *atom = *value;
    at += 4;
    return true;
  }
  std::optional<std::string> text = read_wide(data, at);
  if (!text) return false;
  *name = *text;
  return true;
}

int as_short(uint16_t word) { return static_cast<int16_t>(word); }

size_t align4(size_t at) { return (at + 3) & ~static_cast<size_t>(3); }

}  // namespace

std::optional<Dialog> read_dialog(const Bytes& data) {
  if (read16(data, 0) != 1 || read16(data, 2) != 0xFFFF) return std::nullopt;  // not DLGTEMPLATEEX
  Dialog dialog;
  auto ex_style = read32(data, 8), style = read32(data, 12);
  auto count = read16(data, 16);
  auto x = read16(data, 18), y = read16(data, 20), cx = read16(data, 22), cy = read16(data, 24);
  if (!ex_style || !style || !count || !x || !y || !cx || !cy) return std::nullopt;
  dialog.ex_style = *ex_style, dialog.style = *style;
  dialog.x = as_short(*x), dialog.y = as_short(*y), dialog.cx = as_short(*cx), dialog.cy = as_short(*cy);
  size_t at = 26;
  uint16_t atom = 0;
  std::string name;
  if (!read_name_or_atom(data, at, &atom, &name)) return std::nullopt;  // menu
  if (!read_name_or_atom(data, at, &atom, &name)) return std::nullopt;  // window class
  std::optional<std::string> caption = read_wide(data, at);
  if (!caption) return std::nullopt;
  dialog.caption = *caption;
  const uint32_t kSetFont = 0x40, kShellFont = 0x48;
  if ((dialog.style & kSetFont) || (dialog.style & kShellFont) == kShellFont) {
    std::optional<uint16_t> size = read16(data, at);
    if (!size) return std::nullopt;
    dialog.font_size = *size;
    at += 6;  // size, weight, italic, charset
    std::optional<std::string> font = read_wide(data, at);
    if (!font) return std::nullopt;
    dialog.font = *font;
  }
  for (uint16_t i = 0; i < *count; ++i) {
    at = align4(at);
    DialogItem item;
    auto item_ex = read32(data, at + 4), item_style = read32(data, at + 8);
    auto ix = read16(data, at + 12), iy = read16(data, at + 14), icx = read16(data, at + 16),
         icy = read16(data, at + 18);
    auto id = read32(data, at + 20);
    if (!item_ex || !item_style || !ix || !iy || !icx || !icy || !id) return std::nullopt;
    item.ex_style = *item_ex, item.style = *item_style, item.id = *id;
    item.x = as_short(*ix), item.y = as_short(*iy), item.cx = as_short(*icx), item.cy = as_short(*icy);
    at += 24;
    if (!read_name_or_atom(data, at, &item.class_atom, &item.class_name)) return std::nullopt;
    uint16_t text_atom = 0;
    if (!read_name_or_atom(data, at, &text_atom, &item.text)) return std::nullopt;
    std::optional<uint16_t> extra = read16(data, at);
    if (!extra) return std::nullopt;
    at += 2 + *extra;
    dialog.items.push_back(item);
  }
  return dialog;
}

std::optional<std::vector<IconGroupEntry>> read_icon_group(const Bytes& data) {
  if (read16(data, 0) != 0 || read16(data, 2) != 1) return std::nullopt;  // reserved, type 1 = icon
  std::optional<uint16_t> count = read16(data, 4);
  if (!count) return std::nullopt;
  std::vector<IconGroupEntry> entries;
  for (uint16_t i = 0; i < *count; ++i) {
    size_t at = 6 + 14u * i;  // width, height, colours, reserved, planes, bits, bytes, id
    auto bytes = read32(data, at + 8);
    auto id = read16(data, at + 12);
    if (!bytes || !id) return std::nullopt;
    entries.push_back({data[at] ? data[at] : 256, data[at + 1] ? data[at + 1] : 256, *bytes, *id});
  }
  return entries;
}

namespace {

// One node of the version record: its key, where its value starts, how long the value and the
// node are. Children follow the value, each aligned to four bytes.
struct VersionNode {
  std::string key;
  size_t value_at = 0, value_length = 0, end = 0;
  uint16_t type = 0;
};

std::optional<VersionNode> read_version_node(const Bytes& data, size_t at, size_t limit) {
  auto length = read16(data, at), value_length = read16(data, at + 2), type = read16(data, at + 4);
  if (!length || !value_length || !type || *length < 6 || at + *length > limit) return std::nullopt;
  VersionNode node;
  node.end = at + *length;
  node.type = *type;
  size_t key_at = at + 6;
  std::optional<std::string> key = read_wide(data, key_at);
  if (!key || key_at > node.end) return std::nullopt;
  node.key = *key;
  node.value_at = align4(key_at);
  // A text value counts its length in characters, a binary one in bytes.
  node.value_length = *type == 1 ? 2u * *value_length : *value_length;
  if (node.value_at + node.value_length > node.end) return std::nullopt;
  return node;
}

}  // namespace

std::optional<VersionInfo> read_version(const Bytes& data) {
  std::optional<VersionNode> root = read_version_node(data, 0, data.size());
  if (!root || root->key != "VS_VERSION_INFO" || root->value_length < 52) return std::nullopt;
  if (read32(data, root->value_at) != 0xFEEF04BDu) return std::nullopt;
  VersionInfo info;
  info.file_ms = *read32(data, root->value_at + 8);
  info.file_ls = *read32(data, root->value_at + 12);
  info.product_ms = *read32(data, root->value_at + 16);
  info.product_ls = *read32(data, root->value_at + 20);
  for (size_t at = align4(root->value_at + root->value_length); at < root->end;) {
    std::optional<VersionNode> block = read_version_node(data, at, root->end);
    if (!block) break;
    if (block->key == "StringFileInfo") {
      for (size_t t = align4(block->value_at + block->value_length); t < block->end;) {
        std::optional<VersionNode> table = read_version_node(data, t, block->end);
        if (!table) break;
        for (size_t s = align4(table->value_at + table->value_length); s < table->end;) {
          std::optional<VersionNode> entry = read_version_node(data, s, table->end);
          if (!entry) break;
          size_t value_at = entry->value_at;
          std::optional<std::string> value = read_wide(data, value_at);
          if (value) info.strings[entry->key] = *value;
          s = align4(entry->end);
        }
        t = align4(table->end);
      }
    }
    at = align4(block->end);
  }
  return info;
}

}  // namespace dllcheck
