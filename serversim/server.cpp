// The MRIM server stand-in (see server.h). One thread runs a poll loop over the two listening
// sockets, the address-service connections and the sessions. One lock guards all state; the
// public methods read and change it from the tests' threads. Only the server thread touches
// sockets: the methods queue bytes or mark sessions and wake the loop through an eventfd.
#include "serversim/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <span>
#include <stdexcept>
#include <thread>

#include "core/text.h"
#include "serversim/faults.h"
#include "serversim/stored.h"

namespace serversim {
namespace {

using detail::Outgoing;
using detail::Step;
using Clock = std::chrono::steady_clock;

// Bounds on what is kept for tests, so that the daemon does not grow without end.
constexpr size_t kMaxEndedSessions = 256;
constexpr size_t kMaxLogPerSession = 1 << 16;
constexpr size_t kMaxLog = 1 << 18;
// The loop looks at its timers at least this often, whatever else happens.
constexpr int kMaxPollMs = 1000;

struct Endpoint {
  std::string host;
  uint16_t port = 0;
};

Endpoint parse_endpoint(const std::string& text) {
  HostPort parts = split_host_port(text.data(), text.size());
  if (!parts.has_colon) throw std::runtime_error("address without a port: " + text);
  if (!parts.port_exact) throw std::runtime_error("bad port in " + text);
  Endpoint ep;
  ep.host = text.substr(0, parts.host_length);
  if (ep.host.empty() || ep.host == "localhost") ep.host = "127.0.0.1";
  ep.port = uint16_t(parts.port);
  return ep;
}

bool every_interface(const Endpoint& ep) {
  in_addr addr{};
  return inet_pton(AF_INET, ep.host.c_str(), &addr) == 1 && addr.s_addr == htonl(INADDR_ANY);
}

int listen_on(const Endpoint& ep, uint16_t& bound_port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(ep.port);
  if (inet_pton(AF_INET, ep.host.c_str(), &addr.sin_addr) != 1) {
    throw std::runtime_error("not an IPv4 address: " + ep.host);
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    int error = errno;
    close(fd);
    throw std::runtime_error("cannot listen on " + ep.host + ":" + std::to_string(ep.port) + ": " +
                             std::strerror(error));
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  bound_port = ntohs(addr.sin_port);
  return fd;
}

std::string peer_name(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "";
  char host[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(addr.sin_port));
}

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Bytes waiting to be written; dripped ones go one per write, `drip` apart.
struct Segment {
  Bytes bytes;
  milliseconds drip{0};
};

struct Session {
  SessionInfo info;
  int fd = -1;
  Bytes in;
  std::deque<Segment> out;
  Clock::time_point out_since;   // when `out` last went from empty to not empty
  Clock::time_point next_write;  // a dripped byte keeps the next write back until then
  milliseconds drip_all{0};      // not 0: every write is one byte, this far apart
  bool closing = false;          // close once `out` has gone
  bool reset = false;            // ... with an RST
  std::string closing_reason;
  Clock::time_point last_heard;
  // The contact numbers the client was given at log-in: number kFirstContactNumber + i is
  // numbers[i]; an entry removed during the session stays as an empty text, so that the numbers
  // after it keep their meaning until the next log-in renumbers the list as the client does.
  std::vector<std::string> numbers;
  std::deque<Packet> log;
};

struct AddressConnection {
  int fd = -1;
  Bytes out;
};

struct Deferred {
  SessionId session = 0;
  Clock::time_point due;  // time_point::max(): held until release_held()
  std::vector<Step> steps;
};

}  // namespace

struct Server::Impl {
  Settings settings;
  mutable std::mutex m;
  mutable std::condition_variable cv;
  uint64_t generation = 0;

  Behavior behavior;
  std::vector<FaultRule> faults;
  std::vector<Account> accounts;
  std::map<SessionId, Session> sessions;
  std::deque<SessionId> ended;
  std::vector<AddressConnection> address_connections;
  std::vector<Deferred> deferred;
  std::deque<Received> log;
  int address_queries = 0;
  int dropped_packets = 0;
  SessionId next_session = 1;
  uint32_t next_message_id = 1;
  uint64_t next_offline_id = 1;

  int address_fd = -1;
  int mrim_fd = -1;
  int wake_fd = -1;
  uint16_t address_port = 0;
  uint16_t mrim_port = 0;
  std::string mrim_host;
  bool running = false;
  bool stopping = false;
  std::thread thread;

  // ---- helpers (all called with the lock held) ----

  void changed() {
    ++generation;
    cv.notify_all();
  }

  void wake() {
    uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0) {
      // The counter is already non-zero (or the loop is gone): the loop wakes anyway.
    }
  }

  Account* find_account(const std::string& email) {
    for (Account& a : accounts) {
      if (a.email == email) return &a;
    }
    return nullptr;
  }

  Session* open_session(SessionId id) {
    auto it = sessions.find(id);
    return it != sessions.end() && it->second.info.open ? &it->second : nullptr;
  }

  Session* logged_in_session(const std::string& email) {
    for (auto& [id, s] : sessions) {
      if (s.info.open && !s.closing && s.info.logged_in && s.info.email == email) return &s;
    }
    return nullptr;
  }

  uint32_t live_status(const Contact& c) {
    Session* s = logged_in_session(c.email);
    return s ? s->info.status : c.status;
  }

  // Nothing more goes out once the session has decided to close, or has stalled.
  void queue(Session& s, const Bytes& bytes, milliseconds drip = milliseconds(0)) {
    if (s.closing || s.info.stalled || bytes.empty()) return;
    if (s.out.empty()) s.out_since = Clock::now();
    if (drip.count() == 0 && !s.out.empty() && s.out.back().drip.count() == 0) {
      append(s.out.back().bytes, bytes);
    } else {
      s.out.push_back(Segment{bytes, drip});
    }
  }

  void carry_out(Session& s, std::vector<Step> steps) {
    for (Step& step : steps) {
      if (s.closing) return;
      switch (step.kind) {
        case Step::Kind::bytes:
          queue(s, step.bytes);
          break;
        case Step::Kind::drip:
          queue(s, step.bytes, step.pause);
          break;
        case Step::Kind::later: {
          Clock::time_point due = step.held ? Clock::time_point::max() : Clock::now() + step.pause;
          deferred.push_back(Deferred{s.info.id, due, std::move(step.rest)});
          break;
        }
        case Step::Kind::close:
        case Step::Kind::reset:
          s.closing = true;
          s.reset = step.kind == Step::Kind::reset;
          s.closing_reason = step.reason;
          break;
        case Step::Kind::stall:
          s.info.stalled = true;
          changed();
          break;
        case Step::Kind::drip_from_now:
          s.drip_all = step.pause;
          break;
      }
    }
  }

  // When the session's pending bytes may go out (coalescing holds them for a while).
  Clock::time_point write_due(const Session& s) const {
    return behavior.writes == Writes::coalesce ? s.out_since + behavior.coalesce_window : s.out_since;
  }
  bool wants_write(const Session& s, Clock::time_point now) const {
    return !s.out.empty() && write_due(s) <= now && s.next_write <= now;
  }

  void record(Session& s, const Packet& p) {
    s.log.push_back(p);
    if (s.log.size() > kMaxLogPerSession) s.log.pop_front();
    log.push_back(Received{s.info.id, s.info.logged_in ? s.info.email : "", p});
    if (log.size() > kMaxLog) log.pop_front();
  }

  void end_session(Session& s, const std::string& reason, bool reset = false) {
    if (!s.info.open) return;
    if (reset) {
      // Lingering for no time makes close() abort the connection with an RST.
      linger abort{1, 0};
      setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(s.fd);
    s.fd = -1;
    s.info.open = false;
    s.info.close_reason = s.info.stalled ? reason + " while stalled on purpose" : reason;
    s.in.clear();
    s.out.clear();
    std::erase_if(deferred, [&](const Deferred& d) { return d.session == s.info.id; });
    // A session ended by a second log-in has already handed the account over: no offline.
    if (s.info.logged_in && !logged_in_session(s.info.email)) fan_out(s.info.email, mrim_status::offline);
    ended.push_back(s.info.id);
    while (ended.size() > kMaxEndedSessions) {
      sessions.erase(ended.front());
      ended.pop_front();
    }
    changed();
  }

  // MRIM_CS_USER_STATUS to every logged-in session whose contact list holds the address.
  void fan_out(const std::string& address, uint32_t status) {
    for (auto& [id, s] : sessions) {
      if (!s.info.open || s.closing || !s.info.logged_in) continue;
      Account* a = find_account(s.info.email);
      if (!a) continue;
      bool listed = std::any_of(a->contacts.begin(), a->contacts.end(),
                                [&](const Contact& c) { return c.email == address; });
      if (listed) push(s, Packet{code::user_status, 0, Writer().ul(status).lps(address).take()});
    }
  }

  std::optional<FaultRule> take_fault(const Outgoing& out) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      bool matches = it->push != 0 ? out.request == 0 && out.packet.code == it->push
                                   : out.request != 0 && (it->request == 0 || it->request == out.request);
      if (!matches) continue;
      FaultRule rule = *it;
      if (it->times > 0 && --it->times == 0) faults.erase(it);
      return rule;
    }
    return std::nullopt;
  }

  void send_burst(Session& s, std::span<const Outgoing> burst) {
    carry_out(s, detail::compose(burst, [this](const Outgoing& out) { return take_fault(out); }));
  }

  // Sends the reply to a request, spoiled by the first fault rule that matches. `trailer` is
  // what the server sends right after the reply (the notices after a log-in); it stays behind
  // a held or delayed reply, as it would behind a slow one.
  void reply(Session& s, uint32_t request, Packet packet, std::vector<Packet> trailer = {}) {
    std::vector<Outgoing> burst{Outgoing{std::move(packet), request}};
    for (Packet& p : trailer) burst.push_back(Outgoing{std::move(p), 0});
    send_burst(s, burst);
  }

  // A packet the server sends on its own, spoiled by the first push rule for its code.
  void push(Session& s, Packet packet) {
    Outgoing out{std::move(packet), 0};
    send_burst(s, std::span(&out, 1));
  }

  // ---- what the server sends on its own ----

  Packet user_info(Session& s, const Account& a) {
    Writer w;
    if (a.info_style == UserInfoStyle::modern) w.lps("MRIM.NICKNAME").lps(a.nickname);
    w.lps("MESSAGES.TOTAL").lps(std::to_string(a.total_mail));
    w.lps("MESSAGES.UNREAD").lps(std::to_string(a.unread_mail));
    if (a.info_style == UserInfoStyle::modern) w.lps("client.endpoint").lps(peer_name(s.fd));
    return Packet{code::user_info, 0, w.take()};
  }

  // Items are laid out by the masks: each position has its meaning (groups: flags, name;
  // contacts: flags, group, address, nickname, server flags, status), written as a text where
  // the mask has "s" and as a number elsewhere. A position whose letter does not fit its meaning,
  // or that has no meaning, carries 0 or an empty text.
  Packet contact_list(const Account& a) {
    Writer w;
    w.ul(0).ul(uint32_t(a.groups.size())).lps(a.group_mask).lps(a.contact_mask);
    for (size_t place = 0; place < a.groups.size(); ++place) {
      const Group& g = a.groups[place];
      // As servers in use send them: the group flag, and the group's index in the top byte.
      uint32_t flags = (g.flags & 0x00FFFFFF) | contact_flag::group | group_index(a, place) << 24;
      for (size_t i = 0; i < a.group_mask.size(); ++i) {
        bool text = a.group_mask[i] == 's';
        if (text) {
          w.lps(i == 1 ? g.name : "");
        } else {
          w.ul(i == 0 ? flags : 0);
        }
      }
    }
    for (const Contact& c : a.contacts) {
      if (c.pending) continue;
      uint32_t numbers[] = {c.flags, c.group, 0, 0, 0, live_status(c)};
      for (size_t i = 0; i < a.contact_mask.size(); ++i) {
        bool text = a.contact_mask[i] == 's';
        if (text) {
          w.lps(i == 2 ? c.email : i == 3 ? c.nickname : "");
        } else {
          w.ul(i < 6 ? numbers[i] : 0);
        }
      }
    }
    return Packet{code::contact_list2, 0, w.take()};
  }

  Packet offline_message(const OfflineMessage& m) {
    Writer w;
    w.ul(uint32_t(m.id)).ul(uint32_t(m.id >> 32)).lps(stored_message_text(m, std::time(nullptr)));
    return Packet{code::offline_message_ack, 0, w.take()};
  }

  std::vector<Packet> after_login(Session& s, const Account& a) {
    std::vector<Packet> out{user_info(s, a), contact_list(a), mailbox_status(a)};
    for (const OfflineMessage& m : a.offline) out.push_back(offline_message(m));
    return out;
  }

  static Packet mailbox_status(const Account& a) {
    return Packet{code::mailbox_status, 0, Writer().ul(a.unread_mail).take()};
  }

  // ---- requests ----

  void handle(Session& s, const Packet& p) {
    s.last_heard = Clock::now();
    record(s, p);
    switch (p.code) {
      case code::hello: {
        uint32_t seq = behavior.hello_ack_zero_seq ? 0 : p.seq;
        reply(s, p.code, Packet{code::hello_ack, seq, Writer().ul(behavior.ping_period).take()});
        break;
      }
      case code::login2:
        on_login(s, p);
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
      default:
        // MRIM_CS_PING, MRIM_CS_MESSAGE_RECV, MRIM_CS_AUTHORIZE and anything unknown: recorded
        // (the session counts as alive), nothing to answer.
        break;
    }
    changed();
  }

  void on_login(Session& s, const Packet& p) {
    Reader r(p.body);
    std::optional<std::string> email = r.lps();
    std::optional<std::string> password = r.lps();
    std::optional<uint32_t> status = r.ul();
    std::optional<std::string> client = r.lps();
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
    s.info.logged_in = true;
    s.info.email = *email;
    s.info.status = *status;
    s.info.client = client.value_or("");
    s.numbers.clear();
    for (const Contact& c : account->contacts)
      if (!c.pending) s.numbers.push_back(c.email);
    reply(s, p.code, Packet{code::login_ack, p.seq, {}},
          behavior.send_after_login ? after_login(s, *account) : std::vector<Packet>{});
    fan_out(*email, *status);
  }

  void on_change_status(Session& s, const Packet& p) {
    Reader r(p.body);
    std::optional<uint32_t> status = r.ul();
    if (!s.info.logged_in || !status) return;
    s.info.status = *status;
    fan_out(s.info.email, *status);
  }

  // Messages go to the recipient's session; one for an account that is not logged in is
  // stored and counts as delivered; typing notices are passed on without a status, or dropped.
  void on_message(Session& s, const Packet& p) {
    if (!s.info.logged_in) return;
    Reader r(p.body);
    std::optional<uint32_t> flags = r.ul();
    std::optional<std::string> to = r.lps();
    std::optional<std::string> text = r.lps();
    std::optional<std::string> rtf = r.lps();
    auto status = [&](uint32_t value) {
      reply(s, p.code, Packet{code::message_status, p.seq, Writer().ul(value).take()});
    };
    if (!flags || !to || !text) return status(kMessageRejected);
    bool typing = (*flags & message_flag::notify) != 0;
    if (Session* target = logged_in_session(*to)) {
      Writer w;
      w.ul(next_message_id++).ul(*flags).lps(s.info.email).lps(*text).lps(rtf.value_or(" "));
      push(*target, Packet{code::message_ack, 0, w.take()});
      if (!typing) status(kMessageDelivered);
      return;
    }
    if (typing) return;
    if (Account* a = find_account(*to)) {
      OfflineMessage m;
      m.form = behavior.stored_form;
      m.from = s.info.email;
      m.text = *text;
      m.flags = *flags;
      m.id = next_offline_id++;
      a->offline.push_back(std::move(m));
      return status(kMessageDelivered);
    }
    status(kMessageRejected);
  }

  void on_delete_offline(Session& s, const Packet& p) {
    Reader r(p.body);
    std::optional<uint32_t> low = r.ul();
    std::optional<uint32_t> high = r.ul();
    Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
    if (!a || !low || !high) return;
    uint64_t id = uint64_t(*high) << 32 | *low;
    std::erase_if(a->offline, [&](const OfflineMessage& m) { return m.id == id; });
  }

  static uint32_t group_index(const Account& a, size_t place) {
    return a.groups[place].index.value_or(uint32_t(place));
  }
  static bool group_exists(const Account& a, uint32_t group) {
    if (group == 0) return true;
    for (size_t place = 0; place < a.groups.size(); ++place)
      if (group_index(a, place) == group) return true;
    return false;
  }

  void on_modify_contact(Session& s, const Packet& p) {
    Reader r(p.body);
    std::optional<uint32_t> number = r.ul();
    std::optional<uint32_t> flags = r.ul();
    std::optional<uint32_t> group = r.ul();
    std::optional<std::string> address = r.lps();
    std::optional<std::string> name = r.lps();
    auto ack = [&](uint32_t value) {
      reply(s, p.code, Packet{code::modify_contact_ack, p.seq, Writer().ul(value).take()});
    };
    Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
    if (!a || !number || !flags || !group || !address || !name) return ack(kContactOperError);
    // A group is renamed by its index in the number's place.
    if (*flags & contact_flag::group) {
      for (size_t place = 0; place < a->groups.size() && !name->empty(); ++place) {
        if (group_index(*a, place) != *number) continue;
        a->groups[place].name = *name;
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
      it->flags = *flags;
      it->group = *group;
      it->nickname = *name;
    }
    ack(kContactOperSuccess);
  }

  // Adds the contact (or finds it when it is already on the list), answers with its number,
  // tells the adder its presence, and sends the added user an authorization request when that
  // user is logged in.
  void on_add_contact(Session& s, const Packet& p) {
    Reader r(p.body);
    std::optional<uint32_t> flags = r.ul();
    std::optional<uint32_t> group = r.ul();
    std::optional<std::string> address = r.lps();
    std::optional<std::string> name = r.lps();
    Account* a = s.info.logged_in ? find_account(s.info.email) : nullptr;
    auto refuse = [&] {
      reply(s, p.code, Packet{code::add_contact_ack, p.seq, Writer().ul(kContactOperError).ul(0).take()});
    };
    // A new group: its name stands in the name item, and the reply carries its index.
    if (a && flags && (*flags & contact_flag::group)) {
      if (!name || name->empty() || a->groups.size() >= kMaxGroups) return refuse();
      // One past the highest index: a list with gaps keeps them.
      uint32_t index = 0;
      for (size_t place = 0; place < a->groups.size(); ++place)
        index = std::max(index, group_index(*a, place) + 1);
      a->groups.push_back(Group{contact_flag::group, *name, index});
      reply(s, p.code,
            Packet{code::add_contact_ack, p.seq, Writer().ul(kContactOperSuccess).ul(index).take()});
      return;
    }
    if (!a || !flags || !group || !address || address->empty() || !group_exists(*a, *group)) return refuse();
    auto listed = std::find_if(a->contacts.begin(), a->contacts.end(),
                               [&](const Contact& c) { return c.email == *address; });
    if (listed == a->contacts.end()) {
      Contact c;
      c.email = *address;
      c.group = *group;
      c.flags = *flags;
      c.nickname = name.value_or(*address);
      c.pending = behavior.list_only_authorized;
      a->contacts.push_back(c);
    }
    auto numbered = std::find(s.numbers.begin(), s.numbers.end(), *address);
    if (numbered == s.numbers.end()) numbered = s.numbers.insert(s.numbers.end(), *address);
    uint32_t number = kFirstContactNumber + uint32_t(numbered - s.numbers.begin());
    reply(s, p.code,
          Packet{code::add_contact_ack, p.seq, Writer().ul(kContactOperSuccess).ul(number).take()});
    if (Session* added = logged_in_session(*address)) {
      push(s, Packet{code::user_status, 0, Writer().ul(added->info.status).lps(*address).take()});
      if (added != &s) {
        Writer w;
        w.ul(next_message_id++)
            .ul(message_flag::authorize)
            .lps(s.info.email)
            .lps(behavior.auth_request_text)
            .lps(" ");
        push(*added, Packet{code::message_ack, 0, w.take()});
      }
    }
  }

  // The logged-in user authorizes `address`, who added them: they now stand in that account's
  // list. The authorized user hears of it (MRIM_CS_AUTHORIZE_ACK) when logged in.
  void on_authorize(Session& s, const Packet& p) {
    Reader r(p.body);
    std::optional<std::string> address = r.lps();
    Account* adder = s.info.logged_in && address ? find_account(*address) : nullptr;
    if (!adder) return;
    for (Contact& c : adder->contacts)
      if (c.email == s.info.email) c.pending = false;
    if (Session* told = logged_in_session(*address))
      push(*told, Packet{code::authorize_ack, 0, Writer().lps(s.info.email).take()});
  }

  // Items come in pairs: UL kind (0 user part, 1 domain, others are skipped) and an LPS value.
  void on_directory_request(Session& s, const Packet& p) {
    Reader r(p.body);
    std::string user;
    std::string domain;
    bool well_formed = true;
    while (!r.at_end()) {
      std::optional<uint32_t> kind = r.ul();
      std::optional<std::string> value = kind ? r.lps() : std::nullopt;
      if (!value) {
        well_formed = false;
        break;
      }
      if (*kind == 0) user = *value;
      if (*kind == 1) domain = *value;
    }
    Account* a = well_formed ? find_account(user + "@" + domain) : nullptr;
    Writer w;
    if (!a) {
      w.ul(0).ul(0).ul(0).ul(uint32_t(std::time(nullptr)));
    } else {
      std::vector<std::pair<std::string, std::string>> fields = {
          {"Username", user}, {"Domain", domain}, {"Nickname", a->nickname}};
      for (const auto& field : a->directory) {
        auto same =
            std::find_if(fields.begin(), fields.end(), [&](const auto& f) { return f.first == field.first; });
        if (same != fields.end()) {
          same->second = field.second;
        } else {
          fields.push_back(field);
        }
      }
      w.ul(1).ul(uint32_t(fields.size())).ul(1).ul(uint32_t(std::time(nullptr)));
      for (const auto& f : fields) w.lps(f.first);
      for (const auto& f : fields) w.lps(f.second);
    }
    reply(s, p.code, Packet{code::directory_info, p.seq, w.take()});
  }

  // ---- the loop ----

  void accept_address() {
    for (;;) {
      int fd = accept4(address_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      ++address_queries;
      changed();
      if (behavior.address_mode == AddressMode::close) {
        close(fd);
        continue;
      }
      AddressConnection c;
      c.fd = fd;
      if (behavior.address_mode == AddressMode::reply) {
        std::string text =
            behavior.address_reply.value_or(mrim_host + ":" + std::to_string(mrim_port) + "\r\n");
        c.out.assign(text.begin(), text.end());
        if (c.out.empty()) {
          close(fd);
          continue;
        }
      }
      address_connections.push_back(std::move(c));
    }
  }

  void accept_mrim() {
    for (;;) {
      int fd = accept4(mrim_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      Session s;
      s.info.id = next_session++;
      s.info.open = true;
      s.fd = fd;
      s.last_heard = Clock::now();
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      SessionId id = s.info.id;
      sessions.emplace(id, std::move(s));
      if (behavior.close_on_accept) end_session(sessions.at(id), "closed on accept on purpose");
      changed();
    }
  }

  void read_session(Session& s) {
    uint8_t chunk[65536];
    for (;;) {
      ssize_t n = recv(s.fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        // After a decision to close, what the client still sends is not acted upon.
        if (!s.closing) s.in.insert(s.in.end(), chunk, chunk + n);
        // That quirk works per read, so each read is taken before the next one is made.
        if (behavior.one_packet_per_read) take_packets(s);
        if (!s.info.open) return;
        continue;
      }
      if (n == 0) return end_session(s, "closed by the client");
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return end_session(s, std::string("receive error: ") + std::strerror(errno));
    }
    take_packets(s);
  }

  // Handles the whole packets at the front of what the client sent; with one_packet_per_read
  // only the first, and the rest of `in` (what came with it in the same read) is dropped.
  void take_packets(Session& s) {
    size_t used = 0;
    while (s.info.open && !s.closing) {
      Frame frame = cut_frame(s.in.data() + used, s.in.size() - used, kMaxClientBody);
      if (frame.kind == Frame::Kind::incomplete) break;
      if (frame.kind == Frame::Kind::bad_magic) return end_session(s, "bad magic");
      if (frame.kind == Frame::Kind::too_long) return end_session(s, "oversized packet");
      used += frame.consumed;
      handle(s, frame.packet);
      if (behavior.one_packet_per_read && s.info.open) {
        int dropped = detail::count_packets(s.in.data() + used, s.in.size() - used);
        s.info.dropped_packets += dropped;
        dropped_packets += dropped;
        used = s.in.size();
        if (dropped > 0) changed();
        break;
      }
    }
    if (s.info.open) s.in.erase(s.in.begin(), s.in.begin() + ptrdiff_t(std::min(used, s.in.size())));
  }

  void flush(Session& s) {
    const Clock::time_point now = Clock::now();
    if (!s.out.empty() && !wants_write(s, now)) return;
    while (s.info.open && !s.out.empty()) {
      Segment& front = s.out.front();
      const milliseconds drip = front.drip.count() > 0 ? front.drip : s.drip_all;
      // Split and drip: one byte per write, and back to the loop after each, so that the
      // client's reads see every boundary there is.
      const bool one_byte = drip.count() > 0 || behavior.writes == Writes::split;
      ssize_t n =
          ::send(s.fd, front.bytes.data(), one_byte ? 1 : front.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        front.bytes.erase(front.bytes.begin(), front.bytes.begin() + n);
        if (front.bytes.empty()) s.out.pop_front();
        if (drip.count() > 0) s.next_write = now + drip;
        if (one_byte) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      return end_session(s, std::string("send error: ") + std::strerror(errno));
    }
    if (s.info.open && s.closing && s.out.empty()) end_session(s, s.closing_reason, s.reset);
  }

  milliseconds idle_limit() const {
    if (behavior.idle_timeout.count() > 0) return behavior.idle_timeout;
    return milliseconds(uint64_t(behavior.idle_periods) * behavior.ping_period * 1000);
  }

  void run_timers(Clock::time_point now) {
    for (size_t i = 0; i < deferred.size();) {
      if (deferred[i].due > now) {
        ++i;
        continue;
      }
      Deferred d = std::move(deferred[i]);
      deferred.erase(deferred.begin() + ptrdiff_t(i));
      if (Session* s = open_session(d.session)) carry_out(*s, std::move(d.steps));
    }
    milliseconds limit = idle_limit();
    if (limit.count() == 0) return;
    for (auto& [id, s] : sessions) {
      if (s.info.open && !s.info.stalled && now - s.last_heard >= limit) end_session(s, "idle");
    }
  }

  int poll_timeout(Clock::time_point now) const {
    Clock::time_point next = now + milliseconds(kMaxPollMs);
    for (const Deferred& d : deferred) next = std::min(next, d.due);
    for (const auto& [id, s] : sessions)
      if (s.info.open && !s.out.empty()) next = std::min(next, std::max(write_due(s), s.next_write));
    milliseconds limit = idle_limit();
    if (limit.count() > 0) {
      for (const auto& [id, s] : sessions) {
        if (s.info.open) next = std::min(next, s.last_heard + limit);
      }
    }
    if (next <= now) return 0;
    return int(std::chrono::ceil<milliseconds>(next - now).count());
  }

  void run() {
    std::unique_lock lock(m);
    std::vector<pollfd> fds;
    std::vector<SessionId> owners;  // per entry of fds: the session, or 0
    while (!stopping) {
      fds.clear();
      owners.clear();
      auto watch = [&](int fd, short events, SessionId owner) {
        fds.push_back(pollfd{fd, events, 0});
        owners.push_back(owner);
      };
      watch(wake_fd, POLLIN, 0);
      watch(address_fd, POLLIN, 0);
      watch(mrim_fd, POLLIN, 0);
      for (const AddressConnection& c : address_connections) {
        watch(c.fd, short(c.out.empty() ? POLLIN : POLLIN | POLLOUT), 0);
      }
      for (const auto& [id, s] : sessions) {
        if (s.info.open) watch(s.fd, short(wants_write(s, Clock::now()) ? POLLIN | POLLOUT : POLLIN), id);
      }
      int timeout = poll_timeout(Clock::now());
      lock.unlock();
      poll(fds.data(), fds.size(), timeout);
      lock.lock();
      if (stopping) break;

      if (fds[0].revents) {
        uint64_t count;
        if (read(wake_fd, &count, sizeof count) < 0) {
          // Nothing to drain.
        }
      }
      if (fds[1].revents) accept_address();
      if (fds[2].revents) accept_mrim();
      for (size_t i = 3; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        if (owners[i] == 0) {
          address_event(fds[i]);
        } else if (Session* s = open_session(owners[i]); s && s->fd == fds[i].fd) {
          if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) read_session(*s);
        }
      }
      run_timers(Clock::now());
      flush_all();
    }
  }

  void address_event(const pollfd& p) {
    auto it = std::find_if(address_connections.begin(), address_connections.end(),
                           [&](const AddressConnection& c) { return c.fd == p.fd; });
    if (it == address_connections.end()) return;
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[256];
      ssize_t n = recv(it->fd, chunk, sizeof chunk, MSG_DONTWAIT);
      // The client has gone (or sent something, which the service does not expect).
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        close(it->fd);
        address_connections.erase(it);
      }
    }
  }

  void flush_all() {
    for (auto it = address_connections.begin(); it != address_connections.end();) {
      if (it->out.empty()) {
        ++it;  // held: stays open
        continue;
      }
      ssize_t n = ::send(it->fd, it->out.data(), it->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) it->out.erase(it->out.begin(), it->out.begin() + n);
      bool failed = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
      if (it->out.empty() || failed) {
        close(it->fd);
        it = address_connections.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [id, s] : sessions) {
      if (s.info.open) flush(s);
    }
  }
};

Server::Server(Settings settings) : impl_(std::make_unique<Impl>()) {
  impl_->behavior = settings.behavior;
  impl_->accounts = settings.accounts;
  for (Account& a : impl_->accounts) {
    for (OfflineMessage& m : a.offline) m.id = impl_->next_offline_id++;
  }
  impl_->settings = std::move(settings);
  impl_->settings.accounts.clear();  // the server's own copy above is the one that changes
}

Server::~Server() { stop(); }

void Server::start() {
  Impl& d = *impl_;
  std::lock_guard lock(d.m);
  if (d.running) return;
  Endpoint address = parse_endpoint(d.settings.address_listen);
  Endpoint mrim = parse_endpoint(d.settings.mrim_listen);
  d.address_fd = listen_on(address, d.address_port);
  try {
    d.mrim_fd = listen_on(mrim, d.mrim_port);
  } catch (...) {
    close(d.address_fd);
    d.address_fd = -1;
    throw;
  }
  // A service listening on every interface is named by its loopback address.
  d.mrim_host = every_interface(mrim) ? "127.0.0.1" : mrim.host;
  d.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  d.stopping = false;
  d.running = true;
  d.thread = std::thread([&d] { d.run(); });
}

void Server::stop() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.m);
    if (!d.running) return;
    d.stopping = true;
    d.wake();
  }
  d.thread.join();
  std::lock_guard lock(d.m);
  for (auto& [id, s] : d.sessions) d.end_session(s, "server stopped");
  for (AddressConnection& c : d.address_connections) close(c.fd);
  d.address_connections.clear();
  d.deferred.clear();
  close(d.address_fd);
  close(d.mrim_fd);
  close(d.wake_fd);
  d.address_fd = d.mrim_fd = d.wake_fd = -1;
  d.running = false;
  d.changed();
}

uint16_t Server::address_port() const {
  std::lock_guard lock(impl_->m);
  return impl_->address_port;
}

uint16_t Server::mrim_port() const {
  std::lock_guard lock(impl_->m);
  return impl_->mrim_port;
}

Behavior Server::behavior() const {
  std::lock_guard lock(impl_->m);
  return impl_->behavior;
}

void Server::set_behavior(const Behavior& behavior) {
  std::lock_guard lock(impl_->m);
  impl_->behavior = behavior;
  if (impl_->running) impl_->wake();
}

void Server::add_fault(const FaultRule& rule) {
  std::lock_guard lock(impl_->m);
  if (rule.times != 0) impl_->faults.push_back(rule);
}

void Server::clear_faults() {
  std::lock_guard lock(impl_->m);
  impl_->faults.clear();
}

void Server::release_held() {
  std::lock_guard lock(impl_->m);
  for (Deferred& d : impl_->deferred) {
    if (d.due == Clock::time_point::max()) d.due = Clock::now();
  }
  if (impl_->running) impl_->wake();
}

void Server::add_account(const Account& account) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account copy = account;
  for (OfflineMessage& m : copy.offline) m.id = d.next_offline_id++;
  if (Account* existing = d.find_account(account.email)) {
    *existing = std::move(copy);
  } else {
    d.accounts.push_back(std::move(copy));
  }
}

std::optional<Account> Server::account(const std::string& email) const {
  std::lock_guard lock(impl_->m);
  Account* a = impl_->find_account(email);
  return a ? std::optional<Account>(*a) : std::nullopt;
}

uint64_t Server::store_offline(const std::string& email, OfflineMessage message) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account* a = d.find_account(email);
  if (!a) return 0;
  message.id = d.next_offline_id++;
  a->offline.push_back(message);
  if (Session* s = d.logged_in_session(email)) {
    d.push(*s, d.offline_message(message));
    d.wake();
  }
  return message.id;
}

std::vector<SessionInfo> Server::sessions() const {
  std::lock_guard lock(impl_->m);
  std::vector<SessionInfo> out;
  for (const auto& [id, s] : impl_->sessions) out.push_back(s.info);
  return out;
}

std::optional<SessionInfo> Server::session(SessionId id) const {
  std::lock_guard lock(impl_->m);
  auto it = impl_->sessions.find(id);
  return it == impl_->sessions.end() ? std::nullopt : std::optional<SessionInfo>(it->second.info);
}

std::optional<SessionId> Server::session_of(const std::string& email) const {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->logged_in_session(email);
  return s ? std::optional<SessionId>(s->info.id) : std::nullopt;
}

std::vector<Packet> Server::received(SessionId id) const {
  std::lock_guard lock(impl_->m);
  auto it = impl_->sessions.find(id);
  if (it == impl_->sessions.end()) return {};
  return std::vector<Packet>(it->second.log.begin(), it->second.log.end());
}

std::vector<Received> Server::received() const {
  std::lock_guard lock(impl_->m);
  return std::vector<Received>(impl_->log.begin(), impl_->log.end());
}

int Server::address_queries() const {
  std::lock_guard lock(impl_->m);
  return impl_->address_queries;
}

int Server::dropped_packets() const {
  std::lock_guard lock(impl_->m);
  return impl_->dropped_packets;
}

bool Server::wait_until(const std::function<bool()>& pred, milliseconds timeout) const {
  Impl& d = *impl_;
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(d.m);
  for (;;) {
    uint64_t seen = d.generation;
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (!d.cv.wait_until(lock, deadline, [&] { return d.generation != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

bool Server::send(SessionId id, const Packet& packet) { return send_raw(id, encode(packet)); }

bool Server::send_raw(SessionId id, const Bytes& bytes) {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->open_session(id);
  if (!s) return false;
  impl_->queue(*s, bytes);
  impl_->wake();
  return true;
}

bool Server::close_session(SessionId id) {
  Impl& d = *impl_;
  std::unique_lock lock(d.m);
  Session* s = d.open_session(id);
  if (!s) return false;
  s->out.clear();
  s->closing = true;
  s->reset = false;
  s->closing_reason = "closed by the test";
  d.wake();
  d.cv.wait(lock, [&] { return !d.running || !d.open_session(id); });
  return true;
}

bool Server::inject(SessionId id, const FaultRule& rule) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Session* s = d.open_session(id);
  if (!s || s->closing) return false;
  const Account* a = s->info.logged_in ? d.find_account(s->info.email) : nullptr;
  Packet harmless{code::mailbox_status, 0, Writer().ul(a ? a->unread_mail : 0).take()};
  d.carry_out(*s, detail::injected(rule, harmless));
  d.wake();
  return true;
}

bool Server::inject(SessionId id, Fault fault) {
  FaultRule rule;
  rule.fault = fault;
  return inject(id, rule);
}

std::optional<uint32_t> Server::deliver_message(const std::string& to, const std::string& from,
                                                const std::string& text, uint32_t flags) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Session* s = d.logged_in_session(to);
  if (!s) return std::nullopt;
  uint32_t id = d.next_message_id++;
  d.push(*s, Packet{code::message_ack, 0, Writer().ul(id).ul(flags).lps(from).lps(text).lps(" ").take()});
  d.wake();
  return id;
}

bool Server::set_unread(const std::string& email, uint32_t unread) {
  std::lock_guard lock(impl_->m);
  Impl& d = *impl_;
  Account* a = d.find_account(email);
  if (!a) return false;
  a->unread_mail = unread;
  a->total_mail = std::max(a->total_mail, unread);
  Session* s = d.logged_in_session(email);
  if (!s) return false;
  d.push(*s, d.mailbox_status(*a));
  d.wake();
  return true;
}

bool Server::send_connection_params(const std::string& email, uint32_t ping_period) {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->logged_in_session(email);
  if (!s) return false;
  impl_->push(*s, Packet{code::connection_params, 0, Writer().ul(ping_period).take()});
  impl_->wake();
  return true;
}

bool Server::force_logout(const std::string& email, uint32_t reason) {
  std::lock_guard lock(impl_->m);
  Session* s = impl_->logged_in_session(email);
  if (!s) return false;
  impl_->push(*s, Packet{code::logout, 0, Writer().ul(reason).take()});
  if (!s->closing) {
    s->closing = true;
    s->closing_reason = "logged out by the test";
  }
  impl_->wake();
  return true;
}

void Server::announce_status(const std::string& address, uint32_t status) {
  std::lock_guard lock(impl_->m);
  for (Account& a : impl_->accounts) {
    for (Contact& c : a.contacts) {
      if (c.email == address) c.status = status;
    }
  }
  impl_->fan_out(address, status);
  if (impl_->running) impl_->wake();
}

}  // namespace serversim
