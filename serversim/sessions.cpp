// The MRIM server stand-in's sessions: which request goes where, the log-in by the revision its
// header names, the notices that follow it, and status and presence, laid out for each receiver
// by the receiver's revision.
#include <algorithm>

#include "serversim/state.h"

namespace serversim {

using Session = detail::Session;
using detail::Presence;

namespace {

// Servers cut status texts to these lengths (in characters).
constexpr size_t kMaxStatusTitle = 33;
constexpr size_t kMaxStatusDescription = 127;

// The status items from the status URI on, as clients of 1.14 and later send them at log-in and
// at a change of status (from 1.15): URI, title, description, features. Missing trailing items
// are left empty, as a lenient server does.
StatusTexts read_status_texts(Reader& r, const Session& from) {
  StatusTexts texts;
  texts.uri = cp1251_to_utf8(r.lps().value_or(""));
  texts.title = first_characters(from.in_text(r.lps().value_or("")), kMaxStatusTitle);
  texts.description = first_characters(from.in_text(r.lps().value_or("")), kMaxStatusDescription);
  texts.features = r.ul().value_or(0);
  return texts;
}

// What a community server takes before it has acknowledged the log-in (Behavior::login_gate).
bool passes_login_gate(uint32_t packet_code) {
  return packet_code == code::ping || packet_code == code::hello || packet_code == code::login2 ||
         packet_code == code::tls_request;
}

// A web-session key: only its holder's web pages use it, so any text unlike the last will do.
std::string web_key(std::mt19937& random) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string key(32, '0');
  for (char& c : key) c = kDigits[random() % 16];
  return key;
}

}  // namespace

void Server::Impl::handle(Session& s, const Packet& p, uint32_t version) {
  if (!behavior.ping_only_keepalive || p.code == code::ping) s.last_heard = detail::Clock::now();
  if (p.code == code::ping) s.pinged = true;
  record(s, p, version);
  if (behavior.login_gate && !s.login_acked && !passes_login_gate(p.code)) {
    // Without a word: the client sees only the connection end.
    s.closing = true;
    s.closing_reason = code_name(p.code) + " before the log-in was acknowledged";
    changed();
    return;
  }
  switch (p.code) {
    case code::hello:
      reply(s, p.code, hello_ack(version, behavior.hello_ack_zero_seq ? 0 : p.seq));
      break;
    case code::login2:
      on_login(s, p, version);
      break;
    case code::change_status:
      on_change_status(s, p);
      break;
    case code::message:
      on_message(s, p);
      break;
    case code::delete_offline_message:
      on_delete_offline(s, p);
      break;
    case code::modify_contact:
      on_modify_contact(s, p);
      break;
    case code::add_contact:
      on_add_contact(s, p);
      break;
    case code::authorize:
      on_authorize(s, p);
      break;
    case code::directory_request:
      on_directory_request(s, p);
      break;
    case code::change_user_blog_status:
      on_change_blog_status(s, p);
      break;
    case code::tls_request:
    case code::compression_request:
      on_upgrade(s, p);
      break;
    case code::web_key_request: {
      // Status 1 is the key's, not an error: servers answer every such request alike.
      const uint32_t answer = behavior.web_key_own_code ? code::web_key_request : code::web_key_ack;
      reply(s, p.code, Packet{answer, p.seq, Writer().ul(1).lps(web_key(random)).take()});
      break;
    }
    default:
      // MRIM_CS_PING, MRIM_CS_MESSAGE_RECV and anything unknown: recorded (the session counts as
      // alive), nothing to answer.
      break;
  }
  changed();
}

// Up to 1.13: login, password, status, client. From 1.14 the status texts and features come
// between status and client, and from 1.16 a locale after the client (then a legacy client
// description, which this server does not keep).
void Server::Impl::on_login(Session& s, const Packet& p, uint32_t version) {
  Reader r(p.body);
  std::optional<std::string> email = r.lps();
  std::optional<std::string> password = r.lps();
  std::optional<uint32_t> status = r.ul();
  auto reject = [&](const char* reason) {
    reply(s, p.code, Packet{code::login_rej, p.seq, Writer().lps(reason).take()});
  };
  if (!email || !password || !status) return reject("Invalid request");
  if (s.info.logged_in) return reject("Already logged in");
  Account* account = find_account(*email);
  if (!account || account->password != *password) return reject("Invalid login");

  if (Session* other = logged_in_session(*email)) {
    push(*other, Packet{code::logout, 0, Writer().ul(kLogoutReasonOtherLogin).take()});
    other->info.logged_in = false;
    // A stalled session keeps its connection until its client gives up.
    if (!other->closing && !other->info.stalled) {
      other->closing = true;
      other->closing_reason = "logged in elsewhere";
    }
  }
  // The texts of the log-in are read in the session's own encoding.
  s.info.version = version;
  StatusTexts texts;
  if (revision::minor(version) >= revision::minor(revision::v1_14)) texts = read_status_texts(r, s);
  s.info.client = r.lps().value_or("");
  s.info.locale = s.unicode() ? r.lps().value_or("") : "";
  s.info.logged_in = true;
  s.info.email = *email;
  s.info.status = *status;
  s.login_seq = p.seq;
  s.status_seq = p.seq;
  account->status_texts = texts;
  s.numbers.clear();
  for (const detail::Listed& entry : listed(*account)) s.numbers.push_back(entry.contact.email);
  // With a delay the account is the session's at once, and only the answer waits.
  if (behavior.login_delay.count() > 0) {
    s.login_ack_due = detail::Clock::now() + behavior.login_delay;
  } else {
    acknowledge_login(s);
  }
  fan_out(*email, presence_of(s));
}

void Server::Impl::acknowledge_login(Session& s) {
  s.login_ack_due.reset();
  // Logged out meanwhile, by a log-in elsewhere or a fresh start: there is nothing to answer.
  if (!s.info.logged_in || s.closing) return;
  s.login_acked = true;
  const Account* account = find_account(s.info.email);
  reply(s, code::login2, Packet{code::login_ack, s.login_seq, {}},
        behavior.send_after_login && account ? after_login(s, *account) : std::vector<Packet>{});
  changed();
}

void Server::Impl::start_afresh(Session& s) {
  const bool was_logged_in = s.info.logged_in;
  const std::string email = s.info.email;
  s.info.logged_in = false;
  s.info.email.clear();
  s.info.status = mrim_status::offline;
  s.info.version = 0;
  s.info.client.clear();
  s.info.locale.clear();
  s.numbers.clear();
  s.login_ack_due.reset();
  s.login_acked = false;
  s.status_seq = 0;
  if (was_logged_in && !logged_in_session(email)) fan_out(email, Presence{});
  changed();
}

// Below 1.15 the status alone, which leaves the account without texts; from 1.15 the texts too.
void Server::Impl::on_change_status(Session& s, const Packet& p) {
  Reader r(p.body);
  std::optional<uint32_t> status = r.ul();
  Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
  if (!a || !status) return;
  a->status_texts = revision::status_texts(s.info.version) ? read_status_texts(r, s) : StatusTexts{};
  s.info.status = *status;
  s.status_seq = p.seq;
  s.shows_offline = false;
  fan_out(s.info.email, presence_of(s));
}

Presence Server::Impl::presence_of(const Session& s) {
  if (s.shows_offline) return Presence{};
  Presence presence{s.info.status, {}, s.info.client, behavior.push_sequence_numbers ? s.status_seq : 0};
  if (const Account* a = find_account(s.info.email)) presence.texts = a->status_texts;
  return presence;
}

// Accounts logged in here show their live status; other addresses what the list says of them.
Presence Server::Impl::presence_of(const Contact& c) {
  if (Session* s = logged_in_session(c.email)) return presence_of(*s);
  return Presence{c.status, c.status_texts, ""};
}

// With presence_needs_authorization the viewer's entry must be authorized (Contact::pending
// false: the address has authorized the viewer, or the entry was configured), and invisible goes
// out as offline.
std::optional<Presence> Server::Impl::seen_by(const Account& viewer, const std::string& address,
                                              Presence presence) {
  auto entry = std::find_if(viewer.contacts.begin(), viewer.contacts.end(),
                            [&](const Contact& c) { return c.email == address; });
  if (entry == viewer.contacts.end()) return std::nullopt;
  return seen_through(*entry, presence);
}

std::optional<Presence> Server::Impl::seen_through(const Contact& entry, Presence presence) const {
  if (!behavior.presence_needs_authorization) return presence;
  if (entry.pending) return std::nullopt;
  if (presence.status == mrim_status::invisible) return Presence{};
  return presence;
}

void Server::Impl::fan_out(const std::string& address, const Presence& presence) {
  for (auto& [id, s] : sessions) {
    if (!s.info.open || s.closing || !s.info.logged_in) continue;
    Account* a = find_account(s.info.email);
    if (!a) continue;
    if (std::optional<Presence> seen = seen_by(*a, address, presence))
      push(s, user_status(s, address, *seen));
  }
}

// Below 1.15 the status and the address; from 1.15 the URI, title and description come between
// them, and the features and the client description after.
Packet Server::Impl::user_status(const Session& to, const std::string& address, const Presence& presence) {
  Writer w;
  w.ul(presence.status);
  if (revision::status_texts(to.info.version)) {
    std::string uri = status_uri(presence.status);
    if (uri.empty()) uri = presence.texts.uri;
    w.lps(utf8_to_cp1251(uri))
        .lps(to.out_text(presence.texts.title))
        .lps(to.out_text(presence.texts.description))
        .lps(address)
        .ul(presence.texts.features)
        .lps(presence.client);
  } else {
    w.lps(address);
  }
  return Packet{code::user_status, presence.seq, w.take()};
}

// Keys stay in code page 1251 at every revision; the values take the session's encoding. From
// 1.20 the account's own last post follows, whatever its age (only lists leave old posts out).
Packet Server::Impl::user_info(const Session& to, const Account& a) {
  Writer w;
  auto pair = [&](const char* key, const std::string& value) { w.lps(key).lps(to.out_text(value)); };
  if (a.info_style == UserInfoStyle::modern) pair("MRIM.NICKNAME", a.nickname);
  pair("MESSAGES.TOTAL", std::to_string(a.total_mail));
  pair("MESSAGES.UNREAD", std::to_string(a.unread_mail));
  if (a.info_style == UserInfoStyle::modern) pair("client.endpoint", detail::peer_name(to.fd));
  if (revision::microblog(to.info.version) && a.post) {
    pair("micblog.status.id", std::to_string(a.post->id));
    pair("micblog.status.time", std::to_string(a.post->time + behavior.clock_offset.count()));
    pair("micblog.status.text", a.post->text);
  }
  return Packet{code::user_info, 0, w.take()};
}

Packet Server::Impl::mailbox_status(const Account& a) {
  return Packet{code::mailbox_status, 0, Writer().ul(a.unread_mail).take()};
}

std::vector<Packet> Server::Impl::after_login(Session& s, const Account& a) {
  std::vector<Packet> out{user_info(s, a)};
  if (std::optional<Packet> list = contact_list(s, a)) out.push_back(std::move(*list));
  if (!behavior.no_mailbox_status) out.push_back(mailbox_status(a));
  for (const OfflineMessage& m : a.offline) out.push_back(offline_message(m));
  return out;
}

}  // namespace serversim
