// Benchmark: the round trip of one request and its reply on loopback, the way every operation
// of the plug-in talks to the server: MRIM_sendpacket, the server stand-in answers, the real
// ListenThread receives and dispatches the reply into the queue, and MRIM_receivepacket takes
// it. The request is MRIM_CS_HELLO, which the server answers with MRIM_CS_HELLO_ACK under the
// same sequence number. Prints median, 99th percentile and maximum without the diagnostic log
// and with it (the diagnostic build always writes it), measured in alternating blocks.
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
#include "protocol/tls_link.h"
#include "serversim/server.h"
#include "support/support.h"
#include "support/tcp_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// One request and its reply; a negative time when the reply did not come.
double round_trip(MrimPacket* request, MrimPacket* reply) {
  uint32_t seq = mrim_next_seq();
  mrim_packet_init(request, MRIM_CS_HELLO, seq);
  auto start = Clock::now();
  if (MRIM_sendpacket(request) != 0 || MRIM_receivepacket(reply, 48, seq, 10) != 0 ||
      reply->msg != MRIM_CS_HELLO_ACK)
    return -1;
  return microseconds(Clock::now() - start);
}

void report(const char* label, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("round trip, %-8s %6zu rounds: median %8.1f us   p99 %8.1f us   max %8.1f us\n", label, times.size(),
         at(0.5), at(0.99), times.back());
}

// Blocks of rounds without and with the log take turns, so that both meet the same conditions
// of the machine; a drift while one ran alone would show up in the ratio. Returns false when a
// reply did not come.
bool measure(int rounds) {
  constexpr int kBlock = 100;
  auto request = std::make_unique<MrimPacket>();
  auto reply = std::make_unique<MrimPacket>();
  std::vector<double> plain, logged;
  for (int i = 0; i < rounds / 10 + 1; ++i)  // warm-up
    if (round_trip(request.get(), reply.get()) < 0) return false;
  while (plain.size() < static_cast<size_t>(rounds)) {
    for (bool with_log : {false, true}) {
      if (with_log)
        log_init("bench");
      else
        log_stop();
      std::vector<double>& times = with_log ? logged : plain;
      for (int i = 0; i < kBlock; ++i) {
        double time = round_trip(request.get(), reply.get());
        if (time < 0) {
          fprintf(stderr, "no reply to round %zu %s the log\n", times.size(), with_log ? "with" : "without");
          return false;
        }
        times.push_back(time);
      }
    }
  }
  report("no log", plain);
  report("with log", logged);
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
  tls_link_prepare(link.connection, "mrim.test", 0);
  protocol_state.connection = link.connection;
  protocol_state.packet_receiver = link.receiver;
  listener_set_packet_handler(MRIM_HSP);  // as Load wires it
  thread_start_long(ListenThread, work_area.get());
  listener_wake();

  bool ok = measure(rounds);

  threads_stop_all(wake_for_unload);
  close_handle(link.user);
  pending_queue_clear();
  plugin_link = nullptr;
  return ok ? 0 : 1;
}
