// Benchmark: a long contact list through the console messenger, as a person sees it. The built
// mrim-console runs as a child process (JSON on pipes) with its embedded server, whose account
// has N contacts and one stored message; the server sends the message right after the list.
// One round times "status online" to the message's event. The list's own share is that time
// less the same round with an empty list, so the figure is from the list packet to the message
// after it. Prints the median of each size, the list's share and its ratio 10,000 / 1,000.
//
//   console_list_bench [rounds]   (default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "console/console_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using consoletest::ConsoleProcess;
using consoletest::TempFolder;

// Milliseconds from "status online" to the stored message's event; negative when it never came.
double one_round(const TempFolder& folder, int contacts) {
  std::string accounts = folder.file("accounts-" + std::to_string(contacts) + ".conf");
  {
    std::ofstream out(accounts);
    out << "account bench@mail.example bench-pw\ngroup 0 Friends\n";
    for (int i = 0; i < contacts; ++i)
      out << "contact c" << i << "@mail.example 0 0 online Contact " << i << "\n";
    out << "offline plain ann@mail.example after the list\n";
  }
  ConsoleProcess console({"--plugin", MRIM_PLUGIN_PATH, "--accounts", accounts, "--account",
                          "bench@mail.example", "--password", "bench-pw"},
                         folder.path());
  if (!console.next(consoletest::is("ready"))) return -1;
  auto start = Clock::now();
  console.send("status online");
  if (!console.await(consoletest::is("message"), std::chrono::milliseconds(60000))) return -1;
  double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  console.send("quit");
  console.finish();
  return took;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 5;
  if (rounds < 1) rounds = 5;
  TempFolder folder;
  std::vector<double> medians;
  for (int contacts : {0, 1000, 10000}) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
      double took = one_round(folder, contacts);
      if (took < 0) {
        fprintf(stderr, "%d contacts: the message never showed\n", contacts);
        return 1;
      }
      times.push_back(took);
    }
    medians.push_back(median(times));
    printf("console, %5d contacts: status online -> message, median %8.1f ms (%d rounds)\n", contacts,
           medians.back(), rounds);
  }
  double share_1k = medians[1] - medians[0], share_10k = medians[2] - medians[0];
  printf("console list, 1000 entries: packet -> message %8.1f ms\n", share_1k);
  printf("console list, 10000 entries: packet -> message %8.1f ms\n", share_10k);
  printf("console list ratio 10000 / 1000: %.2f\n", share_1k > 0 ? share_10k / share_1k : 0.0);
  return 0;
}
