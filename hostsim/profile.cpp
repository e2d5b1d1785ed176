// The host stand-in's in-memory profile database (see profile.h).
#include "hostsim/profile.h"

namespace hostsim {

Profile::Profile() { by_handle_[0] = contacts_.try_emplace(0).first; }

Profile::Contacts::iterator Profile::find(Handle contact) {
  auto entry = by_handle_.find(contact);
  return entry == by_handle_.end() ? contacts_.end() : entry->second;
}

Profile::Contacts::const_iterator Profile::find(Handle contact) const {
  auto entry = by_handle_.find(contact);
  return entry == by_handle_.end() ? contacts_.end() : Contacts::const_iterator(entry->second);
}

Handle Profile::add_contact() {
  std::lock_guard lock(mu_);
  Handle handle = next_contact_++;
  by_handle_[handle] = contacts_.try_emplace(handle).first;
  return handle;
}

bool Profile::delete_contact(Handle contact) {
  std::lock_guard lock(mu_);
  auto it = find(contact);
  if (contact == 0 || it == contacts_.end()) return false;
  contacts_.erase(it);
  by_handle_.erase(contact);
  std::erase_if(events_, [&](const auto& entry) { return entry.second.contact == contact; });
  return true;
}

bool Profile::contact_exists(Handle contact) const {
  std::lock_guard lock(mu_);
  return contact != 0 && find(contact) != contacts_.end();
}

std::vector<Handle> Profile::contacts() const {
  std::lock_guard lock(mu_);
  std::vector<Handle> result;
  for (const auto& [handle, contact] : contacts_)
    if (handle != 0) result.push_back(handle);
  return result;
}

Handle Profile::first_contact() const { return next_contact(0); }

Handle Profile::next_contact(Handle contact) const {
  std::lock_guard lock(mu_);
  // A contact deleted while a caller walks the list ends the walk rather than restarting it.
  auto it = find(contact);
  if (it == contacts_.end()) return 0;
  ++it;
  return it == contacts_.end() ? 0 : it->first;
}

bool Profile::set_protocol(Handle contact, const std::string& protocol) {
  std::lock_guard lock(mu_);
  auto it = find(contact);
  if (contact == 0 || it == contacts_.end()) return false;
  it->second.protocol = protocol;
  return true;
}

std::optional<std::string> Profile::protocol(Handle contact) const {
  std::lock_guard lock(mu_);
  auto it = find(contact);
  if (contact == 0 || it == contacts_.end() || it->second.protocol.empty()) return std::nullopt;
  return it->second.protocol;
}

std::optional<Setting> Profile::normalized(const Setting& value) {
  switch (value.type) {
    case DBVT_BYTE:
      return Setting::byte(static_cast<BYTE>(value.number));
    case DBVT_WORD:
      return Setting::word(static_cast<WORD>(value.number));
    case DBVT_DWORD:
      return Setting::dword(value.number);
    case DBVT_ASCIIZ:
      return Setting::string(value.text);
    case DBVT_UTF8:
      return Setting::utf8(value.text);
    default:
      return std::nullopt;
  }
}

bool Profile::write_setting(Handle contact, const std::string& module, const std::string& name,
                            const Setting& value) {
  std::optional<Setting> stored = normalized(value);
  if (!stored) return false;
  std::lock_guard lock(mu_);
  auto it = find(contact);
  if (it == contacts_.end()) return false;
  it->second.settings[{module, name}] = std::move(*stored);
  return true;
}

std::optional<Setting> Profile::setting(Handle contact, const std::string& module,
                                        const std::string& name) const {
  std::lock_guard lock(mu_);
  auto it = find(contact);
  if (it == contacts_.end()) return std::nullopt;
  auto found = it->second.settings.find({module, name});
  if (found == it->second.settings.end()) return std::nullopt;
  return found->second;
}

bool Profile::delete_setting(Handle contact, const std::string& module, const std::string& name) {
  std::lock_guard lock(mu_);
  auto it = find(contact);
  return it != contacts_.end() && it->second.settings.erase({module, name}) != 0;
}

std::map<Profile::SettingKey, Setting> Profile::settings(Handle contact) const {
  std::lock_guard lock(mu_);
  auto it = find(contact);
  return it == contacts_.end() ? std::map<SettingKey, Setting>{} : it->second.settings;
}

Handle Profile::add_event(StoredEvent event) {
  std::lock_guard lock(mu_);
  if (find(event.contact) == contacts_.end()) return 0;
  event.handle = next_event_++;
  Handle handle = event.handle;
  events_.emplace(handle, std::move(event));
  return handle;
}

std::optional<StoredEvent> Profile::event(Handle handle) const {
  std::lock_guard lock(mu_);
  auto it = events_.find(handle);
  if (it == events_.end()) return std::nullopt;
  return it->second;
}

std::vector<StoredEvent> Profile::events(Handle contact) const {
  std::lock_guard lock(mu_);
  std::vector<StoredEvent> result;
  for (const auto& [handle, event] : events_)
    if (event.contact == contact) result.push_back(event);
  return result;
}

size_t Profile::move_events(Handle from, Handle to) {
  std::lock_guard lock(mu_);
  if (find(from) == contacts_.end() || find(to) == contacts_.end()) return 0;
  size_t moved = 0;
  for (auto& [handle, event] : events_)
    if (event.contact == from) {
      event.contact = to;
      ++moved;
    }
  return moved;
}

}  // namespace hostsim
