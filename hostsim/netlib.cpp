// The host stand-in's network library: the six "Netlib/..." services over real TCP sockets.
//
// Handles are ids in one table (never 0); each entry is a shared_ptr, so a call that found a
// handle keeps its record alive even when another thread closes the handle meanwhile. Closing a
// receiver, or the connection under it, signals the receiver's waker, which wakes a thread blocked
// in "Netlib/GetMorePackets" at once; the socket itself is closed only when the last user of the
// connection lets go of it, so no thread ever polls a closed (or reused) descriptor.
//
// As strict as a real host about receivers: closing one frees the buffer it handed out at once,
// so a caller that still reads it after the close reads freed memory (which ASan reports). The
// stand-in's own threads stay clear of it another way: the close waits for a "GetMorePackets"
// in progress on that receiver to leave (it is woken first), and every later call sees the
// receiver closed before it looks at the buffer.

// ---- Portability: the few socket calls that differ between Winsock and POSIX -------------------
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // as the rest of the host includes <windows.h>
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <variant>

#include "host/host_api.h"
#include "hostsim/host.h"
#include "hostsim/last_error.h"
#include "hostsim/netlib.h"

namespace hostsim {
namespace {

// Error codes as the plug-in's GetLastError reports them: Winsock numbers on every platform.
constexpr uint32_t kInvalidHandle = 6;           // ERROR_INVALID_HANDLE
constexpr uint32_t kInvalidParameter = 87;       // ERROR_INVALID_PARAMETER
constexpr uint32_t kInterrupted = 10004;         // WSAEINTR: the handle was closed during the wait
constexpr uint32_t kMessageTooLong = 10040;      // WSAEMSGSIZE: the receiver's buffer is full
constexpr uint32_t kConnectionAborted = 10053;   // WSAECONNABORTED
constexpr uint32_t kConnectionReset = 10054;     // WSAECONNRESET
constexpr uint32_t kNetworkUnreachable = 10051;  // WSAENETUNREACH
constexpr uint32_t kNotConnected = 10057;        // WSAENOTCONN
constexpr uint32_t kTimedOut = 10060;            // WSAETIMEDOUT
constexpr uint32_t kHostNotFound = 11001;        // WSAHOST_NOT_FOUND
// The host's own open record, as wide as its pointers; the short one is the older interface's.
constexpr int kLongOpenRecord = sizeof(NetlibOpenConnection);

#ifdef _WIN32

using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
constexpr int kShutdownBoth = SD_BOTH;
constexpr int kSendFlags = 0;
constexpr int kRecvFlags = 0;

void close_socket(Socket s) { closesocket(s); }
uint32_t last_socket_error() { return static_cast<uint32_t>(WSAGetLastError()); }
bool interrupted(uint32_t) { return false; }
bool would_block(uint32_t code) { return code == WSAEWOULDBLOCK; }
bool in_progress(uint32_t code) { return code == WSAEWOULDBLOCK; }
Socket open_stream_socket(int family) { return ::socket(family, SOCK_STREAM, IPPROTO_TCP); }
bool set_nonblocking(Socket s, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(s, FIONBIO, &mode) == 0;
}

// Winsock has no pipe that select() accepts, so the waker is a UDP socket connected to itself:
// one datagram to it makes it readable for good (it is never read).
class Waker {
 public:
  Waker() {
    s_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s_ == INVALID_SOCKET) return;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    if (::bind(s_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(s_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::connect(s_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      closesocket(s_);
      s_ = INVALID_SOCKET;
    }
  }
  ~Waker() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  bool ok() const { return s_ != INVALID_SOCKET; }
  void wake() { ::send(s_, "x", 1, 0); }
  Socket handle() const { return s_; }

 private:
  Socket s_ = INVALID_SOCKET;
};

enum class Wait { Readable, Woken, TimedOut, Failed };

// Waits until s or the waker is readable; timeout_ms < 0 waits without limit.
Wait wait_once(Socket s, const Waker& waker, int timeout_ms, uint32_t& error) {
  fd_set readable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&failed);
  FD_SET(waker.handle(), &readable);
  FD_SET(s, &readable);
  FD_SET(s, &failed);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int r = ::select(0, &readable, nullptr, &failed, timeout_ms < 0 ? nullptr : &tv);
  if (r < 0) {
    error = last_socket_error();
    return Wait::Failed;
  }
  if (FD_ISSET(waker.handle(), &readable)) return Wait::Woken;
  if (FD_ISSET(s, &readable) || FD_ISSET(s, &failed)) return Wait::Readable;
  return Wait::TimedOut;
}

// Waits for a non-blocking connect to finish.
bool wait_connected(Socket s, int timeout_ms) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return ::select(0, nullptr, &writable, &failed, &tv) > 0;
}

uint32_t pending_socket_error(Socket s) {
  int err = 0;
  int len = sizeof(err);
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0)
    return last_socket_error();
  return static_cast<uint32_t>(err);
}

struct SocketLibrary {
  bool started = false;
  SocketLibrary() {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~SocketLibrary() {
    if (started) WSACleanup();
  }
};

#else  // POSIX

using Socket = int;
constexpr Socket kNoSocket = -1;
constexpr int kShutdownBoth = SHUT_RDWR;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a peer that went away must not raise SIGPIPE
constexpr int kRecvFlags = MSG_DONTWAIT;  // the wait already said there is data; never block here

void close_socket(Socket s) { ::close(s); }

// errno translated to the Winsock number a Windows host would report.
uint32_t winsock_code(int err) {
  switch (err) {
    case EINTR:
      return 10004;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EMSGSIZE:
      return 10040;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
    case EPIPE:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case ENOTCONN:
      return 10057;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EHOSTUNREACH:
      return 10065;
    case EMFILE:
    case ENFILE:
      return 10024;
    default:
      return kConnectionAborted;
  }
}
// On POSIX the raw errno is kept until it is translated for the plug-in (see report()).
uint32_t last_socket_error() { return static_cast<uint32_t>(errno); }
bool interrupted(uint32_t code) { return code == EINTR; }
bool would_block(uint32_t code) { return code == EAGAIN || code == EWOULDBLOCK; }
bool in_progress(uint32_t code) { return code == EINPROGRESS; }
Socket open_stream_socket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }
bool set_nonblocking(Socket s, bool on) {
  int flags = ::fcntl(s, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

// An eventfd that is written once and never read, so it stays readable for good.
class Waker {
 public:
  Waker() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Waker() {
    if (fd_ >= 0) ::close(fd_);
  }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  bool ok() const { return fd_ >= 0; }
  void wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd_, &one, sizeof(one));
  }
  int handle() const { return fd_; }

 private:
  int fd_;
};

enum class Wait { Readable, Woken, TimedOut, Failed };

Wait wait_once(Socket s, const Waker& waker, int timeout_ms, uint32_t& error) {
  pollfd fds[2] = {{waker.handle(), POLLIN, 0}, {s, POLLIN, 0}};
  int r = ::poll(fds, 2, timeout_ms);
  if (r < 0) {
    error = last_socket_error();
    return Wait::Failed;
  }
  if (fds[0].revents != 0) return Wait::Woken;
  if (fds[1].revents != 0) return Wait::Readable;
  return Wait::TimedOut;
}

bool wait_connected(Socket s, int timeout_ms) {
  pollfd fd{s, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&fd, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  return r > 0;
}

uint32_t pending_socket_error(Socket s) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return last_socket_error();
  return static_cast<uint32_t>(err);
}

struct SocketLibrary {
  bool started = true;
};

#endif

// A socket error as last_socket_error() returned it, in the plug-in's numbering.
uint32_t plugin_code(uint32_t socket_error) {
#ifdef _WIN32
  return socket_error;
#else
  return winsock_code(static_cast<int>(socket_error));
#endif
}
void report(uint32_t socket_error) { set_thread_last_error(plugin_code(socket_error)); }

// ---- The records behind the handles -----------------------------------------------------------

// Without a time-out in the open record, a dial gives up after this long (the plug-in passes 0;
// a real host would wait for the system's own connect time-out, which can be minutes).
constexpr int kDefaultConnectTimeoutMs = 20000;
// Larger receiver buffers are refused as nonsense.
constexpr LPARAM kMaxReceiverBuffer = 64 * 1024 * 1024;

struct Receiver;

struct User {
  std::string settings_module;
};

struct Connection {
  explicit Connection(Socket s) : sock(s) {}
  ~Connection() { close_socket(sock); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Final: the peer sees the end of the stream, blocked sends fail and every receiver wakes.
  void close();
  // False when the connection is already closed.
  bool attach(const std::shared_ptr<Receiver>& receiver);

  const Socket sock;
  std::string destination;          // "host:port" as the plug-in asked for it
  std::mutex send_mutex;            // one "Netlib/Send" at a time, so calls never interleave their bytes
  std::mutex state_mutex;           // orders closing against attaching receivers
  std::atomic<bool> closed{false};  // set before the socket is shut down
  std::vector<std::weak_ptr<Receiver>> receivers;
};

struct Receiver {
  std::shared_ptr<Connection> connection;
  Waker waker;
  std::mutex mutex;                // one "Netlib/GetMorePackets" at a time; guards buffer and filled
  std::unique_ptr<BYTE[]> buffer;  // null once the receiver is closed
  size_t size = 0;
  size_t filled = 0;
  std::atomic<bool> closed{false};

  // Wakes a call in progress, waits for it to leave, and frees the buffer.
  void close() {
    closed = true;
    waker.wake();
    std::lock_guard lock(mutex);
    buffer.reset();
  }
};

void Connection::close() {
  std::vector<std::weak_ptr<Receiver>> to_wake;
  {
    std::lock_guard lock(state_mutex);
    if (closed) return;
    closed = true;
    to_wake.swap(receivers);
  }
  ::shutdown(sock, kShutdownBoth);
  for (auto& weak : to_wake)
    if (auto r = weak.lock()) r->waker.wake();
}

bool Connection::attach(const std::shared_ptr<Receiver>& receiver) {
  std::lock_guard lock(state_mutex);
  if (closed) return false;
  std::erase_if(receivers, [](const std::weak_ptr<Receiver>& w) { return w.expired(); });
  receivers.push_back(receiver);
  return true;
}

using Entry = std::variant<std::shared_ptr<User>, std::shared_ptr<Connection>, std::shared_ptr<Receiver>>;

bool loopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    return std::memcmp(&v6->sin6_addr, kLoopback6, sizeof kLoopback6) == 0;
  }
  return false;
}

// Connects to host:port within timeout_ms; the socket, or kNoSocket with error set (already in
// the plug-in's numbering).
//
// The stand-in is a closed network that reaches this machine only, so that no test or tool
// ever dials out, whatever name the plug-in was built or configured with: it knows no name but
// "localhost" (others are unknown hosts, and no name service is asked), and an address outside
// loopback is unreachable. Routes take other names and addresses to local servers.
Socket dial(const std::string& host, uint16_t port, int timeout_ms, uint32_t& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  std::string name = host;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  if (name != "localhost") hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = kHostNotFound;
    return kNoSocket;
  }
  error = kHostNotFound;
  Socket result = kNoSocket;
  for (addrinfo* a = found; a != nullptr && result == kNoSocket; a = a->ai_next) {
    if (!loopback(a->ai_addr)) {
      error = kNetworkUnreachable;
      continue;
    }
    Socket s = open_stream_socket(a->ai_family);
    if (s == kNoSocket) {
      error = plugin_code(last_socket_error());
      continue;
    }
    uint32_t code = 0;
    bool connected = false;
    if (set_nonblocking(s, true)) {
      if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
        connected = true;
      } else if (code = last_socket_error(); in_progress(code) || would_block(code)) {
        if (!wait_connected(s, timeout_ms)) {
          code = 0;  // reported as a time-out below
        } else {
          code = pending_socket_error(s);
          connected = code == 0;
        }
      }
    } else {
      code = last_socket_error();
    }
    if (connected && set_nonblocking(s, false)) {
      int one = 1;  // requests and replies are small; do not let them wait for each other
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
      result = s;
      break;
    }
    error = code == 0 ? kTimedOut : plugin_code(code);
    close_socket(s);
  }
  ::freeaddrinfo(found);
  return result;
}

// Waits for data on the receiver's connection. timeout_ms 0xFFFFFFFF waits without limit;
// longer waits than poll() takes at once are made in pieces.
Wait wait_for_data(Receiver& r, DWORD timeout_ms, uint32_t& error) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeout_ms == 0xFFFFFFFFu;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int slice = -1;
    if (!unlimited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      slice = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
    }
    Wait w = wait_once(r.connection->sock, r.waker, slice, error);
    if (w == Wait::Failed && interrupted(error)) continue;
    if (w == Wait::TimedOut && (unlimited || Clock::now() < deadline)) continue;
    return w;
  }
}

}  // namespace

struct Netlib::Impl {
  explicit Impl(Host& h) : host(h) {}

  Host& host;
  SocketLibrary sockets;
  mutable std::mutex mutex;  // guards everything below
  std::map<Handle, Entry> handles;
  Handle next_handle = 0x10000000;
  std::map<std::string, std::pair<std::string, uint16_t>> routes;
  bool refuse_long_record = false;
  std::vector<std::string> requests;
  std::map<std::string, int> open_to, peak_to;  // connections per destination: open now, most at once
  std::function<bool(const BYTE*, size_t)> send_filter;

  Handle add(Entry e) {
    std::lock_guard lock(mutex);
    Handle h = next_handle++;
    handles.emplace(h, std::move(e));
    return h;
  }

  template <class T>
  std::shared_ptr<T> find(WPARAM handle) const {
    std::lock_guard lock(mutex);
    auto it = handles.find(static_cast<Handle>(handle));
    if (it == handles.end()) return nullptr;
    auto* p = std::get_if<std::shared_ptr<T>>(&it->second);
    return p ? *p : nullptr;
  }

  INT_PTR register_user(LPARAM l) {
    auto* rec = reinterpret_cast<const NetlibUser*>(l);
    if (rec == nullptr) {
      set_thread_last_error(kInvalidParameter);
      return 0;
    }
    auto user = std::make_shared<User>();
    if (rec->settings_module != nullptr) user->settings_module = rec->settings_module;
    return static_cast<INT_PTR>(add(std::move(user)));
  }

  INT_PTR open_connection(WPARAM w, LPARAM l) {
    auto* rec = reinterpret_cast<const NetlibOpenConnection*>(l);
    // Like a real host, only a registered network user may open connections.
    if (rec == nullptr || rec->host == nullptr || !find<User>(w)) {
      set_thread_last_error(kInvalidParameter);
      return 0;
    }
    std::string host_name = rec->host;
    uint16_t port = rec->port;
    int timeout_ms = kDefaultConnectTimeoutMs;
    {
      std::lock_guard lock(mutex);
      // A record the host does not accept is not a request: only accepted ones are recorded.
      if ((rec->size != kLongOpenRecord && rec->size != NETLIBOPENCONNECTION_V1_SIZE) ||
          (rec->size == kLongOpenRecord && refuse_long_record)) {
        set_thread_last_error(kInvalidParameter);
        return 0;
      }
      requests.push_back(host_name + ":" + std::to_string(port));
      if (auto it = routes.find(requests.back()); it != routes.end()) {
        host_name = it->second.first;
        port = it->second.second;
      }
    }
    // The long record's time-out is in seconds, as the host's interface defines it.
    if (rec->size == kLongOpenRecord && rec->timeout != 0 && rec->timeout < INT_MAX / 1000)
      timeout_ms = static_cast<int>(rec->timeout) * 1000;
    uint32_t error = 0;
    Socket s = dial(host_name, port, timeout_ms, error);
    if (s == kNoSocket) {
      set_thread_last_error(error);
      return 0;
    }
    auto connection = std::make_shared<Connection>(s);
    connection->destination = rec->host + std::string(":") + std::to_string(rec->port);
    {
      std::lock_guard lock(mutex);
      int& open = open_to[connection->destination];
      peak_to[connection->destination] = std::max(peak_to[connection->destination], ++open);
    }
    return static_cast<INT_PTR>(add(std::move(connection)));
  }

  INT_PTR create_receiver(WPARAM w, LPARAM size) {
    auto connection = find<Connection>(w);
    if (!connection) {
      set_thread_last_error(kInvalidHandle);
      return 0;
    }
    if (size <= 0 || size > kMaxReceiverBuffer) {
      set_thread_last_error(kInvalidParameter);
      return 0;
    }
    auto r = std::make_shared<Receiver>();
    if (!r->waker.ok()) {
      report(last_socket_error());
      return 0;
    }
    r->connection = connection;
    r->size = static_cast<size_t>(size);
    r->buffer = std::make_unique<BYTE[]>(r->size);
    if (!connection->attach(r)) {
      set_thread_last_error(kNotConnected);
      return 0;
    }
    return static_cast<INT_PTR>(add(std::move(r)));
  }

  // Drops the bytes the caller consumed, then hands back what is buffered once there is
  // something new for the caller: bytes left over after it consumed some (it may want to cut
  // more from them), otherwise only fresh bytes from the socket. An incomplete tail the caller
  // left alone is therefore never returned again without new data after it.
  INT_PTR get_more_packets(WPARAM w, LPARAM l) {
    auto* rec = reinterpret_cast<NetlibPacketRecver*>(l);
    auto r = find<Receiver>(w);
    // As the host, a record of another size than its own is refused, not read.
    if (!r || rec == nullptr || rec->size != static_cast<int>(sizeof(NetlibPacketRecver))) {
      set_thread_last_error(!r ? kInvalidHandle : kInvalidParameter);
      return -1;
    }
    std::lock_guard lock(r->mutex);
    if (r->closed || r->buffer == nullptr) {
      set_thread_last_error(kInterrupted);
      return -1;
    }
    BYTE* const buf = r->buffer.get();
    const size_t used = static_cast<size_t>(std::clamp<long long>(rec->bytes_used, 0, r->filled));
    if (used > 0) {
      std::memmove(buf, buf + used, r->filled - used);
      r->filled -= used;
    }
    auto describe = [&] {
      rec->bytes_used = 0;
      rec->bytes_available = static_cast<int>(r->filled);
      rec->buffer_size = static_cast<int>(r->size);
      rec->buffer = buf;
    };
    describe();
    if (used > 0 && r->filled > 0) return static_cast<INT_PTR>(r->filled);
    if (r->closed || r->connection->closed) {
      set_thread_last_error(kInterrupted);
      return -1;
    }
    // Full and nothing consumed: what is buffered can never grow into something the caller
    // takes (e.g. a packet longer than the buffer), so waiting would hang it for good.
    if (r->filled == r->size) {
      set_thread_last_error(kMessageTooLong);
      return -1;
    }
    for (;;) {
      uint32_t error = 0;
      switch (wait_for_data(*r, rec->timeout, error)) {
        case Wait::Woken:
          set_thread_last_error(kInterrupted);
          return -1;
        case Wait::TimedOut:
          set_thread_last_error(kTimedOut);
          return -1;
        case Wait::Failed:
          report(error);
          return -1;
        case Wait::Readable:
          break;
      }
      // Shutting the socket down on close also makes it readable; that is no data.
      if (r->closed || r->connection->closed) {
        set_thread_last_error(kInterrupted);
        return -1;
      }
      const size_t space = std::min<size_t>(r->size - r->filled, INT_MAX);
      auto n = ::recv(r->connection->sock, reinterpret_cast<char*>(buf + r->filled), static_cast<int>(space),
                      kRecvFlags);
      if (n > 0) {
        r->filled += static_cast<size_t>(n);
        describe();
        return static_cast<INT_PTR>(r->filled);
      }
      if (n == 0) {
        if (r->closed || r->connection->closed) {
          set_thread_last_error(kInterrupted);
          return -1;
        }
        return 0;  // orderly close by the peer
      }
      error = last_socket_error();
      // Another reader of the same connection took the data first: wait again.
      if (interrupted(error) || would_block(error)) continue;
      report(error);
      return -1;
    }
  }

  INT_PTR send(WPARAM w, LPARAM l) {
    auto* rec = reinterpret_cast<const NetlibBuffer*>(l);
    auto c = find<Connection>(w);
    if (!c) {
      set_thread_last_error(kInvalidHandle);
      return -1;
    }
    if (rec == nullptr || rec->length < 0 || (rec->data == nullptr && rec->length > 0)) {
      set_thread_last_error(kInvalidParameter);
      return -1;
    }
    std::function<bool(const BYTE*, size_t)> filter;
    {
      std::lock_guard lock(mutex);
      filter = send_filter;
    }
    if (filter && rec->length > 0 &&
        !filter(reinterpret_cast<const BYTE*>(rec->data), static_cast<size_t>(rec->length))) {
      set_thread_last_error(kConnectionReset);
      return -1;
    }
    std::lock_guard lock(c->send_mutex);
    if (c->closed) {
      set_thread_last_error(kNotConnected);
      return -1;
    }
    size_t sent = 0;
    const size_t length = static_cast<size_t>(rec->length);
    while (sent < length) {
      auto n = ::send(c->sock, rec->data + sent, static_cast<int>(length - sent), kSendFlags);
      if (n < 0) {
        uint32_t error = last_socket_error();
        if (interrupted(error)) continue;
        report(error);
        return -1;
      }
      sent += static_cast<size_t>(n);
    }
    return rec->length;
  }

  INT_PTR close_handle(WPARAM w) {
    Entry e;
    {
      std::lock_guard lock(mutex);
      auto it = handles.find(static_cast<Handle>(w));
      if (it == handles.end()) return 0;
      e = std::move(it->second);
      handles.erase(it);
      if (auto* c = std::get_if<std::shared_ptr<Connection>>(&e)) --open_to[(*c)->destination];
    }
    if (auto* r = std::get_if<std::shared_ptr<Receiver>>(&e)) (*r)->close();
    if (auto* c = std::get_if<std::shared_ptr<Connection>>(&e)) (*c)->close();
    return 1;
  }

  void close_all() {
    std::map<Handle, Entry> all;
    {
      std::lock_guard lock(mutex);
      all.swap(handles);
    }
    for (auto& [h, e] : all)
      if (auto* r = std::get_if<std::shared_ptr<Receiver>>(&e)) (*r)->close();
    for (auto& [h, e] : all)
      if (auto* c = std::get_if<std::shared_ptr<Connection>>(&e)) (*c)->close();
  }
};

Netlib::Netlib(Host& host) : impl_(std::make_unique<Impl>(host)) {}

Netlib::~Netlib() { impl_->close_all(); }

void Netlib::install() {
  Impl* d = impl_.get();
  Host& h = d->host;
  h.create_service(MS_NETLIB_REGISTERUSER, [d](WPARAM, LPARAM l) { return d->register_user(l); });
  h.create_service(MS_NETLIB_OPENCONNECTION, [d](WPARAM w, LPARAM l) { return d->open_connection(w, l); });
  h.create_service(MS_NETLIB_CREATEPACKETRECVER,
                   [d](WPARAM w, LPARAM l) { return d->create_receiver(w, l); });
  h.create_service(MS_NETLIB_GETMOREPACKETS, [d](WPARAM w, LPARAM l) { return d->get_more_packets(w, l); });
  h.create_service(MS_NETLIB_SEND, [d](WPARAM w, LPARAM l) { return d->send(w, l); });
  h.create_service(MS_NETLIB_CLOSEHANDLE, [d](WPARAM w, LPARAM) { return d->close_handle(w); });
}

void Netlib::shutdown() { impl_->close_all(); }

void Netlib::add_route(const std::string& host, uint16_t port, const std::string& real_host,
                       uint16_t real_port) {
  std::lock_guard lock(impl_->mutex);
  impl_->routes[host + ":" + std::to_string(port)] = {real_host, real_port};
}

void Netlib::filter_sends(std::function<bool(const BYTE* data, size_t length)> filter) {
  std::lock_guard lock(impl_->mutex);
  impl_->send_filter = std::move(filter);
}

void Netlib::refuse_long_open_record(bool refuse) {
  std::lock_guard lock(impl_->mutex);
  impl_->refuse_long_record = refuse;
}

std::vector<std::string> Netlib::open_requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

int Netlib::peak_connections_to(const std::string& destination) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->peak_to.find(destination);
  return it == impl_->peak_to.end() ? 0 : it->second;
}

int Netlib::open_connections() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<int>(std::count_if(impl_->handles.begin(), impl_->handles.end(), [](const auto& kv) {
    return !std::holds_alternative<std::shared_ptr<User>>(kv.second);
  }));
}

}  // namespace hostsim
