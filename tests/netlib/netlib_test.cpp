// The host stand-in's network library, driven through the host's "Netlib/..." services exactly
// as the plug-in calls them, against small TCP servers on 127.0.0.1 run by the tests.
#include "hostsim/netlib.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/host_api.h"
#include "hostsim/host.h"
#include "hostsim/last_error.h"

namespace {

using namespace std::chrono_literals;
constexpr int kPatienceMs = 10000;  // generous bound for anything a test waits for
constexpr DWORD kNoLimit = 0xFFFFFFFFu;

// One accepted connection, seen from the server's side.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer() { close(); }
  Peer(Peer&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Peer& operator=(Peer&&) = delete;

  void send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }
  // Reads until `count` bytes came or the peer closed; gives up after kPatienceMs.
  std::string read(size_t count) {
    std::string out;
    char chunk[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      ssize_t n = ::recv(fd_, chunk, std::min(sizeof(chunk), count - out.size()), 0);
      if (n <= 0) break;
      out.append(chunk, static_cast<size_t>(n));
    }
    return out;
  }
  // True when the client's end of the stream arrives within kPatienceMs.
  bool sees_end_of_stream() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kPatienceMs) <= 0) return false;
    char c;
    return ::recv(fd_, &c, 1, 0) == 0;
  }
  void close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
};

// A listening socket on 127.0.0.1 with a port of the system's choice.
class Server {
 public:
  Server() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot listen on 127.0.0.1";
    port_ = ntohs(a.sin_port);
  }
  ~Server() { stop(); }
  uint16_t port() const { return port_; }
  // The next connection; fails the test when none comes within kPatienceMs.
  Peer accept() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, kPatienceMs) <= 0) {
      ADD_FAILURE() << "no connection arrived";
      return Peer(-1);
    }
    return Peer(::accept(fd_, nullptr, nullptr));
  }
  void stop() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A port on which nothing listens: bound once, then released.
uint16_t unused_port() {
  Server s;
  return s.port();
}

class NetlibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    user_record_ = {44, "MRIM", "MRIM connection", NUF_OUTGOING};
    user_ = call(MS_NETLIB_REGISTERUSER, 0, &user_record_);
    ASSERT_NE(user_, 0);
  }

  template <class T>
  INT_PTR call(const char* service, WPARAM w, T* record) {
    return host_.call_service(service, w, reinterpret_cast<LPARAM>(record));
  }
  INT_PTR open(const char* name, uint16_t port, int size = sizeof(NetlibOpenConnection)) {
    NetlibOpenConnection rec{};
    rec.size = size;
    rec.host = name;
    rec.port = port;
    return call(MS_NETLIB_OPENCONNECTION, static_cast<WPARAM>(user_), &rec);
  }
  INT_PTR open_local(uint16_t port) { return open("127.0.0.1", port); }
  INT_PTR receiver(INT_PTR connection, LPARAM size) {
    return host_.call_service(MS_NETLIB_CREATEPACKETRECVER, static_cast<WPARAM>(connection), size);
  }
  INT_PTR more(INT_PTR receiver, NetlibPacketRecver& rec) {
    return call(MS_NETLIB_GETMOREPACKETS, static_cast<WPARAM>(receiver), &rec);
  }
  INT_PTR send(INT_PTR connection, const std::string& bytes) {
    NetlibBuffer buf{const_cast<char*>(bytes.data()), static_cast<int>(bytes.size()), 0};
    return call(MS_NETLIB_SEND, static_cast<WPARAM>(connection), &buf);
  }
  INT_PTR close(INT_PTR handle) {
    return host_.call_service(MS_NETLIB_CLOSEHANDLE, static_cast<WPARAM>(handle));
  }

  static NetlibPacketRecver request(DWORD timeout) {
    return NetlibPacketRecver{sizeof(NetlibPacketRecver), timeout, 0, 0, 0, nullptr};
  }
  static std::string unconsumed(const NetlibPacketRecver& rec) {
    return std::string(reinterpret_cast<const char*>(rec.buffer), static_cast<size_t>(rec.bytes_available));
  }
  // Calls without consuming anything until at least `count` bytes are buffered.
  void gather(INT_PTR r, NetlibPacketRecver& rec, int count) {
    while (rec.bytes_available < count) {
      rec.bytes_used = 0;
      rec.timeout = kPatienceMs;
      ASSERT_GT(more(r, rec), 0) << "data stopped at " << rec.bytes_available << " bytes";
    }
  }

  hostsim::Host host_;
  NetlibUser user_record_{};
  INT_PTR user_ = 0;
};

// ---- opening connections ------------------------------------------------------------------

TEST_F(NetlibTest, RoutedNameDialsTheRoutedAddressAndRecordsTheRequestedOne) {
  Server server;
  host_.netlib().add_route("mrim.example.org", 443, "127.0.0.1", server.port());
  INT_PTR c = open("mrim.example.org", 443);
  ASSERT_NE(c, 0);
  Peer peer = server.accept();
  ASSERT_EQ(send(c, "ping"), 4);
  EXPECT_EQ(peer.read(4), "ping");

  INT_PTR direct = open_local(server.port());
  ASSERT_NE(direct, 0);
  EXPECT_EQ(host_.netlib().open_requests(),
            (std::vector<std::string>{"mrim.example.org:443", "127.0.0.1:" + std::to_string(server.port())}));
  EXPECT_EQ(host_.netlib().open_connections(), 2);
}

TEST_F(NetlibTest, RefusedConnectionReturnsZeroWithConnectionRefused) {
  uint16_t port = unused_port();
  host_.netlib().add_route("gone.example.org", 2041, "127.0.0.1", port);
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(open("gone.example.org", 2041), 0);
  EXPECT_EQ(hostsim::thread_last_error(), 10061u);
  EXPECT_EQ(host_.netlib().open_connections(), 0);
}

TEST_F(NetlibTest, NothingUnroutedLeavesTheMachine) {
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(open("mrim.example.net", 443), 0);
  EXPECT_EQ(hostsim::thread_last_error(), 11001u);
  EXPECT_EQ(open("192.0.2.1", 443), 0);
  EXPECT_EQ(hostsim::thread_last_error(), 10051u);
  EXPECT_EQ(host_.netlib().open_requests(),
            (std::vector<std::string>{"mrim.example.net:443", "192.0.2.1:443"}));
  // The machine itself stays reachable by name and by any loopback address.
  Server server;
  EXPECT_NE(open("localhost", server.port()), 0);
  EXPECT_NE(open("127.0.0.1", server.port()), 0);
  EXPECT_EQ(host_.netlib().open_connections(), 2);
}

TEST_F(NetlibTest, RecordSizesAndTheOlderHostsRefusal) {
  Server server;
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(open("127.0.0.1", server.port(), 20), 0);
  EXPECT_EQ(hostsim::thread_last_error(), 87u);

  host_.netlib().refuse_long_open_record(true);
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(open("127.0.0.1", server.port(), sizeof(NetlibOpenConnection)), 0);
  EXPECT_EQ(hostsim::thread_last_error(), 87u);
  INT_PTR c = open("127.0.0.1", server.port(), NETLIBOPENCONNECTION_V1_SIZE);
  ASSERT_NE(c, 0);
  Peer peer = server.accept();
  ASSERT_EQ(send(c, "v1"), 2);
  EXPECT_EQ(peer.read(2), "v1");
  // Refused records were never requests; only the accepted one is on record.
  EXPECT_EQ(host_.netlib().open_requests(),
            std::vector<std::string>{"127.0.0.1:" + std::to_string(server.port())});

  // A packet record of another width than the host's pointers is refused, not read.
  INT_PTR r = receiver(c, 100);
  ASSERT_NE(r, 0);
  NetlibPacketRecver narrow = request(kNoLimit);
  narrow.size = sizeof(NetlibPacketRecver) == 24 ? 32 : 24;
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(more(r, narrow), -1);
  EXPECT_EQ(hostsim::thread_last_error(), 87u);

  host_.netlib().refuse_long_open_record(false);
  EXPECT_NE(open("127.0.0.1", server.port(), sizeof(NetlibOpenConnection)), 0);
}

TEST_F(NetlibTest, OpenNeedsARegisteredUserAndAHostName) {
  Server server;
  NetlibOpenConnection rec{sizeof(NetlibOpenConnection), "127.0.0.1", server.port()};
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(call(MS_NETLIB_OPENCONNECTION, 0, &rec), 0);
  EXPECT_EQ(hostsim::thread_last_error(), 87u);
  EXPECT_EQ(open(nullptr, server.port()), 0);
  EXPECT_EQ(
      call(MS_NETLIB_OPENCONNECTION, static_cast<WPARAM>(user_), static_cast<NetlibOpenConnection*>(nullptr)),
      0);
  ASSERT_EQ(close(user_), 1);
  EXPECT_EQ(open_local(server.port()), 0);
}

// ---- receiving ----------------------------------------------------------------------------

TEST_F(NetlibTest, BytesUsedDropsTheFrontAndAPacketSplitOverTwoSendsIsReassembled) {
  Server server;
  INT_PTR c = open_local(server.port());
  ASSERT_NE(c, 0);
  Peer peer = server.accept();
  INT_PTR r = receiver(c, 100);
  ASSERT_NE(r, 0);

  // A whole 10-byte packet and the first half of a 12-byte one.
  peer.send(
      "AAAAAAAAAA"
      "BBBBBB");
  NetlibPacketRecver rec = request(kNoLimit);
  gather(r, rec, 16);
  EXPECT_EQ(rec.buffer_size, 100);
  EXPECT_EQ(unconsumed(rec), "AAAAAAAAAABBBBBB");

  // Consuming the first packet hands back the tail at the start of the buffer at once.
  rec.bytes_used = 10;
  ASSERT_EQ(more(r, rec), 6);
  EXPECT_EQ(rec.bytes_used, 0);
  EXPECT_EQ(unconsumed(rec), "BBBBBB");

  // Leaving the incomplete tail alone does not return it again: only new data would.
  rec.bytes_used = 0;
  rec.timeout = 50;
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(more(r, rec), -1);
  EXPECT_EQ(hostsim::thread_last_error(), 10060u);

  // The second half completes the packet behind the tail, without loss.
  peer.send("bbbbbb");
  gather(r, rec, 12);
  EXPECT_EQ(unconsumed(rec), "BBBBBBbbbbbb");
  rec.bytes_used = 12;
  peer.send("C");
  rec.timeout = kPatienceMs;
  ASSERT_EQ(more(r, rec), 1);
  EXPECT_EQ(unconsumed(rec), "C");
}

TEST_F(NetlibTest, OutOfRangeBytesUsedIsClampedToWhatIsBuffered) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  INT_PTR r = receiver(c, 16);
  peer.send("abc");
  NetlibPacketRecver rec = request(kNoLimit);
  gather(r, rec, 3);

  rec.bytes_used = -5;  // nothing consumed
  rec.timeout = 50;
  EXPECT_EQ(more(r, rec), -1);
  EXPECT_EQ(unconsumed(rec), "abc");

  rec.bytes_used = 1000;  // everything consumed
  peer.send("d");
  rec.timeout = kPatienceMs;
  ASSERT_EQ(more(r, rec), 1);
  EXPECT_EQ(unconsumed(rec), "d");
}

TEST_F(NetlibTest, OrderlyCloseByThePeerReturnsZeroAfterTheLastData) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  INT_PTR r = receiver(c, 64);
  peer.send("xy");
  peer.close();
  NetlibPacketRecver rec = request(kNoLimit);
  gather(r, rec, 2);
  EXPECT_EQ(unconsumed(rec), "xy");
  rec.bytes_used = 2;
  EXPECT_EQ(more(r, rec), 0);
}

TEST_F(NetlibTest, TimeOutWithoutDataFailsWithTheTimeOutError) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  INT_PTR r = receiver(c, 64);
  NetlibPacketRecver rec = request(20);
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(more(r, rec), -1);
  EXPECT_EQ(hostsim::thread_last_error(), 10060u);
  // A zero time-out only looks.
  rec.timeout = 0;
  EXPECT_EQ(more(r, rec), -1);
  // The receiver is still usable afterwards.
  peer.send("late");
  gather(r, rec, 4);
  EXPECT_EQ(unconsumed(rec), "late");
}

TEST_F(NetlibTest, FullBufferWithNothingConsumedFailsInsteadOfWaiting) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  INT_PTR r = receiver(c, 8);
  peer.send("0123456789ABCDEFGHIJ");  // longer than the receiver's buffer
  NetlibPacketRecver rec = request(kNoLimit);
  gather(r, rec, 8);
  EXPECT_EQ(unconsumed(rec), "01234567");

  rec.bytes_used = 0;
  hostsim::set_thread_last_error(0);
  EXPECT_EQ(more(r, rec), -1);  // no time-out given: it must not wait for ever
  EXPECT_EQ(hostsim::thread_last_error(), 10040u);

  // Consuming makes room again and the stream goes on where it was.
  rec.bytes_used = 8;
  rec.timeout = kPatienceMs;
  ASSERT_GT(more(r, rec), 0);
  gather(r, rec, 8);
  EXPECT_EQ(unconsumed(rec), "89ABCDEF");
}

TEST_F(NetlibTest, ClosingTheReceiverOrTheConnectionWakesABlockedCallWithAFailure) {
  for (bool close_connection : {false, true}) {
    SCOPED_TRACE(close_connection ? "closing the connection" : "closing the receiver");
    Server server;
    INT_PTR c = open_local(server.port());
    Peer peer = server.accept();
    INT_PTR r = receiver(c, 64);
    std::atomic<bool> entered{false};
    auto blocked = std::async(std::launch::async, [&] {
      NetlibPacketRecver rec = request(kNoLimit);
      entered = true;
      return more(r, rec);
    });
    while (!entered) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);  // most likely inside the wait by now; either way it must fail
    EXPECT_EQ(close(close_connection ? c : r), 1);
    if (blocked.wait_for(std::chrono::milliseconds(kPatienceMs)) != std::future_status::ready) {
      peer.close();  // ends the call the close failed to wake, so the test can finish
      FAIL() << "the blocked call did not wake";
    }
    EXPECT_EQ(blocked.get(), -1);
    if (close_connection) {
      EXPECT_TRUE(peer.sees_end_of_stream());
      NetlibPacketRecver rec = request(kNoLimit);
      EXPECT_EQ(more(r, rec), -1);  // the receiver's connection is gone
      EXPECT_EQ(send(c, "x"), -1);
      EXPECT_EQ(close(r), 1);
    } else {
      NetlibPacketRecver rec = request(kNoLimit);
      EXPECT_EQ(more(r, rec), -1);  // the handle is gone
      EXPECT_EQ(send(c, "still open"), 10);
      EXPECT_EQ(peer.read(10), "still open");
      EXPECT_EQ(close(c), 1);
    }
    EXPECT_EQ(host_.netlib().open_connections(), 0);
  }
}

// ---- sending ------------------------------------------------------------------------------

TEST_F(NetlibTest, ConcurrentSendsArriveWhole) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  constexpr int kThreads = 4, kMessages = 20, kSize = 200000;  // far more than one socket write takes
  // Each message: its thread's letter repeated, so an interleaving shows as a change of letter.
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      std::string message(kSize, static_cast<char>('a' + t));
      for (int i = 0; i < kMessages; ++i)
        if (send(c, message) != kSize) ++failures;
    });
  std::string all = peer.read(static_cast<size_t>(kThreads) * kMessages * kSize);
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures, 0);
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads) * kMessages * kSize);
  std::map<char, int> messages;
  for (size_t at = 0; at < all.size(); at += kSize) {
    ASSERT_EQ(
        std::count(all.begin() + static_cast<long>(at), all.begin() + static_cast<long>(at + kSize), all[at]),
        kSize)
        << "message at " << at << " is interleaved";
    ++messages[all[at]];
  }
  EXPECT_EQ(messages,
            (std::map<char, int>{{'a', kMessages}, {'b', kMessages}, {'c', kMessages}, {'d', kMessages}}));
}

TEST_F(NetlibTest, SendingToAPeerThatWentAwayFailsWithoutKillingTheProcess) {
  Server server;
  INT_PTR c = open_local(server.port());
  server.accept().close();
  std::string chunk(4096, 'z');
  INT_PTR result = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
  while (result != -1 && std::chrono::steady_clock::now() < deadline) result = send(c, chunk);
  EXPECT_EQ(result, -1);
}

TEST_F(NetlibTest, SendRejectsBadRecordsAndSendsNothingForAnEmptyBuffer) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  NetlibBuffer negative{nullptr, -1, 0};
  EXPECT_EQ(call(MS_NETLIB_SEND, static_cast<WPARAM>(c), &negative), -1);
  EXPECT_EQ(call(MS_NETLIB_SEND, static_cast<WPARAM>(c), static_cast<NetlibBuffer*>(nullptr)), -1);
  EXPECT_EQ(send(c, ""), 0);
  EXPECT_EQ(send(12345, "x"), -1);
  EXPECT_EQ(send(c, "after"), 5);
  EXPECT_EQ(peer.read(5), "after");
}

// ---- handles ------------------------------------------------------------------------------

TEST_F(NetlibTest, HandlesAreDistinctAndUnknownOnesAreIgnored) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  INT_PTR r = receiver(c, 32);
  ASSERT_NE(r, 0);
  EXPECT_NE(r, c);
  EXPECT_NE(c, user_);
  EXPECT_EQ(host_.netlib().open_connections(), 2);

  EXPECT_EQ(close(0), 0);
  EXPECT_EQ(close(987654), 0);
  EXPECT_EQ(receiver(r, 32), 0);  // a receiver is not a connection
  EXPECT_EQ(receiver(c, 0), 0);   // no buffer
  NetlibPacketRecver rec = request(0);
  EXPECT_EQ(more(c, rec), -1);  // a connection is not a receiver
  EXPECT_EQ(call(MS_NETLIB_GETMOREPACKETS, static_cast<WPARAM>(r), static_cast<NetlibPacketRecver*>(nullptr)),
            -1);

  EXPECT_EQ(close(r), 1);
  EXPECT_EQ(close(r), 0);
  EXPECT_EQ(close(c), 1);
  EXPECT_EQ(host_.netlib().open_connections(), 0);
  EXPECT_TRUE(peer.sees_end_of_stream());
}

TEST_F(NetlibTest, ShutdownClosesEverythingStillOpen) {
  Server server;
  INT_PTR c = open_local(server.port());
  Peer peer = server.accept();
  ASSERT_NE(receiver(c, 32), 0);
  host_.netlib().shutdown();
  EXPECT_EQ(host_.netlib().open_connections(), 0);
  EXPECT_TRUE(peer.sees_end_of_stream());
}

}  // namespace
