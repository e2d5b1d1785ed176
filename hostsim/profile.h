// The host stand-in's profile database: contacts, their owning protocol, typed settings per
// contact and module (contact 0 is the account) and database events with their blobs.
//
// It is a plain thread-safe store: it raises no events and records nothing; the Host's
// services do that around it. Everything lives in ordinary maps keyed by handle, in the
// shape a persistent store would load and save.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hostsim/host.h"

namespace hostsim {

class Profile {
 public:
  using SettingKey = std::pair<std::string, std::string>;  // module, setting name

  Profile();

  // --- contacts (creation order is handle order) -------------------------------------------
  Handle add_contact();
  // Removes the contact with its settings and events; false when there is no such contact.
  bool delete_contact(Handle contact);
  bool contact_exists(Handle contact) const;
  std::vector<Handle> contacts() const;
  Handle first_contact() const;               // 0 when there is none
  Handle next_contact(Handle contact) const;  // 0 after the last or for an unknown contact
  bool set_protocol(Handle contact, const std::string& protocol);
  std::optional<std::string> protocol(Handle contact) const;

  // --- settings -----------------------------------------------------------------------------
  // Contact 0 (the account) always exists. A write fails for an unknown contact or a value
  // whose type is not one of the five the host stores.
  bool write_setting(Handle contact, const std::string& module, const std::string& name,
                     const Setting& value);
  std::optional<Setting> setting(Handle contact, const std::string& module, const std::string& name) const;
  // The value as it would be stored (numbers cut to their type's width); none for a type
  // the host does not store.
  static std::optional<Setting> normalized(const Setting& value);
  bool delete_setting(Handle contact, const std::string& module, const std::string& name);
  std::map<SettingKey, Setting> settings(Handle contact) const;

  // --- events -------------------------------------------------------------------------------
  // Stores the event under a new handle (the one in `event` is ignored); 0 for an unknown
  // contact.
  Handle add_event(StoredEvent event);
  std::optional<StoredEvent> event(Handle handle) const;
  std::vector<StoredEvent> events(Handle contact) const;  // in order of addition
  // Gives every event of one contact to another. Handles stay, and with them each event's place
  // in the order of addition. How many moved; none when either contact is unknown.
  size_t move_events(Handle from, Handle to);

 private:
  struct Contact {
    std::string protocol;
    std::map<SettingKey, Setting> settings;
  };
  using Contacts = std::map<Handle, Contact>;
  // Called with mu_ held; end() for an unknown handle.
  Contacts::iterator find(Handle contact);
  Contacts::const_iterator find(Handle contact) const;

  mutable std::mutex mu_;
  Contacts contacts_;  // in the order they were added; includes the account as handle 0
  // A host reaches a contact's record straight from its handle, whatever the list's length;
  // a search of the ordered map would make every setting cost more in a longer list.
  std::unordered_map<Handle, Contacts::iterator> by_handle_;
  std::map<Handle, StoredEvent> events_;
  Handle next_contact_ = 1;
  Handle next_event_ = 1;
};

}  // namespace hostsim
