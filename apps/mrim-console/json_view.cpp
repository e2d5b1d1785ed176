// The JSON view: every event as one JSON object on one line of standard output, flushed at
// once so that a program reading through a pipe sees it as it happens. Waits are events too
// ("wait_begin", "wait_end"), so a program can tell that the console is busy.
#include <cstdio>
#include <mutex>

#include "view.h"

namespace console {

namespace {

class JsonView : public View {
 public:
  void show(const Event& event) override {
    std::string line = to_json(event.fields);
    line += '\n';
    std::lock_guard lock(mu_);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  void begin_wait(const std::string& key, const std::string& what) override {
    show(Event("wait_begin").set("key", key).set("what", what));
  }
  void end_wait(const std::string& key) override { show(Event("wait_end").set("key", key)); }

 private:
  std::mutex mu_;
};

}  // namespace

std::unique_ptr<View> make_json_view() { return std::make_unique<JsonView>(); }

}  // namespace console
