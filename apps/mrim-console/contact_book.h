// The account's contacts as the host sees them: the contacts whose protocol is the plug-in's
// module, each found by its "EMail" setting, with the name the host's list shows
// ("CList"/"MyHandle"), its presence ("Status"), visibility ("ApparentMode") and whether it is
// a permanent member of the list ("CList"/"NotOnList") and its group ("CList"/"Group"). Texts
// come out as UTF-8.
#pragma once

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
  bool operator==(const ContactState&) const = default;
};

// One entry of a contact's history.
struct HistoryEntry {
  uint32_t time = 0;
  bool outgoing = false;
  bool auth_request = false;
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
  std::vector<HistoryEntry> history(hostsim::Handle contact) const;
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
  hostsim::Host& host_;
  std::string module_;
};

Value contact_value(const ContactState& state);
// The text of a message event's blob, or the reason of an authorization request's, as UTF-8.
std::string message_text(const std::vector<BYTE>& blob);
std::string auth_request_text(const std::vector<BYTE>& blob);

}  // namespace console
