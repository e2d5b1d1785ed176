// The MRIM server stand-in's contact lists: the list as each revision receives it, and the edits
// clients make to it (add, rename, move, remove, authorize).
#include <algorithm>

#include "serversim/state.h"

namespace serversim {

using Session = detail::Session;

namespace {

// The masks each revision receives: up to 1.14 the phone follows the status; from 1.15 the
// status URI, title, description, features and client description follow it too.
constexpr const char* kGroupMask = "us";
constexpr const char* kContactMaskBefore115 = "uussuus";
constexpr const char* kContactMaskFrom115 = "uussuussssus";

// The meanings of the positions of a contact entry.
enum ContactItem : size_t {
  kFlags,
  kGroup,
  kAddress,
  kNickname,
  kServerFlags,
  kStatus,
  kPhone,
  kUri,
  kTitle,
  kDescription,
  kFeatures,
  kClient,
};

}  // namespace

uint32_t Server::Impl::group_index(const Account& a, size_t place) {
  return a.groups[place].index.value_or(uint32_t(place));
}

bool Server::Impl::group_exists(const Account& a, uint32_t group) {
  if (group == 0) return true;
  for (size_t place = 0; place < a.groups.size(); ++place)
    if (group_index(a, place) == group) return true;
  return false;
}

// Items are laid out by the masks: each position has its meaning (groups: flags, name;
// contacts: see ContactItem), written as a text where the mask has "s" and as a number
// elsewhere. A position whose letter does not fit its meaning, or that has no meaning, carries 0
// or an empty text. Names and status texts take the receiver's encoding; a Unicode receiver
// learns so from 0x200 in the flags of every entry.
Packet Server::Impl::contact_list(const Session& to, const Account& a) {
  const std::string group_mask = a.group_mask.empty() ? kGroupMask : a.group_mask;
  const std::string contact_mask = !a.contact_mask.empty()                   ? a.contact_mask
                                   : revision::status_texts(to.info.version) ? kContactMaskFrom115
                                                                             : kContactMaskBefore115;
  const uint32_t unicode_flag = to.unicode() ? contact_flag::unicode : 0;
  Writer w;
  w.ul(0).ul(uint32_t(a.groups.size())).lps(group_mask).lps(contact_mask);
  for (size_t place = 0; place < a.groups.size(); ++place) {
    const Group& g = a.groups[place];
    // As servers in use send them: the group flag, and the group's index in the top byte.
    uint32_t flags =
        (g.flags & 0x00FFFFFF) | contact_flag::group | unicode_flag | group_index(a, place) << 24;
    for (size_t i = 0; i < group_mask.size(); ++i) {
      if (group_mask[i] == 's') {
        w.lps(i == 1 ? to.out_text(g.name) : "");
      } else {
        w.ul(i == 0 ? flags : 0);
      }
    }
  }
  for (const Contact& c : a.contacts) {
    if (c.pending) continue;
    const detail::Presence presence = presence_of(c);
    std::string uri = status_uri(presence.status);
    if (uri.empty()) uri = presence.texts.uri;
    for (size_t i = 0; i < contact_mask.size(); ++i) {
      if (contact_mask[i] == 's') {
        switch (i) {
          case kAddress:
            w.lps(c.email);
            break;
          case kNickname:
            w.lps(to.out_text(c.nickname));
            break;
          case kUri:
            w.lps(utf8_to_cp1251(uri));
            break;
          case kTitle:
            w.lps(to.out_text(presence.texts.title));
            break;
          case kDescription:
            w.lps(to.out_text(presence.texts.description));
            break;
          case kClient:
            w.lps(presence.client);
            break;
          default:
            w.lps("");
        }
      } else {
        switch (i) {
          case kFlags:
            w.ul(c.flags | unicode_flag);
            break;
          case kGroup:
            w.ul(c.group);
            break;
          case kStatus:
            w.ul(presence.status);
            break;
          case kFeatures:
            w.ul(presence.texts.features);
            break;
          default:
            w.ul(0);
        }
      }
    }
  }
  return Packet{code::contact_list2, 0, w.take()};
}

// The nickname (or a group's name) is in the session's encoding; the address is 1251 always.
void Server::Impl::on_modify_contact(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> number = r.ul();
  std::optional<uint32_t> flags = r.ul();
  std::optional<uint32_t> group = r.ul();
  std::optional<std::string> address = r.lps();
  std::optional<std::string> wire_name = r.lps();
  auto ack = [&](uint32_t value) {
    reply(s, p.code, Packet{code::modify_contact_ack, p.seq, Writer().ul(value).take()});
  };
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  if (!a || !number || !flags || !group || !address || !wire_name) return ack(kContactOperError);
  const std::string name = s.in_text(*wire_name);
  // A group is renamed by its index in the number's place.
  if (*flags & contact_flag::group) {
    for (size_t place = 0; place < a->groups.size() && !name.empty(); ++place) {
      if (group_index(*a, place) != *number) continue;
      a->groups[place].name = name;
      return ack(kContactOperSuccess);
    }
    return ack(kContactOperError);
  }
  // A contact can only be moved into a group the list has (0 is always taken).
  if (!(*flags & contact_flag::removed) && !group_exists(*a, *group)) return ack(kContactOperError);
  // The number must name the contact the client means: a stale number is a client fault.
  size_t index = *number - kFirstContactNumber;
  if (*number < kFirstContactNumber || index >= s.numbers.size() || s.numbers[index] != *address) {
    return ack(kContactOperError);
  }
  auto it = std::find_if(a->contacts.begin(), a->contacts.end(),
                         [&](const Contact& c) { return c.email == *address; });
  if (it == a->contacts.end()) return ack(kContactOperError);
  if (*flags & contact_flag::removed) {
    a->contacts.erase(it);
    s.numbers[index].clear();
  } else {
    // The flags a Unicode client echoes from its list say nothing about the contact.
    it->flags = *flags & ~contact_flag::unicode;
    it->group = *group;
    it->nickname = name;
  }
  ack(kContactOperSuccess);
}

// Adds the contact (or finds it when it is already on the list), answers with its number,
// tells the adder its presence, and sends the added user an authorization request when that
// user is logged in. The request's text is code page 1251 at every revision, as the text of an
// authorization is, so it goes without message_flag::unicode.
void Server::Impl::on_add_contact(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> flags = r.ul();
  std::optional<uint32_t> group = r.ul();
  std::optional<std::string> address = r.lps();
  std::optional<std::string> wire_name = r.lps();
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  auto refuse = [&] {
    reply(s, p.code, Packet{code::add_contact_ack, p.seq, Writer().ul(kContactOperError).ul(0).take()});
  };
  const std::optional<std::string> name =
      wire_name ? std::optional<std::string>(s.in_text(*wire_name)) : std::nullopt;
  // A new group: its name stands in the name item, and the reply carries its index.
  if (a && flags && (*flags & contact_flag::group)) {
    if (!name || name->empty() || a->groups.size() >= kMaxGroups) return refuse();
    // One past the highest index: a list with gaps keeps them.
    uint32_t index = 0;
    for (size_t place = 0; place < a->groups.size(); ++place)
      index = std::max(index, group_index(*a, place) + 1);
    a->groups.push_back(Group{contact_flag::group, *name, index});
    reply(s, p.code, Packet{code::add_contact_ack, p.seq, Writer().ul(kContactOperSuccess).ul(index).take()});
    return;
  }
  if (!a || !flags || !group || !address || address->empty() || !group_exists(*a, *group)) return refuse();
  auto listed = std::find_if(a->contacts.begin(), a->contacts.end(),
                             [&](const Contact& c) { return c.email == *address; });
  if (listed == a->contacts.end()) {
    Contact c;
    c.email = *address;
    c.group = *group;
    c.flags = *flags & ~contact_flag::unicode;
    c.nickname = name.value_or(*address);
    c.pending = behavior.list_only_authorized;
    a->contacts.push_back(c);
  }
  auto numbered = std::find(s.numbers.begin(), s.numbers.end(), *address);
  if (numbered == s.numbers.end()) numbered = s.numbers.insert(s.numbers.end(), *address);
  uint32_t number = kFirstContactNumber + uint32_t(numbered - s.numbers.begin());
  reply(s, p.code, Packet{code::add_contact_ack, p.seq, Writer().ul(kContactOperSuccess).ul(number).take()});
  if (Session* added = logged_in_session(*address)) {
    push(s, user_status(s, *address, presence_of(*added)));
    if (added != &s) {
      Writer w;
      w.ul(next_message_id++)
          .ul(message_flag::authorize)
          .lps(s.info.email)
          .lps(utf8_to_cp1251(behavior.auth_request_text))
          .lps(" ");
      push(*added, Packet{code::message_ack, 0, w.take()});
    }
  }
}

// The logged-in user authorizes `address`, who added them: they now stand in that account's
// list. The authorized user hears of it (MRIM_CS_AUTHORIZE_ACK) when logged in.
void Server::Impl::on_authorize(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<std::string> address = r.lps();
  Account* adder = s.info.logged_in && address ? find_account(*address) : nullptr;
  if (!adder) return;
  for (Contact& c : adder->contacts)
    if (c.email == s.info.email) c.pending = false;
  if (Session* told = logged_in_session(*address))
    push(*told, Packet{code::authorize_ack, 0, Writer().lps(s.info.email).take()});
}

}  // namespace serversim
