// The account's contacts as the host sees them: the contacts whose protocol is the plug-in's
// module, each found by its "EMail" setting, with the name the host's list shows
// ("CList"/"MyHandle"), its presence ("Status", with the texts "StatusTitle" and
// "StatusDesc"), visibility ("ApparentMode") and whether it is a permanent member of the list
// ("CList"/"NotOnList") and its group ("CList"/"Group"). Texts are read through the host's
// services, as UTF-8 where the host takes it, and come out as UTF-8.
//
// A real host deletes a contact's history with the contact. The console keeps it instead: the
// events go to a contact of their own that keeps them for the address ("ConsoleHistory"/
// "EMail"), belongs to no protocol and so to no plug-in, and is shown again with the address's
// history.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "event.h"
#include "hostsim/host.h"

namespace console {

// The host's event flag for a message the user sent (the plug-in adds only received ones).
constexpr DWORD kEventSent = 0x2;

struct ContactState {
  hostsim::Handle handle = 0;
  std::string address;
  std::string name;
  std::string status;      // online, away, invisible, na, offline
  std::string visibility;  // normal, visible, invisible
  bool on_list = true;
  std::string group;  // empty when the contact stands in no group
  std::string status_title, status_desc;
  bool auth_pending = false;  // added by us, and not authorized by them yet ("AuthPending")
  std::string client;         // the program they were last seen with ("MirVer"), "NAME VERSION"
  bool ignored = false;       // flagged 0x10 on the server's list ("Flags")
  bool operator==(const ContactState&) const = default;
};

// One entry of a contact's history.
struct HistoryEntry {
  uint32_t time = 0;
  bool outgoing = false;
  bool auth_request = false;
  bool post = false;  // a microblog post of the contact's, not a message to us
  std::string text;
};

class ContactBook {
 public:
  ContactBook(hostsim::Host& host, std::string module) : host_(host), module_(std::move(module)) {}
  const std::string& module() const { return module_; }

  bool is_ours(hostsim::Handle contact) const;
  std::vector<hostsim::Handle> contacts() const;
  // By address; letter case does not matter when no contact matches exactly.
  std::optional<hostsim::Handle> find(const std::string& address) const;
  ContactState state(hostsim::Handle contact) const;
  // What was kept of the address's history when it was deleted, then the contact's own.
  std::vector<HistoryEntry> history(hostsim::Handle contact) const;
  // The history of an address that may have no contact any more.
  std::vector<HistoryEntry> history_of(const std::string& address) const;
  // Called while the host deletes the contact, before its events go: keeps them for its
  // address.
  void keep_history(hostsim::Handle contact);
  // The handle of the contact's most recent authorization request of this account, or 0.
  hostsim::Handle last_auth_request(hostsim::Handle contact) const;
  // The account's groups: those of the server's list in its order (the plug-in keeps them as
  // the account's "GroupCount" and "Group0", "Group1", ...), then any other group a contact
  // stands in.
  std::vector<std::string> groups() const;

  // A text setting of the contact under the account's module (or another), as UTF-8.
  std::optional<std::string> text(hostsim::Handle contact, const std::string& name) const;
  std::optional<std::string> text(hostsim::Handle contact, const std::string& module,
                                  const std::string& name) const;
  std::optional<uint32_t> number(hostsim::Handle contact, const std::string& module,
                                 const std::string& name) const;

 private:
  // The contact that keeps the address's history; 0 when there is none.
  hostsim::Handle keeper_of(const std::string& address) const;
  std::vector<HistoryEntry> entries(const std::vector<hostsim::StoredEvent>& events) const;

  hostsim::Host& host_;
  std::string module_;
  std::mutex keep_mu_;  // one keeper per address, whichever thread deletes
};

// A text setting as a host program reads it, through the host's services: in UTF-8 from a
// host that takes it ("DB/Contact/GetSettingStr"), else in its code page ("DB/Contact/
// GetSetting"). None when the setting is missing or no text.
std::optional<std::string> read_text(hostsim::Host& host, hostsim::Handle contact, const std::string& module,
                                     const std::string& name);
// Writes a text as such a program writes it: UTF-8 where the host takes it, else code page
// 1251 with "?" for what that lacks. False when the host refused it.
bool write_text(hostsim::Host& host, hostsim::Handle contact, const std::string& module,
                const std::string& name, const std::string& utf8);

Value contact_value(const ContactState& state);
// The text of a message event's blob, or the reason of an authorization request's, as UTF-8:
// the event's flags say whether the blob holds UTF-8 (DBEF_UTF8) or code page text.
std::string message_text(const std::vector<BYTE>& blob, DWORD flags);
std::string auth_request_text(const std::vector<BYTE>& blob, DWORD flags);
// The contacts of a contacts event's blob (nickname and address for each), as UTF-8.
std::vector<std::pair<std::string, std::string>> sent_contacts(const std::vector<BYTE>& blob, DWORD flags);

}  // namespace console
