// The MRIM server stand-in's machinery: one thread runs a poll loop over the listening sockets,
// the connections of the address and avatar services and the sessions; packets are cut from
// what clients send and handed to the request handlers; what sessions send is queued, spoiled by
// the fault rules and written as the chosen write style has it. Only the server thread touches
// sockets: the public methods queue bytes or mark sessions and wake the loop through an eventfd.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/text.h"
#include "serversim/state.h"

namespace serversim {

namespace detail {

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

}  // namespace detail

namespace {

using detail::AddressConnection;
using detail::AvatarConnection;
using detail::Clock;
using detail::Deferred;
using detail::Outgoing;
using detail::Segment;
using detail::Step;

// Bounds on what is kept for tests, so that the daemon does not grow without end.
constexpr size_t kMaxEndedSessions = 256;
constexpr size_t kMaxLogPerSession = 1 << 16;
constexpr size_t kMaxLog = 1 << 18;
// The loop looks at its timers at least this often, whatever else happens.
constexpr int kMaxPollMs = 1000;
// The owner of an avatar connection's entry in the poll set (session numbers start at 1 and
// never come near it; 0 stands for an address connection).
constexpr SessionId kAvatarOwner = ~SessionId(0);

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

}  // namespace

using Session = detail::Session;

void Server::Impl::changed() {
  ++generation;
  cv.notify_all();
}

void Server::Impl::wake() {
  uint64_t one = 1;
  if (write(wake_fd, &one, sizeof one) < 0) {
    // The counter is already non-zero (or the loop is gone): the loop wakes anyway.
  }
}

Account* Server::Impl::find_account(const std::string& email) {
  for (Account& a : accounts) {
    if (a.email == email) return &a;
  }
  return nullptr;
}

Session* Server::Impl::open_session(SessionId id) {
  auto it = sessions.find(id);
  return it != sessions.end() && it->second.info.open ? &it->second : nullptr;
}

Session* Server::Impl::logged_in_session(const std::string& email) {
  for (auto& [id, s] : sessions) {
    if (s.info.open && !s.closing && s.info.logged_in && s.info.email == email) return &s;
  }
  return nullptr;
}

// Nothing more goes out once the session has decided to close, or has stalled. Bytes are
// encrypted here, in the order they are queued, which is the order they are written in: each
// record's number is then the one the client expects.
void Server::Impl::queue(Session& s, const Bytes& bytes, milliseconds drip) {
  if (s.closing || s.info.stalled || bytes.empty()) return;
  if (!s.tls) return queue_wire(s, bytes, drip);
  if (!s.tls->established()) {
    ++s.info.dropped_in_handshake;
    changed();
    return;
  }
  queue_wire(s, s.tls->encrypt(bytes), drip);
}

void Server::Impl::queue_wire(Session& s, const Bytes& bytes, milliseconds drip) {
  if (s.closing || s.info.stalled || bytes.empty()) return;
  if (s.out.empty()) s.out_since = Clock::now();
  if (drip.count() == 0 && !s.out.empty() && s.out.back().drip.count() == 0) {
    append(s.out.back().bytes, bytes);
  } else {
    s.out.push_back(Segment{bytes, drip});
  }
}

void Server::Impl::carry_out(Session& s, std::vector<Step> steps) {
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
Clock::time_point Server::Impl::write_due(const Session& s) const {
  return behavior.writes == Writes::coalesce ? s.out_since + behavior.coalesce_window : s.out_since;
}

bool Server::Impl::wants_write(const Session& s, Clock::time_point now) const {
  return !s.out.empty() && write_due(s) <= now && s.next_write <= now;
}

void Server::Impl::record(Session& s, const Packet& p, uint32_t version) {
  s.log.push_back(p);
  if (s.log.size() > kMaxLogPerSession) s.log.pop_front();
  log.push_back(Received{s.info.id, s.info.logged_in ? s.info.email : "", p, version});
  if (log.size() > kMaxLog) log.pop_front();
}

void Server::Impl::end_session(Session& s, const std::string& reason, bool reset) {
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
  s.tls.reset();
  std::erase_if(deferred, [&](const Deferred& d) { return d.session == s.info.id; });
  // A session ended by a second log-in has already handed the account over: no offline.
  if (s.info.logged_in && !logged_in_session(s.info.email)) fan_out(s.info.email, detail::Presence{});
  ended.push_back(s.info.id);
  while (ended.size() > kMaxEndedSessions) {
    sessions.erase(ended.front());
    ended.pop_front();
  }
  changed();
}

std::optional<FaultRule> Server::Impl::take_fault(const Outgoing& out) {
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

void Server::Impl::send_burst(Session& s, std::span<const Outgoing> burst) {
  carry_out(s, detail::compose(burst, [this](const Outgoing& out) { return take_fault(out); }));
}

void Server::Impl::reply(Session& s, uint32_t request, Packet packet, std::vector<Packet> trailer) {
  std::vector<Outgoing> burst{Outgoing{std::move(packet), request}};
  for (Packet& p : trailer) burst.push_back(Outgoing{numbered(std::move(p)), 0});
  send_burst(s, burst);
}

void Server::Impl::push(Session& s, Packet packet) {
  Outgoing out{numbered(std::move(packet)), 0};
  send_burst(s, std::span(&out, 1));
}

// Decided by what the packet is, so that every path that sends one gets the same number: a
// message a random one, unless it asks for authorization; a stored message the low word of its
// identifier, which is its first item.
Packet Server::Impl::numbered(Packet packet) {
  if (!behavior.push_sequence_numbers) return packet;
  Reader r(packet.body);
  if (packet.code == code::message_ack) {
    r.ul();
    const bool asks = (r.ul().value_or(0) & message_flag::authorize) != 0;
    packet.seq = asks ? 0xFFFFFFFF : uint32_t(random());
  } else if (packet.code == code::offline_message_ack) {
    packet.seq = r.ul().value_or(0);
  }
  return packet;
}

void Server::Impl::accept_address() {
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
    c.due = Clock::now() + behavior.address_reply_delay;
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

void Server::Impl::accept_mrim() {
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

void Server::Impl::read_session(Session& s) {
  uint8_t chunk[65536];
  for (;;) {
    ssize_t n = recv(s.fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      ++s.info.reads;
      changed();
      if (s.tls) {
        read_tls(s, chunk, size_t(n));
        if (!s.info.open) return;
        continue;
      }
      // After a decision to close, what the client still sends is not acted upon.
      if (!s.closing) s.in.insert(s.in.end(), chunk, chunk + n);
      // Those quirks work per read, so each read is taken before the next one is made.
      if (per_read()) take_packets(s);
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

bool Server::Impl::per_read() const {
  return behavior.one_packet_per_read || behavior.split_header || behavior.short_body_twice;
}

// Handles the whole packets at the front of what the client sent; with one_packet_per_read
// only the first, and the rest of `in` (what came with it in the same read) is dropped. The
// quirks that work per read count on being called once for each read.
void Server::Impl::take_packets(Session& s) {
  size_t used = 0;
  while (s.info.open && !s.closing) {
    const size_t left = s.in.size() - used;
    if (behavior.split_header && left > 0 && left < kHeaderSize) {
      // The read ended inside a header, which that server takes as whole: what has not come
      // reads as zeros, and what comes next is read after it.
      s.in.resize(used + kHeaderSize, 0);
      continue;
    }
    Frame frame = cut_frame(s.in.data() + used, left, kMaxClientBody);
    if (frame.kind == Frame::Kind::incomplete) {
      if (behavior.short_body_twice && left >= kHeaderSize) take_short_body(s, used);
      break;
    }
    if (frame.kind == Frame::Kind::bad_magic) return end_session(s, "bad magic");
    if (frame.kind == Frame::Kind::too_long) return end_session(s, "oversized packet");
    used += frame.consumed;
    s.body_seen = 0;
    s.body_reads = 0;
    const bool was_clear = !s.tls;
    handle(s, frame.packet, frame.version);
    if (was_clear && s.tls) {
      // The request to turn to TLS was the last packet in clear: what came behind it in the
      // stream is the client's first TLS bytes, or (as a community server has it) bytes that
      // were sent in clear and are dropped.
      Bytes rest(s.in.begin() + ptrdiff_t(used), s.in.end());
      s.in.clear();
      if (!rest.empty() && !behavior.tls_fresh_session) read_tls(s, rest.data(), rest.size());
      return;
    }
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

// Counts the reads that brought some of the body at `at`. At the second of them a body still
// incomplete is handled as far as it has come, under its header as sent; the whole packet is
// handled again once it is complete. A body that takes two reads is handled once.
void Server::Impl::take_short_body(Session& s, size_t at) {
  const uint8_t* header = s.in.data() + at;
  const size_t body = s.in.size() - at - kHeaderSize;
  if (body <= s.body_seen) return;  // this read brought none of it
  s.body_seen = body;
  if (++s.body_reads != 2) return;
  Packet cut{get_ul(header + 12), get_ul(header + 8),
             Bytes(header + kHeaderSize, header + kHeaderSize + body)};
  handle(s, cut, get_ul(header + 4));
}

void Server::Impl::flush(Session& s) {
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

milliseconds Server::Impl::idle_limit() const {
  if (behavior.idle_timeout.count() > 0) return behavior.idle_timeout;
  if (behavior.ping_only_keepalive) return milliseconds((uint64_t(behavior.ping_period) + 10) * 1000);
  return milliseconds(uint64_t(behavior.idle_periods) * behavior.ping_period * 1000);
}

namespace {

// With ping_only_keepalive the idle clock starts at the first PING.
bool idle_clock_runs(const Session& s, const Behavior& behavior) {
  return s.info.open && !s.info.stalled && (!behavior.ping_only_keepalive || s.pinged);
}

}  // namespace

void Server::Impl::run_timers(Clock::time_point now) {
  for (size_t i = 0; i < deferred.size();) {
    if (deferred[i].due > now) {
      ++i;
      continue;
    }
    Deferred d = std::move(deferred[i]);
    deferred.erase(deferred.begin() + ptrdiff_t(i));
    if (Session* s = open_session(d.session)) carry_out(*s, std::move(d.steps));
  }
  for (auto& [id, s] : sessions) {
    if (s.info.open && s.login_ack_due && *s.login_ack_due <= now) acknowledge_login(s);
  }
  milliseconds limit = idle_limit();
  if (limit.count() == 0) return;
  for (auto& [id, s] : sessions) {
    if (idle_clock_runs(s, behavior) && now - s.last_heard >= limit) end_session(s, "idle");
  }
}

int Server::Impl::poll_timeout(Clock::time_point now) const {
  Clock::time_point next = now + milliseconds(kMaxPollMs);
  for (const Deferred& d : deferred) next = std::min(next, d.due);
  for (const AddressConnection& c : address_connections) {
    if (!c.out.empty()) next = std::min(next, c.due);
  }
  for (const auto& [id, s] : sessions) {
    if (s.info.open && !s.out.empty()) next = std::min(next, std::max(write_due(s), s.next_write));
    if (s.info.open && s.login_ack_due) next = std::min(next, *s.login_ack_due);
  }
  milliseconds limit = idle_limit();
  if (limit.count() > 0) {
    for (const auto& [id, s] : sessions) {
      if (idle_clock_runs(s, behavior)) next = std::min(next, s.last_heard + limit);
    }
  }
  next = avatars_due(now, next);
  if (next <= now) return 0;
  return int(std::chrono::ceil<milliseconds>(next - now).count());
}

void Server::Impl::run() {
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
    watch(avatar_fd, POLLIN, 0);  // -1 without the service, which poll passes over
    for (const AddressConnection& c : address_connections) {
      const bool writable = !c.out.empty() && c.due <= Clock::now();
      watch(c.fd, short(writable ? POLLIN | POLLOUT : POLLIN), 0);
    }
    for (const AvatarConnection& c : avatar_connections) {
      const short in = c.client_done ? 0 : POLLIN;
      watch(c.fd, short(avatar_writable(c, Clock::now()) ? in | POLLOUT : in), kAvatarOwner);
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
    if (fds[3].revents) accept_avatar();
    for (size_t i = 4; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      if (owners[i] == 0) {
        address_event(fds[i]);
      } else if (owners[i] == kAvatarOwner) {
        avatar_event(fds[i]);
      } else if (Session* s = open_session(owners[i]); s && s->fd == fds[i].fd) {
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) read_session(*s);
      }
    }
    run_timers(Clock::now());
    flush_all();
  }
}

void Server::Impl::address_event(const pollfd& p) {
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

void Server::Impl::flush_all() {
  for (auto it = address_connections.begin(); it != address_connections.end();) {
    if (it->out.empty() || it->due > Clock::now()) {
      ++it;  // held, or not due yet: stays open
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
  run_avatars(Clock::now());
  for (auto& [id, s] : sessions) {
    if (s.info.open) flush(s);
  }
}

}  // namespace serversim
