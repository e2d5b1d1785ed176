// Benchmark: the round trip of one request and its reply on loopback, the way every operation
// of the plug-in talks to the server: MRIM_sendpacket, the server stand-in answers, the real
// ListenThread receives and dispatches the reply into the queue, and MRIM_receivepacket takes
// it. The request is MRIM_CS_HELLO, which the server answers with MRIM_CS_HELLO_ACK under the
// same sequence number. Prints median, 99th percentile and maximum, once without the
// diagnostic log and once with it (the diagnostic build always writes it).
//
//   round_trip_bench [rounds]   (default 2000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "hostsim/host.h"
#include "incoming/dispatcher.h"
#include "protocol/listener.h"
#include "protocol/receive.h"
#include "protocol/send.h"
#include "serversim/server.h"
#include "support/support.h"
#include "support/tcp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Returns false when a reply did not come.
bool measure(const char* label, int rounds) {
  auto request = std::make_unique<MrimPacket>();
  auto reply = std::make_unique<MrimPacket>();
  std::vector<double> times;
  times.reserve(static_cast<size_t>(rounds));
  const int warm_up = rounds / 10 + 1;
  for (int i = 0; i < warm_up + rounds; ++i) {
    uint32_t seq = mrim_next_seq();
    mrim_packet_init(request.get(), MRIM_CS_HELLO, seq);
    auto start = Clock::now();
    if (MRIM_sendpacket(request.get()) != 0 || MRIM_receivepacket(reply.get(), 48, seq, 10) != 0 ||
        reply->msg != MRIM_CS_HELLO_ACK) {
      fprintf(stderr, "%s: no reply to round %d\n", label, i);
      return false;
    }
    if (i >= warm_up) times.push_back(microseconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("round trip, %-8s %6d rounds: median %8.1f us   p99 %8.1f us   max %8.1f us\n", label, rounds,
         at(0.5), at(0.99), times.back());
  return true;
}

void wake_for_unload() {
  HANDLE receiver = protocol_state.packet_receiver.exchange(nullptr);
  if (receiver != nullptr) close_handle(receiver);
  HANDLE connection = protocol_state.connection.exchange(nullptr);
  if (connection != nullptr) close_handle(connection);
  pending_queue_wake_all();
  listener_wake();
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 2000;
  if (rounds < 1) rounds = 2000;

  serversim::Server server;
  server.start();
  testsupport::WorkFolder folder;
  hostsim::Host host;
  protocol_state_reset();
  strcpy(protocol_state.module_name, "bench");
  plugin_link = const_cast<PluginLink*>(host.plugin_link());
  threads_reset();

  testsupport::HostConnection link;
  if (!link.open(server.mrim_port(), "bench")) {
    fprintf(stderr, "cannot connect to the server stand-in\n");
    return 1;
  }
  auto work_area = std::make_unique<ListenerWorkArea>();
  protocol_state.connection = link.connection;
  protocol_state.packet_receiver = link.receiver;
  listener_set_packet_handler(MRIM_HSP);  // as Load wires it
  thread_start_long(ListenThread, work_area.get());
  listener_wake();

  bool ok = measure("no log", rounds);
  if (ok) {
    log_init("bench");
    ok = measure("with log", rounds);
  }

  threads_stop_all(wake_for_unload);
  close_handle(link.user);
  pending_queue_clear();
  plugin_link = nullptr;
  return ok ? 0 : 1;
}
