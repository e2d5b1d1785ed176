// The account's contacts as the host sees them.
#include "contact_book.h"

#include <algorithm>
#include <cctype>

#include "charset.h"
#include "commands.h"
#include "hostsim/profile.h"

namespace console {

namespace {

bool same_address(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

// Up to the first NUL, or the whole blob when it has none.
std::string nul_text(const std::vector<BYTE>& blob, size_t& pos) {
  size_t start = pos;
  while (pos < blob.size() && blob[pos] != 0) ++pos;
  std::string text(blob.begin() + static_cast<std::ptrdiff_t>(start),
                   blob.begin() + static_cast<std::ptrdiff_t>(pos));
  if (pos < blob.size()) ++pos;
  return text;
}

// The contacts that keep deleted contacts' histories.
const char* const kKeeperModule = "ConsoleHistory";

// A blob text in UTF-8.
std::string event_text(const std::string& bytes, DWORD flags) {
  return flags & DBEF_UTF8 ? valid_utf8(bytes) : from_cp1251(bytes);
}

}  // namespace

std::optional<std::string> read_text(hostsim::Host& host, hostsim::Handle contact, const std::string& module,
                                     const std::string& name) {
  bool utf8 = host.takes_utf8();
  SettingVariant value{};
  value.type = utf8 ? DBVT_UTF8 : DBVT_ASCIIZ;
  SettingRequest request{module.c_str(), name.c_str(), &value};
  INT_PTR result = host.call_service(utf8 ? MS_DB_CONTACT_GETSETTING_STR : MS_DB_CONTACT_GETSETTING, contact,
                                     reinterpret_cast<LPARAM>(&request));
  if (result != 0) return std::nullopt;
  std::optional<std::string> text;
  if (value.type == DBVT_UTF8 || value.type == DBVT_ASCIIZ) {
    std::string got = value.text ? value.text : "";
    text = value.type == DBVT_UTF8 ? got : from_cp1251(got);
  }
  host.call_service(MS_DB_CONTACT_FREEVARIANT, 0, reinterpret_cast<LPARAM>(&value));
  return text;
}

bool write_text(hostsim::Host& host, hostsim::Handle contact, const std::string& module,
                const std::string& name, const std::string& utf8) {
  return host.write_setting(contact, module, name,
                            host.takes_utf8() ? hostsim::Setting::utf8(valid_utf8(utf8))
                                              : hostsim::Setting::string(to_cp1251(utf8)));
}

bool ContactBook::is_ours(hostsim::Handle contact) const {
  return contact != 0 && host_.profile().protocol(contact) == module_;
}

std::vector<hostsim::Handle> ContactBook::contacts() const {
  std::vector<hostsim::Handle> ours;
  for (hostsim::Handle contact : host_.profile().contacts())
    if (is_ours(contact)) ours.push_back(contact);
  return ours;
}

std::optional<hostsim::Handle> ContactBook::find(const std::string& address) const {
  std::optional<hostsim::Handle> loose;
  for (hostsim::Handle contact : contacts()) {
    std::optional<std::string> email = text(contact, "EMail");
    if (!email) continue;
    if (*email == address) return contact;
    if (!loose && same_address(*email, address)) loose = contact;
  }
  return loose;
}

std::optional<std::string> ContactBook::text(hostsim::Handle contact, const std::string& module,
                                             const std::string& name) const {
  return read_text(host_, contact, module, name);
}

std::optional<std::string> ContactBook::text(hostsim::Handle contact, const std::string& name) const {
  return text(contact, module_, name);
}

std::optional<uint32_t> ContactBook::number(hostsim::Handle contact, const std::string& module,
                                            const std::string& name) const {
  std::optional<hostsim::Setting> value = host_.profile().setting(contact, module, name);
  if (!value || value->is_text()) return std::nullopt;
  return value->number;
}

ContactState ContactBook::state(hostsim::Handle contact) const {
  ContactState s;
  s.handle = contact;
  s.address = text(contact, "EMail").value_or("");
  s.name = text(contact, "CList", "MyHandle").value_or(s.address);
  s.status = status_name(static_cast<int>(number(contact, module_, "Status").value_or(ID_STATUS_OFFLINE)));
  switch (number(contact, module_, "ApparentMode").value_or(0)) {
    case ID_STATUS_ONLINE:
      s.visibility = "visible";
      break;
    case ID_STATUS_OFFLINE:
      s.visibility = "invisible";
      break;
    default:
      s.visibility = "normal";
  }
  s.on_list = number(contact, "CList", "NotOnList").value_or(0) == 0;
  s.group = text(contact, "CList", "Group").value_or("");
  s.status_title = text(contact, "StatusTitle").value_or("");
  s.status_desc = text(contact, "StatusDesc").value_or("");
  s.auth_pending = number(contact, module_, "AuthPending").value_or(0) != 0;
  s.client = text(contact, "MirVer").value_or("");
  s.ignored = (number(contact, module_, "Flags").value_or(0) & 0x10) != 0;
  return s;
}

std::vector<HistoryEntry> ContactBook::entries(const std::vector<hostsim::StoredEvent>& events) const {
  std::vector<HistoryEntry> entries;
  for (const hostsim::StoredEvent& event : events) {
    if (event.module != module_) continue;
    if (event.type != EVENTTYPE_MESSAGE && event.type != EVENTTYPE_AUTHREQUEST &&
        event.type != EVENTTYPE_MICROBLOG)
      continue;
    HistoryEntry entry;
    entry.time = event.timestamp;
    entry.outgoing = (event.flags & kEventSent) != 0;
    entry.auth_request = event.type == EVENTTYPE_AUTHREQUEST;
    entry.post = event.type == EVENTTYPE_MICROBLOG;
    entry.text = entry.auth_request ? auth_request_text(event.blob, event.flags)
                                    : message_text(event.blob, event.flags);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<HistoryEntry> ContactBook::history(hostsim::Handle contact) const {
  std::vector<hostsim::StoredEvent> events;
  std::string address = state(contact).address;
  if (hostsim::Handle keeper = address.empty() ? 0 : keeper_of(address))
    events = host_.profile().events(keeper);
  for (hostsim::StoredEvent& event : host_.profile().events(contact)) events.push_back(std::move(event));
  // Handles grow with every event added: their order is the order of the history.
  std::sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.handle < b.handle; });
  return entries(events);
}

std::vector<HistoryEntry> ContactBook::history_of(const std::string& address) const {
  if (std::optional<hostsim::Handle> contact = find(address)) return history(*contact);
  hostsim::Handle keeper = keeper_of(address);
  return keeper ? entries(host_.profile().events(keeper)) : std::vector<HistoryEntry>();
}

hostsim::Handle ContactBook::keeper_of(const std::string& address) const {
  hostsim::Profile& profile = host_.profile();
  for (hostsim::Handle contact : profile.contacts()) {
    if (profile.protocol(contact)) continue;
    std::optional<hostsim::Setting> account = profile.setting(contact, kKeeperModule, "Account");
    std::optional<hostsim::Setting> email = profile.setting(contact, kKeeperModule, "EMail");
    if (account && account->text == module_ && email && same_address(email->text, address)) return contact;
  }
  return 0;
}

void ContactBook::keep_history(hostsim::Handle contact) {
  if (!is_ours(contact)) return;
  std::string address = state(contact).address;
  if (address.empty() || host_.profile().events(contact).empty()) return;
  std::lock_guard lock(keep_mu_);
  hostsim::Handle keeper = keeper_of(address);
  if (!keeper) {
    // Straight into the profile, not through the host's services: nothing is to hear of it,
    // neither the plug-in nor the console's own watch of the contacts.
    hostsim::Profile& profile = host_.profile();
    keeper = profile.add_contact();
    profile.write_setting(keeper, kKeeperModule, "Account", hostsim::Setting::string(module_));
    profile.write_setting(keeper, kKeeperModule, "EMail", hostsim::Setting::string(address));
  }
  // Moved, not copied: the events keep their handles, so the console's watch of new events
  // does not take them for new ones.
  host_.profile().move_events(contact, keeper);
}

hostsim::Handle ContactBook::last_auth_request(hostsim::Handle contact) const {
  hostsim::Handle last = 0;
  for (const hostsim::StoredEvent& event : host_.profile().events(contact))
    if (event.module == module_ && event.type == EVENTTYPE_AUTHREQUEST) last = event.handle;
  return last;
}

std::vector<std::string> ContactBook::groups() const {
  std::vector<std::string> names;
  auto add = [&](const std::string& name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  uint32_t count = number(0, module_, "GroupCount").value_or(0);
  for (uint32_t i = 0; i < count; ++i) add(text(0, "Group" + std::to_string(i)).value_or(""));
  for (hostsim::Handle contact : contacts()) add(state(contact).group);
  return names;
}

Value contact_value(const ContactState& state) {
  return Value{{"address", state.address},
               {"name", state.name},
               {"status", state.status},
               {"visibility", state.visibility},
               {"on_list", state.on_list},
               {"group", state.group},
               {"status_title", state.status_title},
               {"status_desc", state.status_desc},
               {"auth_pending", state.auth_pending},
               {"client", state.client},
               {"ignored", state.ignored}};
}

std::string message_text(const std::vector<BYTE>& blob, DWORD flags) {
  size_t pos = 0;
  return event_text(nul_text(blob, pos), flags);
}

std::string auth_request_text(const std::vector<BYTE>& blob, DWORD flags) {
  // Number and contact (two 32-bit words), then nickname, first name, last name, e-mail and
  // the reason, each ended by a NUL.
  if (blob.size() < 8) return "";
  size_t pos = 8;
  for (int skip = 0; skip < 4; ++skip) nul_text(blob, pos);
  return event_text(nul_text(blob, pos), flags);
}

std::vector<std::pair<std::string, std::string>> sent_contacts(const std::vector<BYTE>& blob, DWORD flags) {
  std::vector<std::pair<std::string, std::string>> contacts;
  size_t pos = 0;
  while (pos < blob.size()) {
    std::string nick = event_text(nul_text(blob, pos), flags);
    std::string address = event_text(nul_text(blob, pos), flags);
    if (!address.empty()) contacts.emplace_back(nick, address);
  }
  return contacts;
}

}  // namespace console
