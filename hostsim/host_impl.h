// The host stand-in's inner state, shared by its own source files (registry and plug-in
// loading in host.cpp, the host's services in services.cpp, the desktop in os.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "hostsim/host.h"
#include "hostsim/netlib.h"
#include "hostsim/os.h"
#include "hostsim/profile.h"

namespace hostsim {

struct Host::Impl {
  explicit Impl(Host& owner) : host(owner) {}
  Host& host;

  // --- registry -----------------------------------------------------------------------------
  // `owner` is the loaded file whose code a PluginLink caller handed in (0 for the host's
  // own), so that a plug-in's services and hooks go when its library is freed.
  struct ServiceEntry {
    Handle handle = 0;
    std::shared_ptr<const Service> fn;
    uintptr_t owner = 0;
  };
  struct HookEntry {
    std::string event;
    std::shared_ptr<const Service> fn;
    uintptr_t owner = 0;
  };
  mutable std::mutex registry_mu;
  std::map<std::string, ServiceEntry> services;
  std::map<Handle, HookEntry> hooks;  // handles only grow, so this is hooking order
  Handle next_handle = 1;             // shared by services and hooks: a handle names one thing

  Handle add_service(const std::string& name, Service fn, uintptr_t owner);
  Handle add_hook(const std::string& event, Service fn, uintptr_t owner);
  void remove_owned(uintptr_t owner);

  // --- plug-ins -----------------------------------------------------------------------------
  struct Plugin {
    std::string path;
    os::Library library = nullptr;
    const PluginInfo* info = nullptr;
    int (*unload)() = nullptr;
    uintptr_t module = 0;
  };
  mutable std::mutex plugins_mu;
  std::vector<Plugin> plugins;
  std::string error;

  std::atomic<DWORD> version{kDefaultHostVersion};
  Profile profile;
  mutable std::mutex folder_mutex;
  std::string profile_folder;
  bool profile_folder_owned = false;  // made by the host, so removed with it
  std::unique_ptr<Netlib> netlib;

  // --- texts handed out that must stay valid for the host's life ------------------------------
  std::mutex text_mu;
  std::set<std::string> interned;  // node-based: c_str() of an element never moves
  std::map<std::string, std::string> translations;
  const char* intern(const std::string& text);

  // --- what the plug-ins did ------------------------------------------------------------------
  mutable std::mutex records_mu;
  std::vector<AckRecord> acks;
  std::vector<TypingRecord> typing;
  std::vector<MenuItemRecord> menu_items;
  std::vector<PageRecord> pages;
  std::vector<TrayNotice> tray_notices;
  std::vector<SettingWriteRecord> setting_writes;
  std::vector<MessageBoxRecord> message_boxes;
  std::vector<std::string> protocols;
  std::vector<Handle> dialogs;
  bool recording_calls = false;
  bool recording_setting_writes = true;
  std::vector<ServiceCall> calls;
  Handle next_menu_item = 1;
  INT_PTR tray_result = 0;
  // Runs `change` under the records lock, then wakes wait_until.
  template <class F>
  void record(F&& change) {
    {
      std::lock_guard lock(records_mu);
      change();
    }
    host.notify_changed();
  }

  std::mutex wait_mu;
  std::condition_variable wait_cv;
  uint64_t generation = 0;  // bumped by every notify_changed
};

// Host::Impl is private to Host; the host's own files reach it through this friend.
struct HostAccess {
  using Impl = Host::Impl;
  static Impl& impl(Host& host) { return *host.impl_; }
};
using HostImpl = HostAccess::Impl;

// Creates the host's own services (database, protocols, language pack, menus, pages, tray).
void install_host_services(Host& host);
// "Miranda/Systray/Notify" alone, for Host::set_tray_available.
void install_tray_service(Host& host);
// "DB/Contact/GetSettingStr" alone, which only hosts that take UTF-8 have.
void install_setting_str_service(Host& host);

}  // namespace hostsim
