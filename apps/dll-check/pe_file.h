// Reads a Windows image from its file, on any machine: a PE32 (32-bit) or PE32+ (64-bit) image's
// headers, export and import tables and resources, with every offset checked against the file's
// size, so that nothing here needs the image to be loaded, or a Windows machine to load it.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dllcheck {

using Bytes = std::vector<uint8_t>;

// Little-endian reads that fail rather than read past the end.
std::optional<uint16_t> read16(const Bytes& data, size_t at);
std::optional<uint32_t> read32(const Bytes& data, size_t at);

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

struct PeFile {
  Bytes data;
  uint16_t machine = 0;         // kMachineI386 or kMachineAmd64
  uint16_t optional_magic = 0;  // kPe32Magic or kPe32PlusMagic
  uint16_t characteristics = 0;
  struct Section {
    uint32_t rva, virtual_size, file_offset, file_size;
  };
  std::vector<Section> sections;
  std::vector<std::pair<uint32_t, uint32_t>> directories;  // rva, size

  // The file offset of an RVA, or nothing when no section holds `length` bytes there.
  std::optional<size_t> offset_of(uint32_t rva, uint32_t length = 1) const;
  // A NUL-terminated ASCII name at an RVA (empty when it runs off its section).
  std::string name_at(uint32_t rva) const;
};

// Nothing when the file cannot be read or is no PE image; `why` says what was wrong.
std::optional<PeFile> read_pe(const std::string& path, std::string* why);

std::vector<std::string> export_names(const PeFile& pe);
std::vector<std::string> import_dlls(const PeFile& pe);

// Resources by type and numeric id (the first language of each); named ones are left out.
using ResourceKey = std::pair<uint32_t, uint32_t>;
std::map<ResourceKey, Bytes> resources(const PeFile& pe);

}  // namespace dllcheck
