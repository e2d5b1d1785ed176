// Benchmark: the cost of one diagnostic-log record, a typical protocol line and a long one,
// timed one by one. Prints median, 99th percentile and maximum.
//
//   log_record_bench [records]   (default 20000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/log.h"
#include "hostsim/host.h"
#include "support/support.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Write>
void measure(const char* label, int records, Write write) {
  std::vector<double> times;
  times.reserve(static_cast<size_t>(records));
  for (int i = 0; i < records; ++i) {
    auto start = Clock::now();
    write(i);
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  auto at = [&](double fraction) { return times[static_cast<size_t>(fraction * (times.size() - 1))]; };
  printf("log record, %-6s %6d records: median %8.2f us   p99 %8.2f us   max %8.1f us\n", label, records,
         at(0.5), at(0.99), times.back());
}

}  // namespace

int main(int argc, char** argv) {
  int records = argc > 1 ? atoi(argv[1]) : 20000;
  if (records < 1) records = 20000;
  testsupport::WorkFolder folder;
  hostsim::Host host;  // takes the start-up notice
  log_init("bench");
  measure("short", records,
          [](int i) { mrim_log("MRIM_receivepacket: got packet seq=%d msg=0x%x\n", i, 0x1012); });
  std::string line(1500, 'x');
  measure("long", records, [&](int) { mrim_log("MRIM_HSP: %s\n", line.c_str()); });
  log_close();
  return 0;
}
