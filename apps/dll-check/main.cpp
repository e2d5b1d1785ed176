// dll-check: checks MRIM.dll from its file alone, on any machine (no Windows code is run): a PE32
// image for i386 or a PE32+ image for x86-64, as the build it comes from, exactly the three entry
// points, imports from system DLLs only, the dialog templates exactly as resources/dialogs.rc has
// them (the same table the Linux dialog model is made from), the three protocol icons, and a
// version record that carries the version the plug-in reports to the host.
//
//   dll-check [--arch i686|x86_64] MRIM.dll
//
// The architecture is the one the DLL must be built for, i686 unless said otherwise.
// Prints "PASS what" or "FAIL what: why" per check; the exit code is 0 only when all passed.
#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "apps/dll-check/pe_file.h"
#include "apps/dll-check/resource_formats.h"
#include "platform/desktop.h"
#include "platform/linux/dialog_template.h"
#include "resources/resource.h"
#include "resources/version.h"

namespace {

#include "dialog_templates.inc"

int failures = 0;

bool check(const std::string& what, bool ok, const std::string& why = "") {
  if (ok) {
    std::printf("PASS %s\n", what.c_str());
  } else {
    std::printf("FAIL %s%s%s\n", what.c_str(), why.empty() ? "" : ": ", why.c_str());
    ++failures;
  }
  return ok;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
  return out;
}

uint16_t class_atom_of(int kind) {
  switch (kind) {
    case PLATFORM_CONTROL_EDIT:
      return 0x81;
    case PLATFORM_CONTROL_LABEL:
      return 0x82;
    default:
      return 0x80;  // buttons, check boxes and group boxes are all buttons
  }
}

// The first difference between a control of the script and the DLL's item, or "".
std::string control_difference(const DialogControlTemplate& want, const dllcheck::DialogItem& got) {
  char buffer[160];
  if (static_cast<int>(static_cast<int16_t>(got.id)) != want.id)
    std::snprintf(buffer, sizeof buffer, "id %d where the script has %d", got.id, want.id);
  else if (got.class_atom != class_atom_of(want.kind))
    std::snprintf(buffer, sizeof buffer, "class 0x%X where 0x%X belongs", got.class_atom,
                  class_atom_of(want.kind));
  else if (got.text != want.text)
    return "text \"" + got.text + "\" where the script has \"" + want.text + "\"";
  else if (got.x != want.x || got.y != want.y || got.cx != want.cx || got.cy != want.cy)
    std::snprintf(buffer, sizeof buffer, "at %d,%d %dx%d where the script has %d,%d %dx%d", got.x, got.y,
                  got.cx, got.cy, want.x, want.y, want.cx, want.cy);
  else if (got.style != want.style || got.ex_style != want.ex_style)
    std::snprintf(buffer, sizeof buffer, "style 0x%08X/0x%08X where the script makes 0x%08X/0x%08X",
                  got.style, got.ex_style, want.style, want.ex_style);
  else
    return "";
  return buffer;
}

void check_dialog(const std::map<dllcheck::ResourceKey, dllcheck::Bytes>& found, const DialogTemplate& want) {
  const std::string name = "dialog " + std::to_string(want.id);
  auto resource = found.find({5, static_cast<uint32_t>(want.id)});  // RT_DIALOG
  if (!check(name + " is in the DLL", resource != found.end())) return;
  std::optional<dllcheck::Dialog> got = dllcheck::read_dialog(resource->second);
  if (!check(name + " is a whole extended template", got.has_value())) return;
  check(name + " has the script's caption, font, size and style",
        got->caption == want.caption && got->font == want.font && got->font_size == want.font_size &&
            got->cx == want.cx && got->cy == want.cy && got->style == want.style &&
            got->ex_style == want.ex_style,
        "\"" + got->caption + "\", " + got->font + " " + std::to_string(got->font_size) + ", " +
            std::to_string(got->cx) + "x" + std::to_string(got->cy));
  if (!check(name + " has the script's " + std::to_string(want.control_count) + " controls",
             got->items.size() == want.control_count, std::to_string(got->items.size()) + " in the DLL"))
    return;
  std::string why;
  for (size_t i = 0; i < want.control_count && why.empty(); ++i) {
    why = control_difference(want.controls[i], got->items[i]);
    if (!why.empty()) why = "control " + std::to_string(i + 1) + ": " + why;
  }
  check(name + "'s controls have the script's ids, classes, texts, places and styles", why.empty(), why);
}

void check_icons(const std::map<dllcheck::ResourceKey, dllcheck::Bytes>& found) {
  for (int id : {IDI_PROTOCOL, IDI_ONLINE, IDI_OFFLINE}) {
    const std::string name = "icon " + std::to_string(id);
    auto group = found.find({14, static_cast<uint32_t>(id)});  // RT_GROUP_ICON
    std::optional<std::vector<dllcheck::IconGroupEntry>> entries;
    if (group != found.end()) entries = dllcheck::read_icon_group(group->second);
    if (!check(name + " is an icon group in the DLL", entries.has_value() && !entries->empty())) continue;
    bool small = false, images_present = true;
    for (const dllcheck::IconGroupEntry& entry : *entries) {
      small = small || (entry.width == 16 && entry.height == 16);
      auto image = found.find({3, entry.icon_id});  // RT_ICON
      images_present = images_present && image != found.end() && image->second.size() == entry.bytes;
    }
    check(name + " has a 16x16 image", small);
    check(name + "'s images are all in the DLL, of the sizes the group names", images_present);
  }
}

void check_version(const std::map<dllcheck::ResourceKey, dllcheck::Bytes>& found) {
  auto resource = found.find({16, 1});  // RT_VERSION
  std::optional<dllcheck::VersionInfo> version;
  if (resource != found.end()) version = dllcheck::read_version(resource->second);
  if (!check("a version record is in the DLL", version.has_value())) return;
  const uint32_t ms = MRIM_VERSION_MAJOR << 16 | MRIM_VERSION_MINOR;
  const uint32_t ls = MRIM_VERSION_PATCH << 16 | MRIM_VERSION_BUILD;
  char got[64];
  std::snprintf(got, sizeof got, "%u.%u.%u.%u", version->file_ms >> 16, version->file_ms & 0xFFFF,
                version->file_ls >> 16, version->file_ls & 0xFFFF);
  // The text also names the package (scripts/package.sh), so the numbers, which the information
  // record carries too, must read the same as the text.
  check(std::string("the version record says ") + MRIM_VERSION_TEXT + ", as the plug-in's information record",
        version->file_ms == ms && version->file_ls == ls && version->product_ms == ms &&
            version->product_ls == ls && version->strings["FileVersion"] == MRIM_VERSION_TEXT &&
            std::string(got) == MRIM_VERSION_TEXT,
        std::string("file version ") + got + ", text \"" + version->strings["FileVersion"] + "\"");
  check("the version record names the product", version->strings["ProductName"] == "MRIM protocol support",
        "\"" + version->strings["ProductName"] + "\"");
}

}  // namespace

int main(int argc, char** argv) {
  std::string arch = "i686";
  if (argc == 4 && std::string(argv[1]) == "--arch") {
    arch = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc != 2 || (arch != "i686" && arch != "x86_64")) {
    std::fprintf(stderr, "usage: dll-check [--arch i686|x86_64] MRIM.dll\n");
    return 2;
  }
  std::string why;
  std::optional<dllcheck::PeFile> pe = dllcheck::read_pe(argv[1], &why);
  if (!check(std::string("PE image ") + argv[1], pe.has_value(), why)) return 1;

  char found_format[48];
  std::snprintf(found_format, sizeof found_format, "machine 0x%X, optional header 0x%X", pe->machine,
                pe->optional_magic);
  if (arch == "i686")
    check("PE32 i386 image",
          pe->machine == dllcheck::kMachineI386 && pe->optional_magic == dllcheck::kPe32Magic, found_format);
  else
    check("PE32+ x86-64 image",
          pe->machine == dllcheck::kMachineAmd64 && pe->optional_magic == dllcheck::kPe32PlusMagic,
          found_format);
  check("a DLL", (pe->characteristics & 0x2000) != 0);
  std::vector<std::string> exports = dllcheck::export_names(*pe);
  std::sort(exports.begin(), exports.end());
  check("exports exactly Load MirandaPluginInfo Unload",
        exports == std::vector<std::string>{"Load", "MirandaPluginInfo", "Unload"},
        "found: " + joined(exports));
  // secur32 and crypt32 are the system's TLS (SChannel) and its certificate checks.
  const std::set<std::string> system_dlls = {"kernel32.dll", "user32.dll",   "msvcrt.dll",
                                             "ws2_32.dll",   "advapi32.dll", "gdi32.dll",
                                             "comctl32.dll", "secur32.dll",  "crypt32.dll"};
  std::vector<std::string> imports = dllcheck::import_dlls(*pe);
  bool only_system = !imports.empty();
  for (const std::string& dll : imports) only_system = only_system && system_dlls.count(lower(dll)) != 0;
  check("imports only system DLLs", only_system, "found: " + joined(imports));

  std::map<dllcheck::ResourceKey, dllcheck::Bytes> found = dllcheck::resources(*pe);
  for (const DialogTemplate& dialog : kDialogTemplates) check_dialog(found, dialog);
  check_icons(found);
  check_version(found);
  return failures == 0 ? 0 : 1;
}
