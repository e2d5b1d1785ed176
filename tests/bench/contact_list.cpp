// Benchmark: applying the server's contact list (MRIM_CS_CONTACT_LIST2) to the host's contacts,
// with lists of 1,000 and 10,000 entries, each into a fresh host stand-in with the plug-in's
// setting and deletion hooks in place, as after the host has loaded every module. A second
// round applies the same list again, now finding every contact. Each size is measured seven times
// and the medians are printed, with the ratio of the long list to the short one (linear work
// keeps it near 10): one run of the short list is over in a few milliseconds, so a single
// preemption would move the ratio.
//
//   contact_list_bench [short] [long]   (default 1000 10000)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "contacts/contact_index.h"
#include "contacts/contact_records.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "incoming/dispatcher.h"
#include "protocol/listener.h"
#include "serversim/wire.h"
#include "support/support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A list of one group and count contacts, laid out as servers send it, in a buffer exactly the
// packet's size.
serversim::Bytes list_packet(int count) {
  serversim::Writer body;
  body.ul(0).ul(1).lps("us").lps("uussuu");
  body.ul(0x02).lps("General");
  for (int i = 0; i < count; ++i) {
    std::string address = "contact" + std::to_string(i) + "@mrim.example";
    body.ul(0).ul(0).lps(address).lps("Contact " + std::to_string(i)).ul(0).ul(i % 3 == 0 ? 1 : 0);
  }
  serversim::Packet packet{serversim::code::contact_list2, 0, body.take()};
  return serversim::encode(packet);
}

double apply_ms(const serversim::Bytes& bytes, ListenerWorkArea* work) {
  auto start = Clock::now();
  MRIM_HSP(reinterpret_cast<const MrimPacket*>(bytes.data()), work);
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Figures {
  double first = 0;
  double again = 0;
  size_t bytes = 0;
  size_t contacts = 0;  // as many as the list has, or the figures mean nothing
};

Figures measure(int count) {
  testsupport::WorkFolder folder;
  hostsim::Host host;
  protocol_state_reset();
  contact_index_reset();
  strcpy(protocol_state.module_name, "bench");
  log_init("bench");  // the diagnostic build always writes its log
  plugin_link = const_cast<PluginLink*>(host.plugin_link());
  protocol_state.hook_setting_changed =
      plugin_link->HookEvent(ME_DB_CONTACT_SETTINGCHANGED, MRIM_SettingChanged);
  protocol_state.hook_contact_deleted = plugin_link->HookEvent(ME_DB_CONTACT_DELETED, MRIM_ContactDeleted);
  auto work = std::make_unique<ListenerWorkArea>();
  serversim::Bytes bytes = list_packet(count);
  Figures figures;
  figures.bytes = bytes.size();
  figures.first = apply_ms(bytes, work.get());
  figures.again = apply_ms(bytes, work.get());
  figures.contacts = host.profile().contacts().size();
  plugin_link->UnhookEvent(protocol_state.hook_setting_changed.exchange(nullptr));
  plugin_link->UnhookEvent(protocol_state.hook_contact_deleted.exchange(nullptr));
  contact_index_reset();
  plugin_link = nullptr;
  return figures;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The runs of the two sizes alternate, so that both meet the same conditions of the machine
// (the log's file system flushing, other programs); the medians of each are kept.
bool median_figures(int short_count, int long_count, Figures* small, Figures* large) {
  constexpr int kRuns = 7;
  std::vector<double> small_first, small_again, large_first, large_again;
  for (int run = 0; run < kRuns; ++run) {
    *small = measure(short_count);
    *large = measure(long_count);
    if (small->contacts != static_cast<size_t>(short_count) ||
        large->contacts != static_cast<size_t>(long_count))
      return false;
    small_first.push_back(small->first);
    small_again.push_back(small->again);
    large_first.push_back(large->first);
    large_again.push_back(large->again);
  }
  small->first = median(small_first);
  small->again = median(small_again);
  large->first = median(large_first);
  large->again = median(large_again);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int short_count = argc > 1 ? atoi(argv[1]) : 1000;
  int long_count = argc > 2 ? atoi(argv[2]) : 10000;
  if (short_count < 1 || long_count < 1) return 2;
  Figures small, large;
  if (!median_figures(short_count, long_count, &small, &large)) {
    fprintf(stderr, "contact list: %zu and %zu contacts applied, not %d and %d\n", small.contacts,
            large.contacts, short_count, long_count);
    return 1;
  }
  printf("contact list, %6d entries (%7zu bytes): apply %8.1f ms   again %8.1f ms\n", short_count,
         small.bytes, small.first, small.again);
  printf("contact list, %6d entries (%7zu bytes): apply %8.1f ms   again %8.1f ms\n", long_count, large.bytes,
         large.first, large.again);
  printf("contact list, ratio %d/%d: apply %.1f   again %.1f\n", long_count, short_count,
         large.first / small.first, large.again / small.again);
  return 0;
}
