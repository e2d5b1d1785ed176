// Reads the plug-in's PE image and resources (see dll_image.h).
#include "apps/wincheck/dll_image.h"

#include <cstring>

namespace wincheck {
namespace {

const BYTE* base_of(HMODULE module) { return reinterpret_cast<const BYTE*>(module); }

// The headers in this program's own format: a 32-bit check host loads only PE32 images, a 64-bit
// one only PE32+ (the machine and the magic, read first, are at the same place in both).
const IMAGE_NT_HEADERS* nt_headers(HMODULE module) {
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base_of(module) + dos->e_lfanew);
  return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

const IMAGE_DATA_DIRECTORY* directory(HMODULE module, int index) {
  const IMAGE_NT_HEADERS* nt = nt_headers(module);
  if (nt == nullptr || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) return nullptr;
  if (static_cast<DWORD>(index) >= nt->OptionalHeader.NumberOfRvaAndSizes) return nullptr;
  const IMAGE_DATA_DIRECTORY* dir = &nt->OptionalHeader.DataDirectory[index];
  return dir->VirtualAddress != 0 && dir->Size != 0 ? dir : nullptr;
}

#pragma pack(push, 2)
// The layout of an RT_GROUP_ICON resource.
struct GroupIconEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bit_count;
  DWORD bytes;
  WORD id;
};
struct GroupIconDir {
  WORD reserved, type, count;
  GroupIconEntry entries[1];
};
#pragma pack(pop)

}  // namespace

ImageHeader image_header(HMODULE module) {
  ImageHeader header;
  if (const IMAGE_NT_HEADERS* nt = nt_headers(module)) {
    header.machine = nt->FileHeader.Machine;
    header.optional_magic = nt->OptionalHeader.Magic;
    header.is_dll = (nt->FileHeader.Characteristics & IMAGE_FILE_DLL) != 0;
  }
  return header;
}

std::vector<std::string> export_names(HMODULE module) {
  std::vector<std::string> names;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (dir == nullptr) return names;
  auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base_of(module) + dir->VirtualAddress);
  auto* name_rvas = reinterpret_cast<const DWORD*>(base_of(module) + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.emplace_back(reinterpret_cast<const char*>(base_of(module) + name_rvas[i]));
  // Exports by ordinal only would not show up by name; count them as nameless entries.
  for (DWORD i = exports->NumberOfNames; i < exports->NumberOfFunctions; ++i) names.emplace_back("#ordinal");
  return names;
}

std::vector<std::string> import_dlls(HMODULE module) {
  std::vector<std::string> dlls;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (dir == nullptr) return dlls;
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base_of(module) + dir->VirtualAddress);
       entry->Name != 0; ++entry)
    dlls.emplace_back(reinterpret_cast<const char*>(base_of(module) + entry->Name));
  return dlls;
}

std::optional<std::vector<IconEntry>> icon_group(HMODULE module, int id) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */);
  if (found == nullptr) return std::nullopt;
  DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  auto* group = static_cast<const GroupIconDir*>(LockResource(loaded));
  if (group == nullptr || size < offsetof(GroupIconDir, entries)) return std::nullopt;
  std::vector<IconEntry> entries;
  for (WORD i = 0; i < group->count; ++i) {
    if (offsetof(GroupIconDir, entries) + (i + 1) * sizeof(GroupIconEntry) > size) break;
    // A stored width or height of 0 means 256.
    entries.push_back({group->entries[i].width ? group->entries[i].width : 256,
                       group->entries[i].height ? group->entries[i].height : 256});
  }
  return entries;
}

std::optional<VersionRecord> version_record(const std::wstring& path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::nullopt;

  VersionRecord record;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return std::nullopt;
  auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  record.file_version_ms = fixed->dwFileVersionMS;
  record.file_version_ls = fixed->dwFileVersionLS;
  record.product_version_ms = fixed->dwProductVersionMS;
  record.product_version_ls = fixed->dwProductVersionLS;

  // The product name, in the first language the record lists.
  if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &value, &length) && length >= 4) {
    auto* translation = static_cast<const WORD*>(value);
    wchar_t query[64];
    swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\ProductName", translation[0], translation[1]);
    if (VerQueryValueW(data.data(), query, &value, &length) && length > 0)
      record.product_name = static_cast<const wchar_t*>(value);
  }
  return record;
}

IconSize icon_size(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) return {};
  BITMAP bitmap{};
  IconSize size;
  if (info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) {
    size = {bitmap.bmWidth, bitmap.bmHeight};
  } else if (info.hbmMask != nullptr && GetObjectW(info.hbmMask, sizeof bitmap, &bitmap)) {
    size = {bitmap.bmWidth, bitmap.bmHeight / 2};  // a monochrome icon stacks AND and XOR masks
  }
  if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
  if (info.hbmMask != nullptr) DeleteObject(info.hbmMask);
  return size;
}

}  // namespace wincheck
