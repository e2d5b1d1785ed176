// wincheck: the Windows check host. Loads MRIM.dll into the host stand-in, as the messenger would
// at start-up, and checks what the plug-in shows, registers, stores and logs at load, when all
// modules are loaded and at unload. Runs unattended (under Wine on a virtual display, or on
// Windows): the diagnostic build's notice box is really shown and closed by a watcher thread.
// Either build is checked, as its information record names it; the release build is asked for
// its log (the account's "Log"), which the checks read.
//
//   wincheck.exe PATH\MRIM.dll WORK_FOLDER [ADDRESS_PORT MRIM_PORT]
//
// With the two ports of an MRIM server stand-in running on 127.0.0.1 (whose accounts hold the
// account below), the account also goes online, changes status and goes offline against it,
// then sends one message through it to itself and receives it back, and meets the stand-in
// restarted under it (scripts/wine-check.sh restarts it on request).
// The work folder becomes the current folder, where the plug-in writes its log. Prints one
// "PASS name" or "FAIL name: why" line per check and ends with "N passed, M failed"; the exit
// code is 0 only when every check passed. Each stage is a function of its own; later stages
// (going online against the server stand-in) are added to the list in main().
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apps/wincheck/avatar_check.h"
#include "apps/wincheck/dialog_check.h"
#include "apps/wincheck/dll_image.h"
#include "apps/wincheck/host_layout.h"
#include "apps/wincheck/message_check.h"
#include "apps/wincheck/notice_watcher.h"
#include "apps/wincheck/online_check.h"
#include "apps/wincheck/report.h"
#include "apps/wincheck/restart_check.h"
#include "hostsim/host.h"

namespace wincheck {
namespace {

// The module name the plug-in derives from its file name MRIM.dll.
const std::string kModule = "MRIM";
const std::string kLogFile = kModule + ".dbg";
// The account the profile is seeded with, so that no set-up dialog is needed at load.
const std::string kEmail = "wincheck@mrim.example";
const std::string kPassword = "wincheck-secret";

const std::wstring kNoticeTitle = L"Отладка плагина MRIM";
const std::wstring kNoticeText =
    L"Внимание! Отладочная версия. Будет создан Log-файл в каталоге, где находится исполняемый файл "
    L"программы\nИмя файла - \"MRIM.dbg\"\n";

// Every protocol service, in the order Load creates them. The check requires the first few to be
// there and the others only to keep this order.
const std::vector<std::string> kServiceOrder = {"/GetCaps",
                                                "/GetName",
                                                "/LoadIcon",
                                                "/SetStatus",
                                                "/GetStatus",
                                                "/SearchByEmail",
                                                "/SearchByName",
                                                "/CreateAdvSearchUI",
                                                "/SearchByAdvanced",
                                                "/AddToList",
                                                "/SendMsg",
                                                "/UserIsTyping",
                                                "/SetApparentMode",
                                                "/GetInfo",
                                                "/Authorize",
                                                "/AuthDeny",
                                                "/ReqAuth",
                                                "/AuthRequest",
                                                "/ConnectionSecurity",
                                                "/GetAwayMsg",
                                                "/SetAwayMsg",
                                                "/SendContacts",
                                                "/RecvContacts",
                                                "/GetAvatarInformation",
                                                "/PostMicroblog"};
const std::vector<std::string> kServicesRequired = {"/GetCaps", "/GetName", "/LoadIcon", "/SetStatus",
                                                    "/GetStatus"};

// The events MRIM_ModulesLoaded hooks and Unload removes again.
const std::vector<std::string> kLateHooks = {ME_OPT_INITIALISE, ME_USERINFO_INITIALISE, ME_DB_CONTACT_DELETED,
                                             ME_CLIST_GROUPCHANGE, ME_DB_CONTACT_SETTINGCHANGED};

constexpr int kDeadlineSeconds = 200;

struct Context {
  Report& report;
  hostsim::Host& host;
  NoticeWatcher& watcher;
  std::string dll_path;  // absolute
  HMODULE module = nullptr;
  bool diagnostic = true;  // the build the information record names
};

// --- small helpers ------------------------------------------------------------------------------

std::string full_path(const char* path) {
  char buffer[MAX_PATH * 4];
  DWORD length = GetFullPathNameA(path, sizeof buffer, buffer, nullptr);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string(path);
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::string hex(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lx", static_cast<unsigned long>(value));
  return buffer;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return "[" + out + "]";
}

bool contains(const std::vector<std::string>& items, const std::string& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_text_setting(hostsim::Host& host, const std::string& name, const char* text) {
  SettingWrite write{};
  write.module = kModule.c_str();
  write.setting = name.c_str();
  write.value.type = DBVT_ASCIIZ;
  write.value.text = const_cast<char*>(text);
  host.call_service(MS_DB_CONTACT_WRITESETTING, 0, reinterpret_cast<LPARAM>(&write));
}

// A setting of the account (contact 0) as the plug-in would read it.
struct ReadSetting {
  BYTE type = DBVT_DELETED;
  DWORD number = 0;
  std::string text;
};
std::optional<ReadSetting> read_setting(hostsim::Host& host, const std::string& name) {
  SettingVariant value{};
  SettingRequest request{kModule.c_str(), name.c_str(), &value};
  if (host.call_service(MS_DB_CONTACT_GETSETTING, 0, reinterpret_cast<LPARAM>(&request)) != 0)
    return std::nullopt;
  ReadSetting out;
  out.type = value.type;
  switch (value.type) {
    case DBVT_BYTE:
      out.number = value.byte_value;
      break;
    case DBVT_WORD:
      out.number = value.word_value;
      break;
    case DBVT_DWORD:
      out.number = value.dword_value;
      break;
    case DBVT_ASCIIZ:
      out.text = value.text != nullptr ? value.text : "";
      host.call_service(MS_DB_CONTACT_FREEVARIANT, 0, reinterpret_cast<LPARAM>(&value));
      break;
    default:
      break;
  }
  return out;
}

// A log record: the 20-character stamp "dd.mm.yyyy hh:mm:ss " and then the text.
bool is_stamp(const std::string& line) {
  static const char kPattern[] = "00.00.0000 00:00:00 ";
  if (line.size() < 20) return false;
  for (size_t i = 0; i < 20; ++i) {
    bool digit = line[i] >= '0' && line[i] <= '9';
    if (kPattern[i] == '0' ? !digit : line[i] != kPattern[i]) return false;
  }
  return true;
}

std::vector<std::string> crlf_lines(const std::string& file) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = file.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(file.substr(start, end - start));
  if (start < file.size()) lines.push_back(file.substr(start));
  return lines;
}

bool has_record(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return is_stamp(line) && line.substr(20) == text; });
}

// "Mmm dd yyyy  hh:mm:ss", as the compiler writes the build date and time.
bool is_build_stamp(const std::string& text) {
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char kPattern[] = "Mmm d0 0000  00:00:00";
  if (text.size() != sizeof kPattern - 1) return false;
  if (std::none_of(std::begin(kMonths), std::end(kMonths),
                   [&](const char* m) { return text.compare(0, 3, m) == 0; }))
    return false;
  for (size_t i = 3; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kPattern[i] == '0' && !digit) return false;
    if (kPattern[i] == 'd' && !digit && text[i] != ' ') return false;
    if (kPattern[i] != '0' && kPattern[i] != 'd' && text[i] != kPattern[i]) return false;
  }
  return true;
}

// --- stages ---------------------------------------------------------------------------------------

// An account with e-mail and password, so that Load shows no set-up dialog; no "Timeout", so
// that Load must write its default.
void seed_profile(Context& c) {
  write_text_setting(c.host, "EMail", kEmail.c_str());
  char password[128] = {};
  kPassword.copy(password, sizeof password - 1);
  c.host.call_service(MS_DB_CRYPT_ENCODESTRING, sizeof password, reinterpret_cast<LPARAM>(password));
  write_text_setting(c.host, "Password", password);
  // The release build writes the log the checks read only when the account asks for it.
  SettingWrite log{kModule.c_str(), "Log", {}};
  log.value.type = DBVT_BYTE;
  log.value.byte_value = 1;
  c.host.call_service(MS_DB_CONTACT_WRITESETTING, 0, reinterpret_cast<LPARAM>(&log));
}

void check_image(Context& c) {
  ImageHeader header = image_header(c.module);
  c.report.check(std::string("image is a ") + kImageKind + " DLL",
                 header.machine == kImageMachine && header.optional_magic == kImageMagic && header.is_dll,
                 "machine " + hex(header.machine) + ", optional header " + hex(header.optional_magic) +
                     (header.is_dll ? ", DLL" : ", not a DLL"));

  std::vector<std::string> exports = export_names(c.module);
  std::vector<std::string> sorted = exports;
  std::sort(sorted.begin(), sorted.end());
  c.report.check("exports exactly Load, MirandaPluginInfo, Unload",
                 sorted == std::vector<std::string>{"Load", "MirandaPluginInfo", "Unload"},
                 "exports " + joined(exports));
  for (const char* name : {"MirandaPluginInfo", "Load", "Unload"})
    c.report.check(std::string("export ") + name + " resolves", GetProcAddress(c.module, name) != nullptr,
                   "GetProcAddress failed");

  // The plug-in must load on a machine that has only the system's own DLLs.
  // secur32 and crypt32 are the system's TLS (SChannel) and its certificate checks.
  static const char* kSystemDlls[] = {"kernel32.dll", "user32.dll",   "gdi32.dll",    "msvcrt.dll",
                                      "ws2_32.dll",   "advapi32.dll", "shell32.dll",  "comctl32.dll",
                                      "ole32.dll",    "version.dll",  "comdlg32.dll", "secur32.dll",
                                      "crypt32.dll"};
  std::vector<std::string> foreign;
  std::vector<std::string> imports = import_dlls(c.module);
  // An import table that cannot be read would pass the check below without a word.
  c.report.check("the import table is read", !imports.empty(), "no imports found");
  for (const std::string& dll : imports) {
    bool system = std::any_of(std::begin(kSystemDlls), std::end(kSystemDlls),
                              [&](const char* s) { return _stricmp(s, dll.c_str()) == 0; });
    if (!system) foreign.push_back(dll);
  }
  c.report.check("imports only system DLLs", foreign.empty(), "also imports " + joined(foreign));
}

void check_resources(Context& c) {
  for (int id : {101, 104, 105}) {
    std::string name = "icon resource " + std::to_string(id) + " holds one 16x16 image";
    std::optional<std::vector<IconEntry>> group = icon_group(c.module, id);
    if (!group) {
      c.report.fail(name, "no icon group " + std::to_string(id));
    } else {
      bool ok = group->size() == 1 && (*group)[0].width == 16 && (*group)[0].height == 16;
      std::string sizes;
      // Piece by piece: GCC 12 takes the chained form for an overlapping copy (-Wrestrict).
      for (const IconEntry& e : *group) {
        sizes += ' ';
        sizes += std::to_string(e.width);
        sizes += 'x';
        sizes += std::to_string(e.height);
      }
      c.report.check(name, ok, std::to_string(group->size()) + " images:" + sizes);
    }
  }
  std::optional<VersionRecord> version = version_record(widen(c.dll_path));
  if (!version) {
    c.report.fail("version resource 0.0.0.23 \"MRIM protocol support\"", "the DLL has no version record");
    return;
  }
  c.report.check("version resource 0.0.0.23 \"MRIM protocol support\"",
                 version->file_version_ms == 0 && version->file_version_ls == 23 &&
                     version->product_version_ms == 0 && version->product_version_ls == 23 &&
                     version->product_name == L"MRIM protocol support",
                 "file " + hex(version->file_version_ms) + "." + hex(version->file_version_ls) +
                     ", product " + hex(version->product_version_ms) + "." +
                     hex(version->product_version_ls) + ", name " + quoted(to_utf8(version->product_name)));
}

void check_notice(Context& c) {
  std::vector<SeenBox> boxes = c.watcher.seen();
  auto notice =
      std::find_if(boxes.begin(), boxes.end(), [](const SeenBox& b) { return b.title == kNoticeTitle; });
  if (!c.report.check("notice box shown with its title", notice != boxes.end(),
                      boxes.empty() ? "no box was shown" : "boxes seen: " + quoted(to_utf8(boxes[0].title))))
    return;
  c.report.check("notice box text", notice->text == kNoticeText, "text " + quoted(to_utf8(notice->text)));
}

void check_plugin_info(Context& c) {
  const PluginInfo* info = c.host.plugin_info(0);
  if (!c.report.check("MirandaPluginInfo returns a record", info != nullptr, "null")) return;
  c.report.check("info size " + std::to_string(kPluginInfoSize), info->size == kPluginInfoSize,
                 "size " + std::to_string(info->size));
  c.report.check("info short name",
                 info->short_name && std::string(info->short_name) == "MRIM protocol support",
                 info->short_name ? quoted(info->short_name) : "null");
  c.report.check("info version 0x17", info->version == 0x17, hex(info->version));
  const std::string prefix = c.diagnostic ? "Debug build: plugin for \"MRIM\" Support.\r\nCompiled: "
                                          : "Release build: plugin for \"MRIM\" Support.\r\nCompiled: ";
  std::string description = info->description ? info->description : "";
  c.report.check(
      "info description with build date",
      description.compare(0, prefix.size(), prefix) == 0 && is_build_stamp(description.substr(prefix.size())),
      quoted(description));
  c.report.check("info author texts present",
                 info->author && info->author_email && info->copyright && info->homepage, "a text is null");
  c.report.check(
      "info flags and replaced module 0", info->flags == 0 && info->replaces_default_module == 0,
      "flags " + std::to_string(info->flags) + ", replaces " + std::to_string(info->replaces_default_module));
}

void check_services(Context& c) {
  std::vector<std::string> created;
  for (const std::string& name : c.host.service_names())
    if (name.compare(0, kModule.size() + 1, kModule + "/") == 0)
      created.push_back(name.substr(kModule.size()));
  std::vector<std::string> missing;
  for (const std::string& suffix : kServicesRequired)
    if (!contains(created, suffix)) missing.push_back(kModule + suffix);
  c.report.check("protocol services exist", missing.empty(), "missing " + joined(missing));
  std::vector<std::string> in_order;
  for (const std::string& suffix : kServiceOrder)
    if (contains(created, suffix)) in_order.push_back(suffix);
  c.report.check("protocol services created in order", in_order == created, "created " + joined(created));

  c.report.check("protocol registered", contains(c.host.registered_protocols(), kModule),
                 "registered " + joined(c.host.registered_protocols()));

  char name[64] = {};
  INT_PTR result =
      c.host.call_service((kModule + "/GetName").c_str(), sizeof name, reinterpret_cast<LPARAM>(name));
  c.report.check("GetName returns MRIM", result == 0 && std::string(name) == kModule, quoted(name));
  char small[4] = {'x', 'x', 'x', 'x'};
  c.host.call_service((kModule + "/GetName").c_str(), sizeof small, reinterpret_cast<LPARAM>(small));
  c.report.check("GetName cuts to its buffer", std::string(small, 4) == std::string("MRI\0", 4),
                 quoted(std::string(small, 4)));

  struct Caps {
    WPARAM which;
    uint32_t expected;
  };
  // Word 1: messages, away messages, authorization, the visible and invisible lists, searches by
  // address, name and the advanced page, adding a hit, contacts sent and received, the user id
  // an address. Word 3: the statuses that carry away messages. Word 4: typing notices, pictures.
  for (Caps caps : {Caps{1, 0x7B901AC3u}, Caps{2, 7}, Caps{3, 7}, Caps{4, 0x28}, Caps{5, 0}, Caps{0, 0}}) {
    auto got = static_cast<uint32_t>(c.host.call_service((kModule + "/GetCaps").c_str(), caps.which, 0));
    c.report.check("GetCaps " + std::to_string(caps.which) + " is " + hex(caps.expected),
                   got == caps.expected, hex(got));
  }
  INT_PTR status = c.host.call_service((kModule + "/GetStatus").c_str(), 0, 0);
  c.report.check("GetStatus offline after load", status == ID_STATUS_OFFLINE, std::to_string(status));
}

void check_icons(Context& c) {
  const std::string service = kModule + "/LoadIcon";
  const int big_w = GetSystemMetrics(SM_CXICON), big_h = GetSystemMetrics(SM_CYICON);
  const int small_w = GetSystemMetrics(SM_CXSMICON), small_h = GetSystemMetrics(SM_CYSMICON);
  for (WPARAM which : {PLI_PROTOCOL, PLI_ONLINE, PLI_OFFLINE}) {
    for (bool small_size : {false, true}) {
      WPARAM w = which | (small_size ? PLIF_SMALL : 0);
      auto icon = reinterpret_cast<HICON>(c.host.call_service(service.c_str(), w, 0));
      std::string name = "LoadIcon " + hex(static_cast<uint32_t>(w));
      if (!c.report.check(name + " returns an icon", icon != nullptr, "null")) continue;
      IconSize size = icon_size(icon);
      int want_w = small_size ? small_w : big_w, want_h = small_size ? small_h : big_h;
      c.report.check(name + " at " + std::to_string(want_w) + "x" + std::to_string(want_h),
                     size.width == want_w && size.height == want_h,
                     std::to_string(size.width) + "x" + std::to_string(size.height));
    }
  }
  for (WPARAM w : {WPARAM{0}, WPARAM{4}, WPARAM{0x10004}})
    c.report.check("LoadIcon " + hex(static_cast<uint32_t>(w)) + " returns 0",
                   c.host.call_service(service.c_str(), w, 0) == 0, "an icon");
}

void check_settings(Context& c) {
  std::optional<ReadSetting> timeout = read_setting(c.host, "Timeout");
  c.report.check(
      "\"Timeout\" = 10 (dword) after load", timeout && timeout->type == DBVT_DWORD && timeout->number == 10,
      timeout ? "type " + std::to_string(timeout->type) + " value " + std::to_string(timeout->number)
              : "missing");
  std::optional<ReadSetting> nick = read_setting(c.host, "Nick");
  c.report.check("\"Nick\" = EMail after load", nick && nick->type == DBVT_ASCIIZ && nick->text == kEmail,
                 nick ? quoted(nick->text) : "missing");
}

void check_menu(Context& c) {
  std::vector<hostsim::MenuItemRecord> items = c.host.menu_items();
  if (!c.report.check("one contact-menu item", items.size() == 1, std::to_string(items.size()) + " items"))
    return;
  const hostsim::MenuItemRecord& item = items[0];
  c.report.check("menu item record",
                 item.size == kMenuItemSize && item.name == "Authorization.." && item.flags == 0 &&
                     item.position == 1000030000 && item.service == kModule + "/ReqAuth" &&
                     item.contact_owner == kModule,
                 "size " + std::to_string(item.size) + ", name " + quoted(item.name) + ", flags " +
                     std::to_string(item.flags) + ", position " + std::to_string(item.position) +
                     ", service " + quoted(item.service) + ", owner " + quoted(item.contact_owner));
}

// The log as Load left it: CR LF line ends, stamped records, no password.
void check_log_after_load(Context& c) {
  std::optional<std::string> log = read_file(kLogFile);
  if (!c.report.check("log file " + kLogFile + " created in the current folder", log.has_value(), "missing"))
    return;
  bool crlf = !log->empty() && log->back() == '\n' && log->find("\r\r") == std::string::npos;
  for (size_t i = 0; crlf && (i = log->find('\n', i)) != std::string::npos; ++i)
    crlf = i > 0 && (*log)[i - 1] == '\r';
  for (size_t i = 0; crlf && (i = log->find('\r', i)) != std::string::npos; ++i)
    crlf = i + 1 < log->size() && (*log)[i + 1] == '\n';
  c.report.check("log lines end in CR LF", crlf, quoted(log->substr(0, 200)));
  std::vector<std::string> lines = crlf_lines(*log);
  c.report.check("log records start with the time stamp", !lines.empty() && is_stamp(lines[0]),
                 quoted(lines.empty() ? "" : lines[0]));
  c.report.check("log has \"vortel: Starting.\"", has_record(lines, "vortel: Starting."), quoted(*log));
  c.report.check("log has the \"Nick\" line", has_record(lines, "Load: \"Nick\" (" + kEmail + ") is set."),
                 quoted(*log));
  c.report.check("log holds no password", log->find(kPassword) == std::string::npos,
                 "the password is logged");
}

void check_modules_loaded(Context& c) {
  c.host.modules_loaded();
  std::vector<std::string> hooked = c.host.hooked_events();
  std::vector<std::string> missing;
  for (const std::string& event : kLateHooks)
    if (!contains(hooked, event)) missing.push_back(event);
  c.report.check("events hooked once all modules are loaded", missing.empty(), "missing " + joined(missing));
}

void check_unload(Context& c) {
  c.host.unload_plugins();
  std::vector<std::string> hooked = c.host.hooked_events();
  std::vector<std::string> left;
  for (const std::string& event : kLateHooks)
    if (contains(hooked, event)) left.push_back(event);
  c.report.check("Unload removes the event hooks", left.empty(), "still hooked " + joined(left));

  std::optional<std::string> log = read_file(kLogFile);
  std::vector<std::string> lines = crlf_lines(log.value_or(""));
  c.report.check("log ends with \"vortel: Terminating.\"",
                 !lines.empty() && is_stamp(lines.back()) &&
                     lines.back().substr(20) == "vortel: Terminating." && log->size() >= 2 &&
                     log->compare(log->size() - 2, 2, "\r\n") == 0,
                 quoted(lines.empty() ? "" : lines.back()));
  c.report.check("library freed after Unload", GetModuleHandleA(c.dll_path.c_str()) == nullptr,
                 "still loaded");
  // A worker thread still running would now execute unmapped code and crash the process.
  Sleep(1500);
  c.report.pass("no plug-in thread outlives the library (1.5 s after freeing)");
}

// The release build shows no box at all by itself: its notice would be one too many.
void check_no_other_boxes(Context& c) {
  std::vector<std::string> others;
  for (const SeenBox& box : c.watcher.seen())
    if (box.title != kNoticeTitle || !c.diagnostic) others.push_back(quoted(to_utf8(box.title)));
  c.report.check("no other dialog box shown", others.empty(), "also shown " + joined(others));
}

// --- unattended running ------------------------------------------------------------------------

Report* g_report = nullptr;

LONG WINAPI on_crash(EXCEPTION_POINTERS* info) {
  char why[96];
  std::snprintf(why, sizeof why, "exception %s at %p", hex(info->ExceptionRecord->ExceptionCode).c_str(),
                info->ExceptionRecord->ExceptionAddress);
  g_report->fail("no crash", why);
  ExitProcess(static_cast<UINT>(g_report->finish()));
}

// Ends the program with a verdict should any stage hang (e.g. a box that cannot be closed).
class Deadline {
 public:
  Deadline(Report& report, int seconds)
      : thread_([this, &report, seconds] {
          std::unique_lock lock(mutex_);
          if (!done_cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            report.fail("deadline", "the check did not finish within " + std::to_string(seconds) + " s");
            ExitProcess(static_cast<UINT>(report.finish()));
          }
        }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

int run(const std::string& dll_path, const std::string& work_dir, const std::optional<OnlineServer>& server) {
  Report report;
  g_report = &report;
  SetUnhandledExceptionFilter(on_crash);
  Deadline deadline(report, kDeadlineSeconds);

  CreateDirectoryA(work_dir.c_str(), nullptr);
  if (!report.check("enter the work folder", SetCurrentDirectoryA(work_dir.c_str()), work_dir))
    return report.finish();
  DeleteFileA(kLogFile.c_str());  // the log is appended to; start from none

  NoticeWatcher watcher;
  hostsim::Host host;
  Context c{report, host, watcher, dll_path};
  seed_profile(c);

  if (!report.check("host loads the plug-in", host.load_plugin(dll_path), host.error())) {
    check_notice(c);
    return report.finish();
  }
  c.module = GetModuleHandleA(dll_path.c_str());
  const PluginInfo* info = host.plugin_info(0);
  c.diagnostic = info == nullptr || info->description == nullptr ||
                 std::strncmp(info->description, "Release build: ", 15) != 0;
  if (!report.check("plug-in module mapped", c.module != nullptr, "GetModuleHandle failed"))
    return report.finish();

  if (c.diagnostic) check_notice(c);
  check_image(c);
  check_resources(c);
  check_plugin_info(c);
  check_services(c);
  check_icons(c);
  check_settings(c);
  check_menu(c);
  check_log_after_load(c);
  check_modules_loaded(c);
  if (server) check_online(report, host, kModule, kLogFile, kEmail, kPassword, *server);
  if (server) check_message(report, host, kModule, kLogFile, kEmail, c.diagnostic);
  if (server) check_avatar(report, host, kModule, kEmail, server->avatar_port);
  if (server) check_restarts(report, host, kModule, kLogFile);
  check_unload(c);
  check_no_other_boxes(c);
  check_dialogs(report, host, watcher, c.dll_path, kModule);
  return report.finish();
}

}  // namespace
}  // namespace wincheck

int main(int argc, char** argv) {
  if (argc != 3 && argc != 6) {
    std::fprintf(stderr, "usage: wincheck PATH\\MRIM.dll WORK_FOLDER [ADDRESS_PORT MRIM_PORT AVATAR_PORT]\n");
    return 2;
  }
  std::optional<wincheck::OnlineServer> server;
  if (argc == 6) {
    server = wincheck::OnlineServer{static_cast<uint16_t>(std::atoi(argv[3])),
                                    static_cast<uint16_t>(std::atoi(argv[4])),
                                    static_cast<uint16_t>(std::atoi(argv[5]))};
  }
  // Absolute paths first: the work folder becomes the current folder.
  return wincheck::run(wincheck::full_path(argv[1]), wincheck::full_path(argv[2]), server);
}
