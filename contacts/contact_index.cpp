// The account's contacts by address (see contact_index.h).
//
// Locking: index_mutex guards the map and its flags and is never held across a host call (a
// host may call our hooks from another thread while it serves us). A rebuild walks the host's
// contacts unlocked into a new map and swaps it in.
#include "contacts/contact_index.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/host_services.h"
#include "core/protocol_state.h"

namespace {

using AddressMap = std::unordered_map<std::string, HANDLE>;

std::mutex index_mutex;
AddressMap by_address;
// The other way round, so that a contact's new address or its deletion costs no walk either.
std::unordered_map<HANDLE, std::string> by_contact;
bool built = false;
// Set when a lookup found the index out of step with the host (a change no hook reported).
bool dirty = false;
// The host the index was built from: a new host (a reload) starts afresh.
const PluginLink* built_for = nullptr;

HANDLE as_handle(INT_PTR value) { return reinterpret_cast<HANDLE>(value); }

// Addresses of this account's contacts; the first contact in the host's order keeps an address
// that two contacts share, as the walk of old did.
AddressMap walk_host() {
  AddressMap map;
  const char* module = protocol_state.module_name;
  for (HANDLE contact = as_handle(call_service(MS_DB_CONTACT_FINDFIRST, 0, 0)); contact != nullptr;
       contact = as_handle(call_service(MS_DB_CONTACT_FINDNEXT, reinterpret_cast<WPARAM>(contact), 0))) {
    if (!mrim_contact_is_ours(contact)) continue;
    SettingVariant email;
    if (!mrim_read_text_setting(contact, module, "EMail", &email)) continue;
    map.emplace(email.text, contact);
    free_setting(&email);
  }
  return map;
}

bool hooks_installed() {
  return protocol_state.hook_setting_changed.load() != nullptr &&
         protocol_state.hook_contact_deleted.load() != nullptr;
}

bool has_address(HANDLE contact, const char* address) {
  SettingVariant email;
  if (!mrim_read_text_setting(contact, protocol_state.module_name, "EMail", &email)) return false;
  bool same = strcmp(email.text, address) == 0;
  free_setting(&email);
  return same;
}

void erase_contact(HANDLE contact) {
  auto entry = by_contact.find(contact);
  if (entry == by_contact.end()) return;
  auto address = by_address.find(entry->second);
  if (address != by_address.end() && address->second == contact) by_address.erase(address);
  by_contact.erase(entry);
}

// Only the first contact of an address is found by it, as in the host's order.
void insert(const std::string& address, HANDLE contact) {
  if (by_address.emplace(address, contact).second) by_contact[contact] = address;
}

}  // namespace

HANDLE contact_index_find(const char* address) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh;
    {
      std::lock_guard lock(index_mutex);
      // Without the hooks nothing would tell the index of changes: every lookup walks, as
      // lookups always did.
      fresh = built && !dirty && built_for == plugin_link && hooks_installed();
    }
    if (!fresh) {
      AddressMap map = walk_host();
      std::lock_guard lock(index_mutex);
      by_address.swap(map);
      by_contact.clear();
      for (const auto& [text, contact] : by_address) by_contact[contact] = text;
      built = true;
      dirty = false;
      built_for = plugin_link;
    }
    HANDLE found = nullptr;
    {
      std::lock_guard lock(index_mutex);
      auto entry = by_address.find(address);
      if (entry != by_address.end()) found = entry->second;
    }
    if (found == nullptr) return nullptr;
    // A hit is checked against the host: a change the hooks did not report makes the index
    // walk once more rather than answer wrong.
    if (has_address(found, address)) return found;
    std::lock_guard lock(index_mutex);
    dirty = true;
  }
  return nullptr;
}

void contact_index_add(const char* address, HANDLE contact) {
  std::lock_guard lock(index_mutex);
  if (built) insert(address, contact);
}

void contact_index_setting_written(HANDLE contact, const SettingWrite* change) {
  if (contact == nullptr || change == nullptr || change->module == nullptr || change->setting == nullptr)
    return;
  const char* module = protocol_state.module_name;
  bool address = strcmp(change->module, module) == 0 && strcmp(change->setting, "EMail") == 0;
  // The host names a contact's protocol in its "Protocol"/"p" setting, and writes it when a
  // contact is given to a protocol: every new contact of ours passes here first.
  bool owner = strcmp(change->module, "Protocol") == 0 && strcmp(change->setting, "p") == 0;
  if (!address && !owner) return;
  const char* text = change->value.type == DBVT_ASCIIZ ? change->value.text : nullptr;
  if (owner) {
    // Becoming ours brings the contact's address along, if it has one yet (a contact we
    // create gets it right after); leaving us takes it out. Neither needs a walk.
    bool ours = text != nullptr && strcmp(text, module) == 0;
    std::string address_text;
    SettingVariant email;
    bool has_email = ours && mrim_read_text_setting(contact, module, "EMail", &email);
    if (has_email) {
      address_text = email.text;
      free_setting(&email);
    }
    std::lock_guard lock(index_mutex);
    if (!built) return;
    erase_contact(contact);
    if (has_email) insert(address_text, contact);
    return;
  }
  // An address written before the contact is ours counts once the protocol is written.
  if (!mrim_contact_is_ours(contact)) return;
  std::lock_guard lock(index_mutex);
  if (!built) return;
  erase_contact(contact);
  if (text != nullptr) insert(text, contact);
}

void contact_index_forget(HANDLE contact) {
  std::lock_guard lock(index_mutex);
  erase_contact(contact);
}

void contact_index_reset() {
  std::lock_guard lock(index_mutex);
  by_address.clear();
  by_contact.clear();
  built = false;
  dirty = false;
  built_for = nullptr;
}
