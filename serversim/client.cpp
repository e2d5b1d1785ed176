// A small blocking MRIM client for tests (see client.h).
#include "serversim/client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace serversim {

using Clock = std::chrono::steady_clock;

Client::Client() = default;
Client::~Client() { close(); }

bool Client::connect(uint16_t port, const std::string& host) {
  close();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close();
    return false;
  }
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  peer_closed_ = false;
  receive_error_ = 0;
  broken_ = false;
  buffer_.clear();
  aside_.clear();
  tls_.reset();
  tls_error_.clear();
  return true;
}

void Client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Client::send(const Packet& packet) { return send_raw(encode(packet, version_)); }

bool Client::send_raw(const Bytes& bytes) {
  if (!tls_) return send_wire(bytes);
  return tls_->established() && send_wire(tls_->encrypt(bytes));
}

bool Client::send_wire(const Bytes& bytes) {
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return fd_ >= 0;
}

uint32_t Client::request(uint32_t code, Bytes body) {
  uint32_t seq = next_seq();
  send(Packet{code, seq, std::move(body)});
  return seq;
}

bool Client::fill(Clock::time_point deadline) {
  Bytes raw;
  while (receive(deadline, raw)) {
    if (!tls_) {
      buffer_.insert(buffer_.end(), raw.begin(), raw.end());
      return true;
    }
    if (take_tls(raw)) return true;
  }
  return false;
}

bool Client::receive(Clock::time_point deadline, Bytes& raw) {
  if (fd_ < 0 || peer_closed_) return false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, int(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    uint8_t chunk[65536];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      receive_error_ = n < 0 ? errno : 0;
      peer_closed_ = true;
      return false;
    }
    raw.assign(chunk, chunk + n);
    return true;
  }
}

// A TLS failure ends the stream as a close would; what came before it can still be read.
bool Client::take_tls(const Bytes& raw) {
  detail::TlsRead read = tls_->feed(raw.data(), raw.size());
  send_wire(tls_->take_output());
  for (const Bytes& plain : read.plain) buffer_.insert(buffer_.end(), plain.begin(), plain.end());
  if (!read.error.empty()) {
    tls_error_ = read.error;
    peer_closed_ = true;
  }
  return !read.plain.empty();
}

bool Client::start_tls(bool only_1_2, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  std::optional<Packet> answer = read_reply(request(code::tls_request), timeout);
  if (!answer || answer->code != code::tls_go_ahead) {
    tls_error_ = answer ? "refused with " + code_name(answer->code) : "no answer";
    return false;
  }
  return tls_handshake(only_1_2,
                       std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

bool Client::tls_handshake(bool only_1_2, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  tls_ = detail::TlsEngine::client(only_1_2);
  // Whatever came behind the go-ahead is the server's TLS already; the first feed also makes
  // the client's hello.
  Bytes raw = std::move(buffer_);
  buffer_.clear();
  take_tls(raw);
  while (!tls_->established() && tls_error_.empty() && receive(deadline, raw)) take_tls(raw);
  if (!tls_->established() && tls_error_.empty()) tls_error_ = "the handshake did not end in time";
  return encrypted();
}

bool Client::encrypted() const { return tls_ && tls_->established() && tls_error_.empty(); }

TlsPeer Client::tls_peer() const { return tls_ ? tls_->peer() : TlsPeer{}; }

std::optional<Packet> Client::cut() {
  if (broken_) return std::nullopt;
  // The client takes what the plug-in's receiver could hold, and a little more.
  Frame frame = cut_frame(buffer_.data(), buffer_.size(), 1 << 24);
  if (frame.kind == Frame::Kind::bad_magic || frame.kind == Frame::Kind::too_long) {
    broken_ = true;
    return std::nullopt;
  }
  if (frame.kind != Frame::Kind::packet) return std::nullopt;
  buffer_.erase(buffer_.begin(), buffer_.begin() + ptrdiff_t(frame.consumed));
  return frame.packet;
}

std::optional<Packet> Client::read(std::chrono::milliseconds timeout) {
  if (!aside_.empty()) {
    Packet p = std::move(aside_.front());
    aside_.pop_front();
    return p;
  }
  auto deadline = Clock::now() + timeout;
  for (;;) {
    if (std::optional<Packet> p = cut()) return p;
    if (broken_ || !fill(deadline)) return std::nullopt;
  }
}

std::optional<Packet> Client::read_reply(uint32_t seq, std::chrono::milliseconds timeout) {
  return read_matching([seq](const Packet& p) { return p.seq == seq; }, timeout);
}

std::optional<Packet> Client::read_code(uint32_t code, std::chrono::milliseconds timeout) {
  return read_matching([code](const Packet& p) { return p.code == code; }, timeout);
}

// The first packet that matches, from those set aside earlier or from the connection; packets
// that arrive before it are set aside for later reads.
std::optional<Packet> Client::read_matching(const std::function<bool(const Packet&)>& matches,
                                            std::chrono::milliseconds timeout) {
  for (auto it = aside_.begin(); it != aside_.end(); ++it) {
    if (matches(*it)) {
      Packet p = std::move(*it);
      aside_.erase(it);
      return p;
    }
  }
  auto deadline = Clock::now() + timeout;
  for (;;) {
    std::optional<Packet> p = cut();
    if (p && matches(*p)) return p;
    if (p) {
      aside_.push_back(std::move(*p));
      continue;
    }
    if (broken_ || !fill(deadline)) return std::nullopt;
  }
}

Bytes Client::read_bytes(size_t count, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (buffer_.size() < count && fill(deadline)) {
  }
  Bytes out = std::move(buffer_);
  buffer_.clear();
  return out;
}

std::string Client::read_all(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (fill(deadline)) {
  }
  std::string text(buffer_.begin(), buffer_.end());
  buffer_.clear();
  return text;
}

bool Client::wait_closed(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!peer_closed_ && fill(deadline)) {
  }
  return peer_closed_;
}

// By code rather than by number: some servers answer the hello with sequence number 0.
std::optional<Packet> Client::hello() {
  request(code::hello);
  return read_code(code::hello_ack);
}

std::optional<Packet> Client::login(const std::string& email, const std::string& password, uint32_t status,
                                    const std::string& description) {
  LoginDetails details;
  details.status = status;
  details.client = description;
  return login(email, password, details);
}

std::optional<Packet> Client::login(const std::string& email, const std::string& password,
                                    const LoginDetails& details) {
  if (!hello()) return std::nullopt;
  return read_reply(request(code::login2, login_body(version_, email, password, details)));
}

Bytes login_body(uint32_t version, const std::string& email, const std::string& password,
                 const LoginDetails& details) {
  Writer w;
  w.lps(email).lps(password).ul(details.status);
  if (revision::minor(version) < revision::minor(revision::v1_14)) return w.lps(details.client).take();
  const bool unicode = revision::unicode(version);
  const std::string uri = details.uri.empty() ? status_uri(details.status) : details.uri;
  w.lps(utf8_to_cp1251(uri))
      .lps(to_wire(details.title, unicode))
      .lps(to_wire(details.description, unicode))
      .ul(details.features)
      .lps(details.client);
  if (unicode) w.lps(details.locale);
  return w.lps(details.client).take();
}

}  // namespace serversim
