// The account's contacts by address (see contact_index.h).
//
// Addresses are e-mail addresses: "Ann@Mrim.Test" and "ann@mrim.test" are one contact, so the
// index keys on the address in lower case. Two contacts may share an address (a host keeps what
// it is given); both are kept, in the host's order, and the first is the one found, so that
// forgetting it brings the second forward instead of losing it.
//
// Locking: index_mutex guards the maps and flags and is never held across a host call (a host
// may call our hooks from another thread while it serves us). A rebuild walks the host's
// contacts with rebuild_mutex held but not index_mutex, so one rebuild runs at a time; the hooks
// that run meanwhile change the old maps as usual and are also noted, and the notes are
// replayed onto the new maps before they are swapped in, so no update is lost to the walk.
#include "contacts/contact_index.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/host_services.h"
#include "core/protocol_state.h"

namespace {

struct Index {
  std::unordered_map<std::string, std::vector<HANDLE>> by_address;  // key: the address in lower case
  // The other way round, so that a contact's new address or its deletion costs no walk either.
  std::unordered_map<HANDLE, std::string> by_contact;
};

// What a hook did while a rebuild walked: the contact's address became `key`, or (empty key)
// the contact left the index.
struct Update {
  HANDLE contact;
  std::string key;
};

std::mutex index_mutex;
Index current;
bool built = false;
// Set when a lookup found the index out of step with the host (a change no hook reported).
bool dirty = false;
// The host the index was built from: a new host (a reload) starts afresh.
const PluginLink* built_for = nullptr;
bool rebuilding = false;
std::vector<Update> during_rebuild;

std::mutex rebuild_mutex;

HANDLE as_handle(INT_PTR value) { return reinterpret_cast<HANDLE>(value); }

std::string key_of(const char* address) {
  std::string key(address);
  for (char& c : key)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return key;
}

void erase_contact(Index& into, HANDLE contact) {
  auto entry = into.by_contact.find(contact);
  if (entry == into.by_contact.end()) return;
  auto address = into.by_address.find(entry->second);
  if (address != into.by_address.end()) {
    std::vector<HANDLE>& contacts = address->second;
    contacts.erase(std::remove(contacts.begin(), contacts.end(), contact), contacts.end());
    if (contacts.empty()) into.by_address.erase(address);
  }
  into.by_contact.erase(entry);
}

void insert(Index& into, const std::string& key, HANDLE contact) {
  auto known = into.by_contact.find(contact);
  if (known != into.by_contact.end() && known->second == key) return;  // keeps its place among equals
  erase_contact(into, contact);
  into.by_address[key].push_back(contact);
  into.by_contact[contact] = key;
}

// The lock is held: the change goes into the index, and into the notes while a walk is under way.
void apply_locked(HANDLE contact, const std::string* key) {
  if (rebuilding) during_rebuild.push_back(Update{contact, key != nullptr ? *key : std::string()});
  if (!built) return;
  if (key != nullptr)
    insert(current, *key, contact);
  else
    erase_contact(current, contact);
}

// Addresses of this account's contacts, in the host's order.
Index walk_host() {
  Index walked;
  const char* module = protocol_state.module_name;
  for (HANDLE contact = as_handle(call_service(MS_DB_CONTACT_FINDFIRST, 0, 0)); contact != nullptr;
       contact = as_handle(call_service(MS_DB_CONTACT_FINDNEXT, reinterpret_cast<WPARAM>(contact), 0))) {
    if (!mrim_contact_is_ours(contact)) continue;
    SettingVariant email;
    if (!mrim_read_text_setting(contact, module, "EMail", &email)) continue;
    std::string key = key_of(email.text);
    free_setting(&email);
    if (key.empty()) continue;
    walked.by_address[key].push_back(contact);
    walked.by_contact[contact] = key;
  }
  return walked;
}

void rebuild() {
  std::lock_guard single(rebuild_mutex);
  {
    std::lock_guard lock(index_mutex);
    rebuilding = true;
    during_rebuild.clear();
  }
  Index walked = walk_host();
  std::lock_guard lock(index_mutex);
  // A hook that ran after the walk passed its contact is newer than what the walk read.
  for (const Update& update : during_rebuild) {
    if (update.key.empty())
      erase_contact(walked, update.contact);
    else
      insert(walked, update.key, update.contact);
  }
  during_rebuild.clear();
  rebuilding = false;
  current = std::move(walked);
  built = true;
  dirty = false;
  built_for = plugin_link;
}

bool hooks_installed() {
  return protocol_state.hook_setting_changed.load() != nullptr &&
         protocol_state.hook_contact_deleted.load() != nullptr;
}

bool has_address(HANDLE contact, const std::string& key) {
  SettingVariant email;
  if (!mrim_read_text_setting(contact, protocol_state.module_name, "EMail", &email)) return false;
  bool same = key_of(email.text) == key;
  free_setting(&email);
  return same;
}

}  // namespace

HANDLE contact_index_find(const char* address) {
  const std::string key = key_of(address);
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh;
    {
      std::lock_guard lock(index_mutex);
      // Without the hooks nothing would tell the index of changes: every lookup walks, as
      // lookups always did.
      fresh = built && !dirty && built_for == plugin_link && hooks_installed();
    }
    if (!fresh) rebuild();
    HANDLE found = nullptr;
    {
      std::lock_guard lock(index_mutex);
      auto entry = current.by_address.find(key);
      if (entry != current.by_address.end() && !entry->second.empty()) found = entry->second.front();
    }
    if (found == nullptr) return nullptr;
    // A hit is checked against the host: a change the hooks did not report makes the index
    // walk once more rather than answer wrong.
    if (has_address(found, key)) return found;
    std::lock_guard lock(index_mutex);
    dirty = true;
  }
  return nullptr;
}

void contact_index_add(const char* address, HANDLE contact) {
  std::string key = key_of(address);
  std::lock_guard lock(index_mutex);
  apply_locked(contact, &key);
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
  std::string key;
  bool listed = false;
  if (owner) {
    // Becoming ours brings the contact's address along, if it has one yet (a contact we
    // create gets it right after); leaving us takes it out. Neither needs a walk.
    SettingVariant email;
    if (text != nullptr && strcmp(text, module) == 0 &&
        mrim_read_text_setting(contact, module, "EMail", &email)) {
      key = key_of(email.text);
      free_setting(&email);
      listed = !key.empty();
    }
  } else {
    // An address written before the contact is ours counts once the protocol is written.
    if (!mrim_contact_is_ours(contact)) return;
    SettingVariant email;
    if (text != nullptr && text[0] != '\0') {
      key = key_of(text);
      listed = true;
    } else if (change->value.type == DBVT_UTF8 && mrim_read_text_setting(contact, module, "EMail", &email)) {
      // A host that takes UTF-8 writes the address so (its add window does); read back as host
      // text, it is the address every lookup compares.
      key = key_of(email.text);
      free_setting(&email);
      listed = !key.empty();
    }
  }
  std::lock_guard lock(index_mutex);
  apply_locked(contact, listed ? &key : nullptr);
}

void contact_index_forget(HANDLE contact) {
  std::lock_guard lock(index_mutex);
  apply_locked(contact, nullptr);
}

void contact_index_reset() {
  std::lock_guard lock(index_mutex);
  current = Index{};
  built = false;
  dirty = false;
  built_for = nullptr;
}
