// The avatar service's connections in the server loop: each is accepted, read once, answered
// and closed. Nothing here blocks or sleeps: a slow picture waits on a timer and a huge one goes
// out as the client takes it, so no client holds back the MRIM sessions or another picture.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "serversim/avatar_http.h"
#include "serversim/picture.h"
#include "serversim/state.h"

namespace serversim {

using detail::AvatarConnection;
using detail::Clock;

namespace {

// A client that connects and never asks is not kept for ever.
constexpr std::chrono::seconds kRequestWait{30};
// After the answer the client's close is awaited (reading what it still sends) for this long:
// a close with its bytes unread would send an RST, which can cost the client the answer.
constexpr std::chrono::seconds kLinger{2};
constexpr size_t kFillerChunk = 64 * 1024;
// Paths are the client's to choose: past this many, new ones count only in the total, so that
// the daemon does not grow without end.
constexpr size_t kMaxCountedPaths = 4096;

}  // namespace

void Server::Impl::accept_avatar() {
  for (;;) {
    int fd = accept4(avatar_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    AvatarConnection c;
    c.fd = fd;
    c.deadline = Clock::now() + kRequestWait;
    avatar_connections.push_back(std::move(c));
    const auto open = std::count_if(avatar_connections.begin(), avatar_connections.end(),
                                    [](const AvatarConnection& a) { return a.fd >= 0; });
    avatar_peak = std::max(avatar_peak, int(open));
    changed();
  }
}

void Server::Impl::avatar_event(const pollfd& p) {
  auto it = std::find_if(avatar_connections.begin(), avatar_connections.end(),
                         [&](const AvatarConnection& c) { return c.fd == p.fd; });
  if (it == avatar_connections.end()) return;
  AvatarConnection& c = *it;
  // Reset, or shut both ways: nobody is left to answer.
  if (p.revents & (POLLERR | POLLHUP)) return close_avatar(c);
  uint8_t chunk[2 * detail::kMaxRequestHead];
  ssize_t n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n > 0) {
    // Only the first read is the request; what follows it is dropped.
    if (!c.answered) answer_avatar(c, chunk, size_t(n));
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  // A client that shut only its own side still gets its answer.
  if (n == 0 && c.answered && !c.sent) {
    c.client_done = true;
    return;
  }
  close_avatar(c);
}

const Bytes& Server::Impl::picture(const std::string& address) {
  auto it = pictures.find(address);
  if (it == pictures.end()) it = pictures.emplace(address, detail::make_picture(address)).first;
  return it->second;
}

void Server::Impl::answer_avatar(AvatarConnection& c, const uint8_t* data, size_t size) {
  const detail::AvatarRequest request = detail::read_request(data, size);
  detail::HttpAnswer answer;
  if (request.kind == detail::AvatarRequest::Kind::bad) {
    answer = detail::bad_request();
  } else if (request.kind == detail::AvatarRequest::Kind::other) {
    answer = detail::not_found();
  } else {
    auto user = std::find_if(avatars.begin(), avatars.end(), [&](const auto& entry) {
      return detail::names_user(entry.first, request.label, request.login);
    });
    const AvatarKind kind = user == avatars.end() ? AvatarKind::none : user->second;
    const Bytes jpeg = detail::needs_picture(kind) ? picture(user->first) : Bytes();
    answer = detail::avatar_answer(kind, jpeg, request.path);
  }
  ++avatar_requests;
  if (!request.path.empty() &&
      (avatar_paths.size() < kMaxCountedPaths || avatar_paths.contains(request.path))) {
    ++avatar_paths[request.path];
  }
  c.answered = true;
  c.out = std::move(answer.bytes);
  c.filler = answer.filler;
  c.send_at = Clock::now() + (answer.delayed ? behavior.avatar_delay : milliseconds(0));
  changed();
}

void Server::Impl::flush_avatar(AvatarConnection& c, Clock::time_point now) {
  if (!avatar_writable(c, now)) return;
  for (;;) {
    if (c.out.empty() && c.filler > 0) {
      c.out.assign(std::min(c.filler, kFillerChunk), 0);
      c.filler -= c.out.size();
    }
    if (c.out.empty()) break;
    ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out.erase(c.out.begin(), c.out.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // The client has gone, as the reader of a huge picture does once it has seen enough.
    return close_avatar(c);
  }
  shutdown(c.fd, SHUT_WR);
  c.sent = true;
  if (c.client_done) return close_avatar(c);
  c.deadline = now + kLinger;
}

void Server::Impl::close_avatar(AvatarConnection& c) {
  if (c.fd < 0) return;
  close(c.fd);
  c.fd = -1;
  changed();
}

void Server::Impl::run_avatars(Clock::time_point now) {
  for (AvatarConnection& c : avatar_connections) {
    if (c.fd >= 0) flush_avatar(c, now);
    // An answer on its way is not timed out: a slow picture waits on purpose, and a huge one
    // ends when its client stops reading.
    if (c.fd >= 0 && (!c.answered || c.sent) && c.deadline <= now) close_avatar(c);
  }
  std::erase_if(avatar_connections, [](const AvatarConnection& c) { return c.fd < 0; });
}

Clock::time_point Server::Impl::avatars_due(Clock::time_point now, Clock::time_point next) const {
  for (const AvatarConnection& c : avatar_connections) {
    if (c.fd < 0) continue;
    if (!c.answered || c.sent) {
      next = std::min(next, c.deadline);
    } else if (c.send_at > now) {
      next = std::min(next, c.send_at);  // once due, the socket's readiness drives it
    }
  }
  return next;
}

bool Server::Impl::avatar_writable(const AvatarConnection& c, Clock::time_point now) {
  return c.answered && !c.sent && c.send_at <= now;
}

}  // namespace serversim
