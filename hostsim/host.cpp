// The host stand-in's core: the PluginLink table, the registry of services and events, plug-in
// loading and unloading, and the records tests observe.
#include "hostsim/host.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "hostsim/code_page.h"
#include "hostsim/host_impl.h"

namespace hostsim {

namespace {

std::atomic<Host*> active_host{nullptr};

using PluginInfoFn = const PluginInfo* (*)(DWORD);
using LoadFn = int (*)(PluginLink*);
using UnloadFn = int (*)();

// --- the PluginLink entries: plain functions, so they reach the active host -----------------

HANDLE link_hook_event(const char* event, HostHookFn handler) {
  Host* host = Host::current();
  if (!host || !event || !handler) return nullptr;
  Handle hook =
      HostAccess::impl(*host).add_hook(event, handler, os::module_of(reinterpret_cast<const void*>(handler)));
  return reinterpret_cast<HANDLE>(hook);
}

int link_unhook_event(HANDLE hook) {
  Host* host = Host::current();
  return host && host->unhook_event(reinterpret_cast<Handle>(hook)) ? 0 : 1;
}

HANDLE link_create_service(const char* name, HostServiceFn handler) {
  Host* host = Host::current();
  if (!host || !name || !handler) return nullptr;
  Handle service = HostAccess::impl(*host).add_service(name, handler,
                                                       os::module_of(reinterpret_cast<const void*>(handler)));
  return reinterpret_cast<HANDLE>(service);
}

INT_PTR link_call_service(const char* name, WPARAM w, LPARAM l) {
  Host* host = Host::current();
  if (!host || !name) return Host::CALLSERVICE_NOTFOUND;
  HostImpl& impl = HostAccess::impl(*host);
  bool recording = false;
  {
    std::lock_guard lock(impl.records_mu);
    recording = impl.recording_calls;
  }
  if (recording) {
    ServiceCall call{name, w, l, {}};
    auto* buffer = reinterpret_cast<const NetlibBuffer*>(l);
    if (call.service == MS_NETLIB_SEND && buffer && buffer->data && buffer->length > 0)
      call.sent.assign(buffer->data, buffer->data + buffer->length);
    impl.record([&] { impl.calls.push_back(std::move(call)); });
  }
  return host->call_service(name, w, l);
}

int link_service_exists(const char* name) {
  Host* host = Host::current();
  return host && name && host->service_exists(name) ? 1 : 0;
}

INT_PTR link_unused() { return 0; }

PluginLink plugin_link_table = {
    link_unused,         link_unused, link_unused, link_hook_event,   link_unused,         link_unhook_event,
    link_create_service, link_unused, link_unused, link_call_service, link_service_exists, link_unused,
};

}  // namespace

// --- registry -------------------------------------------------------------------------------

Handle Host::Impl::add_service(const std::string& name, Service fn, uintptr_t owner) {
  std::lock_guard lock(registry_mu);
  if (services.count(name)) return 0;
  Handle handle = next_handle++;
  services[name] = {handle, std::make_shared<const Service>(std::move(fn)), owner};
  return handle;
}

Handle Host::Impl::add_hook(const std::string& event, Service fn, uintptr_t owner) {
  std::lock_guard lock(registry_mu);
  Handle handle = next_handle++;
  hooks[handle] = {event, std::make_shared<const Service>(std::move(fn)), owner};
  return handle;
}

void Host::Impl::remove_owned(uintptr_t owner) {
  if (owner == 0) return;
  std::lock_guard lock(registry_mu);
  std::erase_if(services, [&](const auto& entry) { return entry.second.owner == owner; });
  std::erase_if(hooks, [&](const auto& entry) { return entry.second.owner == owner; });
}

const char* Host::Impl::intern(const std::string& text) {
  std::lock_guard lock(text_mu);
  return interned.insert(text).first->c_str();
}

Host::Host() : impl_(std::make_unique<Impl>(*this)) {
  Host* expected = nullptr;
  if (!active_host.compare_exchange_strong(expected, this))
    throw std::logic_error("another hostsim::Host is active in this process");
  install_host_services(*this);
  impl_->netlib = std::make_unique<Netlib>(*this);
  impl_->netlib->install();
}

Host::~Host() {
  unload_plugins();
  impl_->netlib->shutdown();
  if (impl_->profile_folder_owned) {
    std::error_code ignored;
    std::filesystem::remove_all(impl_->profile_folder, ignored);
  }
  active_host.store(nullptr);
}

void Host::set_profile_folder(const std::string& folder) {
  std::lock_guard lock(impl_->folder_mutex);
  if (impl_->profile_folder_owned) {
    std::error_code ignored;
    std::filesystem::remove_all(impl_->profile_folder, ignored);
  }
  impl_->profile_folder = folder;
  impl_->profile_folder_owned = false;
}

std::string Host::profile_folder() const {
  std::lock_guard lock(impl_->folder_mutex);
  if (impl_->profile_folder.empty()) {
    // Made on first use, so that hosts that never name it leave nothing behind.
    static std::atomic<unsigned> made{0};
    std::error_code error;
    auto base = std::filesystem::temp_directory_path(error);
    for (int attempt = 0; attempt < 100 && impl_->profile_folder.empty(); ++attempt) {
      auto candidate =
          base /
          ("hostsim-profile-" +
           std::to_string(std::hash<std::string>{}(
               std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" + std::to_string(made.fetch_add(1)) +
               "-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))));
      if (std::filesystem::create_directory(candidate, error)) {
        impl_->profile_folder = candidate.string();
        impl_->profile_folder_owned = true;
      }
    }
  }
  return impl_->profile_folder;
}

Host* Host::current() { return active_host.load(); }

void Host::set_version(DWORD version) {
  impl_->version.store(version);
  // A plug-in asks ServiceExists to learn which host it runs in: the older host has none.
  if (version < HOST_VERSION_UTF8)
    destroy_service(MS_DB_CONTACT_GETSETTING_STR);
  else if (!service_exists(MS_DB_CONTACT_GETSETTING_STR))
    install_setting_str_service(*this);
}

DWORD Host::version() const { return impl_->version.load(); }

Handle Host::create_service(const std::string& name, Service fn) {
  return impl_->add_service(name, std::move(fn), 0);
}

bool Host::destroy_service(const std::string& name) {
  std::lock_guard lock(impl_->registry_mu);
  return impl_->services.erase(name) != 0;
}

Host::Service Host::replace_service(const std::string& name, Service fn) {
  std::lock_guard lock(impl_->registry_mu);
  auto it = impl_->services.find(name);
  if (it == impl_->services.end()) {
    impl_->services[name] = {impl_->next_handle++, std::make_shared<const Service>(std::move(fn)), 0};
    return {};
  }
  Service old = *it->second.fn;
  it->second.fn = std::make_shared<const Service>(std::move(fn));
  return old;
}

bool Host::service_exists(const std::string& name) const {
  std::lock_guard lock(impl_->registry_mu);
  return impl_->services.count(name) != 0;
}

INT_PTR Host::call_service(const std::string& name, WPARAM w, LPARAM l) {
  std::shared_ptr<const Service> fn;
  {
    std::lock_guard lock(impl_->registry_mu);
    auto it = impl_->services.find(name);
    if (it == impl_->services.end()) return CALLSERVICE_NOTFOUND;
    fn = it->second.fn;
  }
  // Called without the lock: services call other services and raise events.
  return (*fn)(w, l);
}

Handle Host::hook_event(const std::string& name, Service fn) {
  return impl_->add_hook(name, std::move(fn), 0);
}

bool Host::unhook_event(Handle hook) {
  std::lock_guard lock(impl_->registry_mu);
  return impl_->hooks.erase(hook) != 0;
}

void Host::raise_event(const std::string& name, WPARAM w, LPARAM l) {
  std::vector<std::pair<Handle, std::shared_ptr<const Service>>> targets;
  {
    std::lock_guard lock(impl_->registry_mu);
    for (const auto& [handle, hook] : impl_->hooks)
      if (hook.event == name) targets.emplace_back(handle, hook.fn);
  }
  for (const auto& [handle, fn] : targets) {
    {
      // A hook removed by an earlier handler of this same event is no longer called.
      std::lock_guard lock(impl_->registry_mu);
      if (!impl_->hooks.count(handle)) continue;
    }
    (*fn)(w, l);
  }
}

std::vector<std::string> Host::service_names() const {
  std::map<Handle, std::string> by_handle;
  {
    std::lock_guard lock(impl_->registry_mu);
    for (const auto& [name, service] : impl_->services) by_handle[service.handle] = name;
  }
  std::vector<std::string> names;
  for (auto& [handle, name] : by_handle) names.push_back(std::move(name));
  return names;
}

std::vector<std::string> Host::hooked_events() const {
  std::lock_guard lock(impl_->registry_mu);
  std::vector<std::string> events;
  for (const auto& [handle, hook] : impl_->hooks) events.push_back(hook.event);
  return events;
}

// --- plug-ins -------------------------------------------------------------------------------

bool Host::load_plugin(const std::string& path) {
  std::string reason;
  os::Library library = os::open_library(path, reason);
  if (!library) {
    impl_->error = "cannot load " + path + ": " + reason;
    return false;
  }
  auto info_fn = reinterpret_cast<PluginInfoFn>(os::library_symbol(library, "MirandaPluginInfo"));
  auto load_fn = reinterpret_cast<LoadFn>(os::library_symbol(library, "Load"));
  auto unload_fn = reinterpret_cast<UnloadFn>(os::library_symbol(library, "Unload"));
  if (!info_fn || !load_fn || !unload_fn) {
    impl_->error = path + " lacks MirandaPluginInfo, Load or Unload";
    os::close_library(library);
    return false;
  }
  const PluginInfo* info = info_fn(version());
  if (!info) {
    impl_->error = path + ": MirandaPluginInfo returned no record";
    os::close_library(library);
    return false;
  }
  uintptr_t module = os::module_of(reinterpret_cast<const void*>(load_fn));
  int result = load_fn(&plugin_link_table);
  if (result != 0) {
    // The host drops a plug-in whose Load fails, with whatever it registered.
    impl_->error = path + ": Load returned " + std::to_string(result);
    impl_->remove_owned(module);
    os::close_library(library);
    return false;
  }
  std::lock_guard lock(impl_->plugins_mu);
  impl_->plugins.push_back({path, library, info, unload_fn, module});
  return true;
}

void Host::modules_loaded() { raise_event(ME_SYSTEM_MODULESLOADED, 0, 0); }

void Host::unload_plugins() {
  for (;;) {
    Impl::Plugin plugin;
    {
      std::lock_guard lock(impl_->plugins_mu);
      if (impl_->plugins.empty()) return;
      plugin = impl_->plugins.back();
      impl_->plugins.pop_back();
    }
    plugin.unload();
    // The library's code goes away with it: none of its services or hooks may be reached again.
    impl_->remove_owned(plugin.module);
    os::close_library(plugin.library);
  }
}

const PluginInfo* Host::plugin_info(size_t index) const {
  std::lock_guard lock(impl_->plugins_mu);
  return index < impl_->plugins.size() ? impl_->plugins[index].info : nullptr;
}

const std::string& Host::error() const { return impl_->error; }

const PluginLink* Host::plugin_link() const { return &plugin_link_table; }

// --- profile and network ----------------------------------------------------------------------

Profile& Host::profile() { return impl_->profile; }

Netlib& Host::netlib() { return *impl_->netlib; }

Handle Host::add_contact(const std::string& protocol) {
  Handle contact = impl_->profile.add_contact();
  if (!protocol.empty()) impl_->profile.set_protocol(contact, protocol);
  notify_changed();
  return contact;
}

bool Host::delete_contact(Handle contact) {
  if (!impl_->profile.contact_exists(contact)) return false;
  // Handlers may still read the contact's settings.
  raise_event(ME_DB_CONTACT_DELETED, contact, 0);
  bool deleted = impl_->profile.delete_contact(contact);
  notify_changed();
  return deleted;
}

bool Host::write_setting(Handle contact, const std::string& module, const std::string& name,
                         const Setting& written) {
  // UTF-8 is a type an older host does not know; a newer one checks that it is UTF-8, so that
  // no reader gets code page bytes labelled as UTF-8.
  if (written.type == DBVT_UTF8 && (!takes_utf8() || !is_utf8(written.text))) return false;
  std::optional<Setting> stored = Profile::normalized(written);
  if (!stored || !impl_->profile.write_setting(contact, module, name, *stored)) return false;
  const Setting& value = *stored;
  impl_->record([&] {
    if (impl_->recording_setting_writes) impl_->setting_writes.push_back({contact, module, name, value});
  });
  // The event carries the host's own copies, valid while the handlers run.
  std::string text = value.text;
  SettingWrite change{module.c_str(), name.c_str(), {}};
  change.value.text = nullptr;  // the whole value field, before a narrower number goes in
  change.value.type = value.type;
  if (value.is_text())
    change.value.text = text.data();
  else
    change.value.dword_value = value.number;
  raise_event(ME_DB_CONTACT_SETTINGCHANGED, contact, reinterpret_cast<LPARAM>(&change));
  return true;
}

std::optional<Setting> Host::setting(Handle contact, const std::string& module,
                                     const std::string& name) const {
  return impl_->profile.setting(contact, module, name);
}

// --- language pack ----------------------------------------------------------------------------

void Host::load_translations(std::map<std::string, std::string> table) {
  std::lock_guard lock(impl_->text_mu);
  impl_->translations = std::move(table);
}

// --- records --------------------------------------------------------------------------------

template <class T>
static std::vector<T> copy_locked(std::mutex& mu, const std::vector<T>& items) {
  std::lock_guard lock(mu);
  return items;
}

std::vector<AckRecord> Host::acks() const { return copy_locked(impl_->records_mu, impl_->acks); }
std::vector<TypingRecord> Host::typing() const { return copy_locked(impl_->records_mu, impl_->typing); }
std::vector<MenuItemRecord> Host::menu_items() const {
  return copy_locked(impl_->records_mu, impl_->menu_items);
}
std::vector<PageRecord> Host::pages() const { return copy_locked(impl_->records_mu, impl_->pages); }
std::vector<TrayNotice> Host::tray_notices() const {
  return copy_locked(impl_->records_mu, impl_->tray_notices);
}
std::vector<SettingWriteRecord> Host::setting_writes() const {
  return copy_locked(impl_->records_mu, impl_->setting_writes);
}
std::vector<MessageBoxRecord> Host::message_boxes() const {
  return copy_locked(impl_->records_mu, impl_->message_boxes);
}
std::vector<std::string> Host::registered_protocols() const {
  return copy_locked(impl_->records_mu, impl_->protocols);
}
std::vector<Handle> Host::translated_dialogs() const {
  return copy_locked(impl_->records_mu, impl_->dialogs);
}
void Host::record_calls(bool on) {
  std::lock_guard lock(impl_->records_mu);
  impl_->recording_calls = on;
}

void Host::record_setting_writes(bool on) {
  std::lock_guard lock(impl_->records_mu);
  impl_->recording_setting_writes = on;
}
std::vector<ServiceCall> Host::calls() const { return copy_locked(impl_->records_mu, impl_->calls); }

void Host::clear_records() {
  impl_->record([&] {
    impl_->acks.clear();
    impl_->typing.clear();
    impl_->menu_items.clear();
    impl_->pages.clear();
    impl_->tray_notices.clear();
    impl_->setting_writes.clear();
    impl_->message_boxes.clear();
    impl_->protocols.clear();
    impl_->dialogs.clear();
    impl_->calls.clear();
  });
}

bool Host::wait_until(const std::function<bool()>& pred, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard lock(impl_->wait_mu);
      seen = impl_->generation;
    }
    // pred() runs without the lock: it usually reads the records, which notify under it.
    if (pred()) return true;
    // Also looked at every 50 ms: a predicate may read what the host does not record (the
    // plug-in's log file, the server's state), and would otherwise wait out its whole time.
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return pred();
    std::unique_lock lock(impl_->wait_mu);
    impl_->wait_cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)),
                              [&] { return impl_->generation != seen; });
  }
}

void Host::set_tray_available(bool available, INT_PTR result) {
  {
    std::lock_guard lock(impl_->records_mu);
    impl_->tray_result = result;
  }
  if (!available) {
    destroy_service(MS_CLIST_SYSTRAY_NOTIFY);
  } else if (!service_exists(MS_CLIST_SYSTRAY_NOTIFY)) {
    install_tray_service(*this);
  }
}

void Host::notify_changed() {
  {
    std::lock_guard lock(impl_->wait_mu);
    ++impl_->generation;
  }
  impl_->wait_cv.notify_all();
}

}  // namespace hostsim
