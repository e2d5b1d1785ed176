// Reads a Windows image, PE32 or PE32+, from its file (see pe_file.h).
#include "apps/dll-check/pe_file.h"

#include <fstream>
#include <iterator>
#include <string>

namespace dllcheck {

std::optional<uint16_t> read16(const Bytes& data, size_t at) {
  if (at > data.size() || data.size() - at < 2) return std::nullopt;
  return static_cast<uint16_t>(data[at] | data[at + 1] << 8);
}

std::optional<uint32_t> read32(const Bytes& data, size_t at) {
  if (at > data.size() || data.size() - at < 4) return std::nullopt;
  return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
         static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
}

std::optional<size_t> PeFile::offset_of(uint32_t rva, uint32_t length) const {
  for (const Section& s : sections) {
    uint32_t span = std::min(s.virtual_size ? s.virtual_size : s.file_size, s.file_size);
    if (rva < s.rva || rva - s.rva > span || span - (rva - s.rva) < length) continue;
    size_t at = static_cast<size_t>(s.file_offset) + (rva - s.rva);
    if (at > data.size() || data.size() - at < length) return std::nullopt;
    return at;
  }
  return std::nullopt;
}

std::string PeFile::name_at(uint32_t rva) const {
  std::optional<size_t> at = offset_of(rva);
  std::string name;
  if (!at) return name;
  for (size_t i = *at; i < data.size() && data[i] != 0; ++i) {
    if (name.size() > 255) return "";
    name += static_cast<char>(data[i]);
  }
  return name;
}

std::optional<PeFile> read_pe(const std::string& path, std::string* why) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *why = "cannot open " + path;
    return std::nullopt;
  }
  PeFile pe;
  pe.data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  const Bytes& d = pe.data;
  std::optional<uint32_t> pe_at = read32(d, 0x3C);
  if (read16(d, 0) != 0x5A4D || !pe_at || read32(d, *pe_at) != 0x00004550u) {
    *why = "no PE signature";
    return std::nullopt;
  }
  size_t header = *pe_at + 4;
  auto machine = read16(d, header);
  auto section_count = read16(d, header + 2);
  auto optional_size = read16(d, header + 16);
  auto characteristics = read16(d, header + 18);
  size_t optional = header + 20;
  auto magic = read16(d, optional);
  if (!machine || !section_count || !optional_size || !characteristics || !magic) {
    *why = "the file header is cut short";
    return std::nullopt;
  }
  pe.machine = *machine;
  pe.characteristics = *characteristics;
  pe.optional_magic = *magic;
  // The directory count stands at 92 in PE32 and at 108 in PE32+, whose image base and stack
  // and heap sizes are 64 bits wide; the directories follow it in both.
  size_t count_at = 0;
  if (pe.optional_magic == kPe32Magic) {
    count_at = optional + 92;
  } else if (pe.optional_magic == kPe32PlusMagic) {
    count_at = optional + 108;
  } else {
    *why = "no PE32 or PE32+ optional header";
    return std::nullopt;
  }
  auto directory_count = read32(d, count_at);
  for (uint32_t i = 0; directory_count && i < *directory_count && i < 16; ++i) {
    auto rva = read32(d, count_at + 4 + 8 * i), size = read32(d, count_at + 8 + 8 * i);
    if (!rva || !size) break;
    pe.directories.emplace_back(*rva, *size);
  }
  size_t table = optional + *optional_size;
  for (uint16_t i = 0; i < *section_count; ++i) {
    size_t at = table + 40u * i;
    auto vsize = read32(d, at + 8), rva = read32(d, at + 12), fsize = read32(d, at + 16),
         foff = read32(d, at + 20);
    if (!vsize || !rva || !fsize || !foff) {
      *why = "the section table is cut short";
      return std::nullopt;
    }
    if (static_cast<uint64_t>(*foff) + *fsize > d.size()) {
      *why = "section " + std::to_string(i + 1) + " runs past the end of the file";
      return std::nullopt;
    }
    pe.sections.push_back({*rva, *vsize, *foff, *fsize});
  }
  return pe;
}

std::vector<std::string> export_names(const PeFile& pe) {
  std::vector<std::string> names;
  if (pe.directories.empty() || pe.directories[0].first == 0) return names;
  std::optional<size_t> dir = pe.offset_of(pe.directories[0].first, 40);
  if (!dir) return names;
  auto functions = read32(pe.data, *dir + 20), count = read32(pe.data, *dir + 24),
       name_table = read32(pe.data, *dir + 32);
  if (!functions || !count || !name_table) return names;
  for (uint32_t i = 0; i < *count && i < 4096; ++i) {
    std::optional<size_t> entry = pe.offset_of(*name_table + 4 * i, 4);
    if (!entry) break;
    names.push_back(pe.name_at(*read32(pe.data, *entry)));
  }
  // Entries exported by ordinal alone have no name; count them all the same.
  for (uint32_t i = *count; i < *functions && i < 4096; ++i) names.emplace_back("#ordinal");
  return names;
}

std::vector<std::string> import_dlls(const PeFile& pe) {
  std::vector<std::string> dlls;
  if (pe.directories.size() < 2 || pe.directories[1].first == 0) return dlls;
  for (uint32_t i = 0; i < 4096; ++i) {
    std::optional<size_t> entry = pe.offset_of(pe.directories[1].first + 20 * i, 20);
    if (!entry) break;
    uint32_t name = *read32(pe.data, *entry + 12);
    if (name == 0) break;
    dlls.push_back(pe.name_at(name));
  }
  return dlls;
}

namespace {

// One level of the resource tree: its entries with numeric ids, as (id, offset-or-subdir word).
std::vector<std::pair<uint32_t, uint32_t>> numbered_entries(const PeFile& pe, size_t root, uint32_t offset) {
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  auto named = read16(pe.data, root + offset + 12), numbered = read16(pe.data, root + offset + 14);
  if (!named || !numbered) return entries;
  for (uint32_t i = 0; i < static_cast<uint32_t>(*named) + *numbered; ++i) {
    size_t at = root + offset + 16 + 8 * i;
    auto id = read32(pe.data, at), target = read32(pe.data, at + 4);
    if (!id || !target) break;
    if ((*id & 0x80000000u) == 0) entries.emplace_back(*id, *target);
  }
  return entries;
}

}  // namespace

std::map<ResourceKey, Bytes> resources(const PeFile& pe) {
  std::map<ResourceKey, Bytes> found;
  if (pe.directories.size() < 3 || pe.directories[2].first == 0) return found;
  std::optional<size_t> root = pe.offset_of(pe.directories[2].first, 16);
  if (!root) return found;
  const uint32_t kSubdirectory = 0x80000000u;
  for (auto [type, types_target] : numbered_entries(pe, *root, 0)) {
    if (!(types_target & kSubdirectory)) continue;
    for (auto [id, ids_target] : numbered_entries(pe, *root, types_target & ~kSubdirectory)) {
      if (!(ids_target & kSubdirectory)) continue;
      // The languages level: the first one's data entry (RVA, size).
      auto languages = numbered_entries(pe, *root, ids_target & ~kSubdirectory);
      if (languages.empty() || (languages[0].second & kSubdirectory)) continue;
      auto rva = read32(pe.data, *root + languages[0].second),
           size = read32(pe.data, *root + languages[0].second + 4);
      if (!rva || !size) continue;
      std::optional<size_t> at = pe.offset_of(*rva, *size);
      if (!at) continue;
      found[{type, id}] =
          Bytes(pe.data.begin() + static_cast<long>(*at), pe.data.begin() + static_cast<long>(*at + *size));
    }
  }
  return found;
}

}  // namespace dllcheck
