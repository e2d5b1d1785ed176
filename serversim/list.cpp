// The MRIM server stand-in's contact lists: the list as each revision receives it, and the edits
// clients make to it (add, rename, move, remove, authorize).
#include <algorithm>

#include "serversim/state.h"

namespace serversim {

using Session = detail::Session;

namespace {

// The masks each revision receives: up to 1.14 the phone follows the status; from 1.15 the
// status URI, title, description, features and client description follow it too; from 1.20 the
// contact's last post.
constexpr const char* kGroupMask = "us";
constexpr const char* kContactMaskBefore115 = "uussuus";
constexpr const char* kContactMaskFrom115 = "uussuussssus";
constexpr const char* kContactMaskFrom120 = "uussuussssusuuusss";

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
  kPostIdLow,
  kPostIdHigh,
  kPostTime,
  kPostText,
  kPostReserved,
  kPostReplyTo,
};

// The server flags of someone who added the account and whom it has not added.
constexpr uint32_t kServerFlagAdder = 1;

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

// With list_only_authorized the contacts still waiting for authorization are left out; with
// list_shows_adders those who added the account and whom it has not added follow its contacts.
std::vector<detail::Listed> Server::Impl::listed(const Account& a) {
  std::vector<detail::Listed> out;
  for (const Contact& c : a.contacts)
    if (!c.pending || !behavior.list_only_authorized) out.push_back({c, 0});
  if (!behavior.list_shows_adders) return out;
  auto lists = [](const Account& owner, const std::string& address) {
    return std::any_of(owner.contacts.begin(), owner.contacts.end(),
                       [&](const Contact& c) { return c.email == address; });
  };
  for (const Account& other : accounts) {
    if (other.email == a.email || !lists(other, a.email) || lists(a, other.email)) continue;
    const std::string& nickname = other.nickname.empty() ? other.email : other.nickname;
    out.push_back({Contact{.email = other.email, .nickname = nickname}, kServerFlagAdder});
  }
  return out;
}

// Items are laid out by the masks: each position has its meaning (groups: flags, name;
// contacts: see ContactItem), written as a text where the mask has "s" and as a number
// elsewhere. A position whose letter does not fit its meaning, or that has no meaning, carries 0
// or an empty text. Names and status texts take the receiver's encoding; a Unicode receiver
// learns so from 0x200 in the flags of every entry. Those who added the account show offline:
// no presence of theirs follows them.
std::optional<Packet> Server::Impl::contact_list(const Session& to, const Account& a) {
  const std::string group_mask = a.group_mask.empty() ? kGroupMask : a.group_mask;
  const bool posts = revision::microblog(to.info.version);
  const std::string contact_mask = !a.contact_mask.empty()                   ? a.contact_mask
                                   : posts                                   ? kContactMaskFrom120
                                   : revision::status_texts(to.info.version) ? kContactMaskFrom115
                                                                             : kContactMaskBefore115;
  const uint32_t unicode_flag = to.unicode() ? contact_flag::unicode : 0;
  bool lost = false;
  auto text = [&](const std::string& utf8) {
    lost = lost || !converts(to, utf8);
    return to.out_text(utf8);
  };
  auto cp1251 = [&](const std::string& utf8) {
    lost = lost || !converts(to, utf8);
    return utf8_to_cp1251(utf8);
  };
  Writer w;
  w.ul(0).ul(uint32_t(a.groups.size())).lps(group_mask).lps(contact_mask);
  for (size_t place = 0; place < a.groups.size(); ++place) {
    const Group& g = a.groups[place];
    // As servers in use send them: the group flag, and the group's index in the top byte.
    uint32_t flags =
        (g.flags & 0x00FFFFFF) | contact_flag::group | unicode_flag | group_index(a, place) << 24;
    for (size_t i = 0; i < group_mask.size(); ++i) {
      if (group_mask[i] == 's') {
        w.lps(i == 1 ? text(g.name) : "");
      } else {
        w.ul(i == 0 ? flags : 0);
      }
    }
  }
  for (const detail::Listed& entry : listed(a)) {
    const Contact& c = entry.contact;
    const detail::Presence presence = entry.server_flags != 0
                                          ? detail::Presence{}
                                          : seen_through(c, presence_of(c)).value_or(detail::Presence{});
    std::string uri = status_uri(presence.status);
    if (uri.empty()) uri = presence.texts.uri;
    if (behavior.offline_empty_uri && presence.status == mrim_status::offline) uri.clear();
    // Sessions before 1.20 have nothing of posts, even where a configured mask makes room.
    const Post post = posts ? shown_post(c.email).value_or(Post{}) : Post{};
    for (size_t i = 0; i < contact_mask.size(); ++i) {
      if (contact_mask[i] == 's') {
        switch (i) {
          case kAddress:
            w.lps(c.email);
            break;
          case kNickname:
            w.lps(text(c.nickname));
            break;
          case kUri:
            w.lps(cp1251(uri));
            break;
          case kTitle:
            w.lps(text(presence.texts.title));
            break;
          case kDescription:
            w.lps(text(presence.texts.description));
            break;
          case kClient:
            w.lps(presence.client);
            break;
          case kPostText:
            w.lps(text(post.text));
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
          case kServerFlags:
            w.ul(entry.server_flags);
            break;
          case kStatus:
            w.ul(presence.status);
            break;
          case kFeatures:
            w.ul(presence.texts.features);
            break;
          case kPostIdLow:
            w.ul(uint32_t(post.id));
            break;
          case kPostIdHigh:
            w.ul(uint32_t(post.id >> 32));
            break;
          case kPostTime:
            w.ul(post.id == 0 ? 0 : uint32_t(post.time + behavior.clock_offset.count()));
            break;
          default:
            w.ul(0);
        }
      }
    }
  }
  if (lost) return std::nullopt;
  return Packet{code::contact_list2, 0, w.take()};
}

uint32_t Server::Impl::stored_flags(uint32_t flags) const {
  // That server adds the flag rather than setting it, so an echoed one carries into 0x400.
  if (behavior.unicode_flag_added) return flags + contact_flag::unicode;
  // The flags a Unicode client echoes from its list say nothing about the contact.
  return flags & ~contact_flag::unicode;
}

// A group is deleted by its index. Without renumbering the others keep theirs, so those that
// took theirs from their place are pinned first.
void Server::Impl::delete_group(Account& a, size_t place) {
  const uint32_t gone = group_index(a, place);
  for (size_t i = 0; i < a.groups.size(); ++i) a.groups[i].index = group_index(a, i);
  a.groups.erase(a.groups.begin() + ptrdiff_t(place));
  if (!behavior.groups_renumbered) return;
  for (Group& g : a.groups)
    if (*g.index > gone) --*g.index;
  for (Contact& c : a.contacts)
    if (c.group > gone) --c.group;
}

// The nickname (or a group's name) is in the session's encoding; the address is 1251 always. A
// group is edited by its index in the number's place: renamed, or with the removed flag
// deleted when it is empty (group 0, where contacts without a group go, stays).
void Server::Impl::on_modify_contact(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> number = r.ul();
  std::optional<uint32_t> flags = r.ul();
  std::optional<uint32_t> group = r.ul();
  std::optional<std::string> address = r.lps();
  std::optional<std::string> wire_name = r.lps();
  bool unanswered = false;
  auto ack = [&](uint32_t value) {
    if (!unanswered) reply(s, p.code, Packet{code::modify_contact_ack, p.seq, Writer().ul(value).take()});
  };
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  if (!a || !number || !flags || !group || !address || !wire_name) return ack(kContactOperError);
  const std::string name = s.in_text(*wire_name);
  if (*flags & contact_flag::group) {
    size_t place = 0;
    while (place < a->groups.size() && group_index(*a, place) != *number) ++place;
    if (*flags & contact_flag::removed) {
      const bool in_use = std::any_of(a->contacts.begin(), a->contacts.end(),
                                      [&](const Contact& c) { return c.group == *number; });
      if (place == a->groups.size() || *number == 0 || in_use) return ack(kContactOperError);
      delete_group(*a, place);
      return ack(kContactOperSuccess);
    }
    // That server reads the new name where the address goes, in the encoding of a name.
    const std::string new_name = behavior.rename_from_address ? s.in_text(*address) : name;
    if (behavior.rename_from_address && new_name.empty()) return ack(kContactOperInvalidInfo);
    if (place == a->groups.size() || new_name.empty()) return ack(kContactOperError);
    a->groups[place].name = new_name;
    return ack(kContactOperSuccess);
  }
  // That server's handler fails after the work is done, before the answer.
  unanswered = behavior.unanswered_edits && ((*flags & contact_flag::removed) || !find_account(*address));
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
    if (behavior.delete_shows_offline) {
      s.shows_offline = true;
      fan_out(s.info.email, detail::Presence{});
    }
  } else {
    it->flags = stored_flags(*flags);
    it->group = *group;
    it->nickname = name;
  }
  ack(kContactOperSuccess);
}

// Adds the contact (or finds it when it is already on the list), answers with its number,
// tells the adder its presence, and sends the added user an authorization request when that
// user is logged in. After the nickname may come the adder's own text for the request, in code
// page 1251 at every revision as the text of an authorization is (an empty one from a client
// that ends the body with a UL 0). The adder's text, or the server's own when it sent none, goes
// in 1251 and without message_flag::unicode; auth_request_as_sent sends the adder's (empty or
// not) in the receiver's encoding, yet without the flag all the same.
void Server::Impl::on_add_contact(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> flags = r.ul();
  std::optional<uint32_t> group = r.ul();
  std::optional<std::string> address = r.lps();
  std::optional<std::string> wire_name = r.lps();
  const std::string auth_text = cp1251_to_utf8(r.lps().value_or(""));
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  auto answer = [&](uint32_t status, uint32_t number) {
    reply(s, p.code, Packet{code::add_contact_ack, p.seq, Writer().ul(status).ul(number).take()});
  };
  auto refuse = [&](uint32_t reason = kContactOperError) {
    if (behavior.error_pairs) return answer(kContactOperError, kAddErrorNumber);
    answer(reason, 0);
  };
  const std::optional<std::string> name =
      wire_name ? std::optional<std::string>(s.in_text(*wire_name)) : std::nullopt;
  // A new group: its name stands in the name item, and the reply carries its index.
  if (a && flags && (*flags & contact_flag::group)) {
    if (!name || name->empty()) return refuse();
    if (a->groups.size() >= std::min(behavior.group_limit, kMaxGroups)) return refuse(kContactOperGroupLimit);
    // One past the highest index, so a list with gaps keeps them; a server that renumbers at
    // each delete has none, and counts.
    uint32_t index = 0;
    for (size_t place = 0; place < a->groups.size(); ++place)
      index = std::max(index, group_index(*a, place) + 1);
    if (behavior.groups_renumbered) index = uint32_t(a->groups.size());
    a->groups.push_back(Group{contact_flag::group, *name, index});
    return answer(kContactOperSuccess, index);
  }
  if (!a || !flags || !group || !address || address->empty() || !group_exists(*a, *group)) return refuse();
  if (behavior.add_needs_account && !find_account(*address)) return refuse(kContactOperNoSuchUser);
  auto known = std::find_if(a->contacts.begin(), a->contacts.end(),
                            [&](const Contact& c) { return c.email == *address; });
  if (known == a->contacts.end()) {
    Contact c;
    c.email = *address;
    c.group = *group;
    c.flags = stored_flags(*flags);
    c.nickname = name.value_or(*address);
    c.pending = true;
    a->contacts.push_back(c);
  }
  auto numbered = std::find(s.numbers.begin(), s.numbers.end(), *address);
  if (numbered == s.numbers.end()) numbered = s.numbers.insert(s.numbers.end(), *address);
  uint32_t number = kFirstContactNumber + uint32_t(numbered - s.numbers.begin());
  answer(kContactOperSuccess, behavior.add_ack_id_zero ? 0 : number);
  if (Session* added = logged_in_session(*address)) {
    if (std::optional<detail::Presence> seen = seen_by(*a, *address, presence_of(*added)))
      push(s, user_status(s, *address, *seen));
    if (added != &s) {
      Packet request =
          behavior.auth_request_as_sent
              ? message_ack_wire(next_message_id++, message_flag::authorize | message_flag::norecv,
                                 s.info.email, added->out_text(auth_text), " ")
              : message_ack_wire(next_message_id++, message_flag::authorize, s.info.email,
                                 utf8_to_cp1251(auth_text.empty() ? behavior.auth_request_text : auth_text),
                                 " ");
      push(*added, request);
    }
  }
}

void Server::Impl::on_authorize(Session& s, const Packet& p) {
  Reader r(p.body);
  if (std::optional<std::string> address = r.lps()) authorize(s, *address);
}

// `address` added the user and is now authorized: the entry stands in that account's list, and
// the user's status reaches it. Servers in use tell the authorized user so
// (MRIM_CS_AUTHORIZE_ACK naming the user) when logged in; with grant_ack_to_authorizer the
// authorizer hears instead, of the contact it authorized and that contact's status.
void Server::Impl::authorize(Session& by, const std::string& address) {
  Account* adder = by.info.logged_in ? find_account(address) : nullptr;
  if (!adder) return;
  for (Contact& c : adder->contacts)
    if (c.email == by.info.email) c.pending = false;
  if (!behavior.grant_ack_to_authorizer) {
    if (Session* told = logged_in_session(address))
      push(*told, Packet{code::authorize_ack, 0, Writer().lps(by.info.email).take()});
    return;
  }
  // Such a server makes the grant mutual: it shows the authorizer the contact's status at once,
  // and from then on.
  if (Account* own = find_account(by.info.email)) {
    for (Contact& c : own->contacts)
      if (c.email == address) c.pending = false;
  }
  detail::Presence presence;
  if (Session* live = logged_in_session(address)) presence = presence_of(*live);
  if (presence.status == mrim_status::invisible) presence = detail::Presence{};
  Packet status = user_status(by, address, presence);
  status.code = code::change_status;
  push(by, Packet{code::authorize_ack, 0, Writer().lps(address).take()});
  push(by, status);
}

}  // namespace serversim
