// The host stand-in: plays the messenger host for tests, tools and the Windows check program.
// It loads plug-in files, publishes the PluginLink table, keeps a thread-safe registry of
// services and events, a profile database, a language pack and a network library, and records
// every call a plug-in makes into it so that tests can observe them.
//
// The PluginLink entries are plain functions without a context argument, so one Host is
// active per process at a time; it may hold several plug-ins (one account each).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace hostsim {

using Handle = uintptr_t;  // contact, hook, service and network handles as the plug-in sees them

// The version a Host hands to MirandaPluginInfo unless it is told another. Below
// HOST_VERSION_UTF8 the host knows no UTF-8: it refuses UTF-8 settings and offers no
// "DB/Contact/GetSettingStr".
constexpr DWORD kDefaultHostVersion = 0x00080000;

// A typed setting value as the profile stores it.
struct Setting {
  BYTE type = DBVT_DELETED;  // DBVT_BYTE, DBVT_WORD, DBVT_DWORD, DBVT_ASCIIZ or DBVT_UTF8
  DWORD number = 0;
  std::string text;  // code page 1251 for DBVT_ASCIIZ, UTF-8 for DBVT_UTF8
  bool operator==(const Setting&) const = default;
  bool is_text() const { return type == DBVT_ASCIIZ || type == DBVT_UTF8; }

  static Setting byte(BYTE v) { return {DBVT_BYTE, v, {}}; }
  static Setting word(WORD v) { return {DBVT_WORD, v, {}}; }
  static Setting dword(DWORD v) { return {DBVT_DWORD, v, {}}; }
  static Setting string(std::string v) { return {DBVT_ASCIIZ, 0, std::move(v)}; }
  static Setting utf8(std::string v) { return {DBVT_UTF8, 0, std::move(v)}; }
};

struct StoredEvent {
  Handle handle = 0;
  Handle contact = 0;
  std::string module;
  DWORD timestamp = 0;
  DWORD flags = 0;
  WORD type = 0;
  std::vector<BYTE> blob;
};

// What the plug-ins told the host, in order of arrival, for tests to inspect.
struct AckRecord {
  std::string module;
  Handle contact = 0;
  int type = 0;
  int result = 0;
  uintptr_t process = 0;
  intptr_t param = 0;
  std::string param_text;                   // for message, away-message and search acks whose param is a text
  std::optional<std::string> search_email;  // for search data acks: the result record's e-mail
  // The rest of a search data ack's record, copied whole: its size member, the texts it points
  // to (none when a pointer is null) and whether its reserved bytes are all zero.
  int search_record_size = 0;
  std::optional<std::string> search_nick, search_first_name, search_last_name;
  bool search_reserved_zero = false;
  std::vector<BYTE> search_record;  // the record as the host keeps it, its size member's bytes
  // For avatar acks with a record: its format and file, copied during the call.
  int avatar_format = 0;
  std::optional<std::string> avatar_path;
};
struct TypingRecord {
  Handle contact = 0;
  int seconds = 0;
};
struct MenuItemRecord {
  int size = 0;
  std::string name, service, contact_owner;
  DWORD flags = 0;
  int position = 0;
  Handle handle = 0;
};
struct PageRecord {  // options and details pages
  std::string kind;  // "options" or "userinfo"
  Handle window = 0;
  OptionsPage page{};
  std::string title, group;
};
struct TrayNotice {
  std::string protocol, title, text;
  DWORD info_flags = 0;
  UINT timeout = 0;
};
struct SettingWriteRecord {
  Handle contact = 0;
  std::string module, setting;
  Setting value;
};
// A service call a plug-in made through its PluginLink, as record_calls keeps it.
struct ServiceCall {
  std::string service;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  std::vector<BYTE> sent;  // "Netlib/Send": the bytes handed over
};
struct MessageBoxRecord {
  std::string text_utf8, title_utf8;
  unsigned type = 0;
};

class Profile;
class Netlib;

class Host {
 public:
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // The host active in this process, or null.
  static Host* current();

  // --- the host's version -------------------------------------------------------------------
  // What MirandaPluginInfo is told, and what the host's services take: from HOST_VERSION_UTF8
  // on, UTF-8 settings and "DB/Contact/GetSettingStr". Set before plug-ins are loaded, which
  // may decide once what the host can do.
  void set_version(DWORD version);
  DWORD version() const;
  bool takes_utf8() const { return version() >= HOST_VERSION_UTF8; }

  // --- plug-ins -------------------------------------------------------------------------
  // Loads the file, calls MirandaPluginInfo and Load; false (with a reason in error())
  // when the file or an export is missing. Several plug-ins may be loaded.
  bool load_plugin(const std::string& path);
  // Raises "Miranda/System/ModulesLoaded" once all plug-ins are loaded.
  void modules_loaded();
  // Calls Unload of every loaded plug-in and frees the libraries, last loaded first.
  void unload_plugins();
  const PluginInfo* plugin_info(size_t index = 0) const;
  const std::string& error() const;
  const PluginLink* plugin_link() const;

  // --- services and events ----------------------------------------------------------------
  // std::function so that the host's own services can capture state; the plug-ins' handlers
  // arrive as plain function pointers through the PluginLink table.
  using Service = std::function<INT_PTR(WPARAM, LPARAM)>;
  // 0 when a service of that name exists already (the first one stays).
  Handle create_service(const std::string& name, Service fn);
  bool destroy_service(const std::string& name);
  // Gives the service a new function under its handle and returns the old one (empty when
  // there was none; the service is then created), so that a test can answer one service
  // itself and still pass calls on to the host's own.
  Service replace_service(const std::string& name, Service fn);
  bool service_exists(const std::string& name) const;
  // Returns the service's result; a missing service answers CALLSERVICE_NOTFOUND.
  INT_PTR call_service(const std::string& name, WPARAM w = 0, LPARAM l = 0);
  static constexpr INT_PTR CALLSERVICE_NOTFOUND = static_cast<INT_PTR>(0x80000000);
  Handle hook_event(const std::string& name, Service fn);
  bool unhook_event(Handle hook);
  // Delivers synchronously on the calling thread to every hook, in hooking order.
  void raise_event(const std::string& name, WPARAM w = 0, LPARAM l = 0);
  std::vector<std::string> service_names() const;  // in creation order
  std::vector<std::string> hooked_events() const;  // one entry per live hook

  // --- the profile database ---------------------------------------------------------------
  // Profile gives raw access (seeding, inspection) without events or records. The methods
  // below behave like the host's own services: writes are recorded and raise
  // "DB/Contact/SettingChanged", a deletion raises "DB/Contact/Deleted" first. A UTF-8 value is
  // refused by a host before HOST_VERSION_UTF8, and by any host when its bytes are no UTF-8.
  Profile& profile();
  Handle add_contact(const std::string& protocol = {});
  bool delete_contact(Handle contact);
  bool write_setting(Handle contact, const std::string& module, const std::string& name,
                     const Setting& value);
  std::optional<Setting> setting(Handle contact, const std::string& module, const std::string& name) const;

  // The folder "DB/GetProfilePath" names. A host made without one gets a fresh temporary
  // folder of its own, removed with it; one set here is the caller's and stays.
  void set_profile_folder(const std::string& folder);
  std::string profile_folder() const;

  // --- the network library ----------------------------------------------------------------
  Netlib& netlib();

  // --- language pack ------------------------------------------------------------------------
  // Identity unless a table is loaded. Translated texts live as long as the host.
  void load_translations(std::map<std::string, std::string> table);

  // --- what the plug-ins did --------------------------------------------------------------
  std::vector<AckRecord> acks() const;
  std::vector<TypingRecord> typing() const;
  std::vector<MenuItemRecord> menu_items() const;
  std::vector<PageRecord> pages() const;
  std::vector<TrayNotice> tray_notices() const;
  std::vector<SettingWriteRecord> setting_writes() const;  // every write, in order
  std::vector<MessageBoxRecord> message_boxes() const;
  std::vector<std::string> registered_protocols() const;
  std::vector<Handle> translated_dialogs() const;  // "LangPack/TranslateDialog" windows
  // Off until switched on: every service call of the plug-ins, listed as it arrives, before
  // the service runs (so a call made from inside a service comes after it).
  void record_calls(bool on);
  // On until switched off: every setting write in setting_writes(). A program that runs for
  // long (the console) has no use for the list, which would only grow.
  void record_setting_writes(bool on);
  std::vector<ServiceCall> calls() const;
  void clear_records();
  // Blocks until pred() holds or the time runs out; re-checked whenever the host records
  // something, and every 50 ms. For end-to-end tests that wait for the plug-in's threads.
  bool wait_until(const std::function<bool()>& pred, int timeout_ms);
  // Lets a test decide what the tray answers (0 shown, non-zero refused) and whether the
  // service exists at all.
  void set_tray_available(bool available, INT_PTR result = 0);

  // Internal: used by the host's own parts to record and wake waiters.
  void notify_changed();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend struct HostAccess;
};

}  // namespace hostsim
