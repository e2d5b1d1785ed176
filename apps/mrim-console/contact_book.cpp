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

}  // namespace

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
  std::string wanted = to_cp1251(address);
  std::optional<hostsim::Handle> loose;
  for (hostsim::Handle contact : contacts()) {
    std::optional<hostsim::Setting> email = host_.profile().setting(contact, module_, "EMail");
    if (!email || email->type != DBVT_ASCIIZ) continue;
    if (email->text == wanted) return contact;
    if (!loose && same_address(email->text, wanted)) loose = contact;
  }
  return loose;
}

std::optional<std::string> ContactBook::text(hostsim::Handle contact, const std::string& module,
                                             const std::string& name) const {
  std::optional<hostsim::Setting> value = host_.profile().setting(contact, module, name);
  if (!value || value->type != DBVT_ASCIIZ) return std::nullopt;
  return from_cp1251(value->text);
}

std::optional<std::string> ContactBook::text(hostsim::Handle contact, const std::string& name) const {
  return text(contact, module_, name);
}

std::optional<uint32_t> ContactBook::number(hostsim::Handle contact, const std::string& module,
                                            const std::string& name) const {
  std::optional<hostsim::Setting> value = host_.profile().setting(contact, module, name);
  if (!value || value->type == DBVT_ASCIIZ) return std::nullopt;
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
  return s;
}

std::vector<HistoryEntry> ContactBook::history(hostsim::Handle contact) const {
  std::vector<HistoryEntry> entries;
  for (const hostsim::StoredEvent& event : host_.profile().events(contact)) {
    if (event.module != module_) continue;
    if (event.type != EVENTTYPE_MESSAGE && event.type != EVENTTYPE_AUTHREQUEST) continue;
    HistoryEntry entry;
    entry.time = event.timestamp;
    entry.outgoing = (event.flags & kEventSent) != 0;
    entry.auth_request = event.type == EVENTTYPE_AUTHREQUEST;
    entry.text = entry.auth_request ? auth_request_text(event.blob) : message_text(event.blob);
    entries.push_back(std::move(entry));
  }
  return entries;
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
  return Value{{"address", state.address},       {"name", state.name},       {"status", state.status},
               {"visibility", state.visibility}, {"on_list", state.on_list}, {"group", state.group}};
}

std::string message_text(const std::vector<BYTE>& blob) {
  size_t pos = 0;
  return from_cp1251(nul_text(blob, pos));
}

std::string auth_request_text(const std::vector<BYTE>& blob) {
  // Number and contact (two 32-bit words), then nickname, first name, last name, e-mail and
  // the reason, each ended by a NUL.
  if (blob.size() < 8) return "";
  size_t pos = 8;
  for (int skip = 0; skip < 4; ++skip) nul_text(blob, pos);
  return from_cp1251(nul_text(blob, pos));
}

}  // namespace console
