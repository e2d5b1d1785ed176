// The terminal view: events as short sentences, one or a few lines each, and a line that shows
// what the console is waiting for. At a terminal that line is redrawn in place with a turning
// bar and the seconds gone; into a file or pipe it is written once and then every few seconds.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>

#include "view.h"

namespace console {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kReportEvery{5};

std::string who(const Value& fields, const char* address_field) {
  std::string address = fields.text_of(address_field);
  std::string name = fields.text_of("name");
  if (name.empty() || name == address) return address;
  return name + " <" + address + ">";
}

std::string clock_time(int64_t unix_seconds) {
  time_t t = static_cast<time_t>(unix_seconds);
  tm local{};
  localtime_r(&t, &local);
  char text[16];
  std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}

// Continuation lines of a multi-line text are indented under the first.
std::string indented(const std::string& text, size_t indent) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
  return out;
}

std::string contact_line(const Value& c) {
  std::string line = who(c, "address") + "  " + c.text_of("status");
  std::string visibility = c.text_of("visibility");
  if (!visibility.empty() && visibility != "normal") line += "  (" + visibility + " list)";
  if (const Value* on_list = c.get("on_list");
      on_list && on_list->type == Value::Type::flag && !on_list->flag)
    line += "  (not on the list)";
  return line;
}

std::string describe(const Event& event) {
  const Value& f = event.fields;
  std::string kind = event.kind();
  if (kind == "ready") {
    std::string account = f.text_of("account");
    std::string text = "MRIM console: plug-in " + f.text_of("module") + ", server " + f.text_of("server");
    text += account.empty() ? ", no account set up" : ", account " + account;
    if (f.text_of("profile") != ":memory:") text += ", profile " + f.text_of("profile");
    return text + "\nType help for the commands.";
  }
  // A message box has been shown by the host's desktop already (on standard error).
  if (kind == "notice") return "";
  if (kind == "error") {
    std::string command = f.text_of("command");
    return "error: " + (command.empty() ? "" : command + ": ") + f.text_of("message");
  }
  if (kind == "ok") {
    std::string command = f.text_of("command");
    if (command == "msg")
      return "-> message " + std::to_string(f.number_of("ack")) + " to " + f.text_of("to") + " sent";
    if (command == "search")
      return "searching for " + f.text_of("address") + " (search " + std::to_string(f.number_of("id")) + ")";
    if (command == "status") {
      if (f.flag_of("unchanged")) return "the account is already " + f.text_of("status");
      return "";  // the change itself is shown when it happens
    }
    if (command == "add") return f.text_of("address") + " added";
    if (command == "visibility") return f.text_of("address") + ": visibility " + f.text_of("visibility");
    if (command == "authorize") return f.text_of("address") + " authorized";
    if (command == "deny") return f.text_of("address") + "'s request refused";
    if (command == "reqauth") return f.text_of("address") + " put on the server list and authorized";
    if (command == "typing") return "typing notice sent to " + f.text_of("address");
    return "";  // the others' own events (contact changes, details, lists) say enough
  }
  if (kind == "status") return "* you are " + f.text_of("status") + " (were " + f.text_of("previous") + ")";
  if (kind == "login_failed") return "* still offline: " + f.text_of("reason");
  if (kind == "contact") {
    if (f.flag_of("new")) return "+ " + contact_line(f);
    const Value* changed = f.get("changed");
    std::string what;
    if (changed)
      for (const Value& item : changed->items) {
        if (item.text == "status")
          what += (what.empty() ? "" : ", ") + std::string("is ") + f.text_of("status");
        if (item.text == "name")
          what += (what.empty() ? "" : ", ") + std::string("is called ") + f.text_of("name");
        if (item.text == "visibility")
          what += (what.empty() ? "" : ", ") + std::string("visibility ") + f.text_of("visibility");
        if (item.text == "on_list")
          what += (what.empty() ? "" : ", ") +
                  std::string(f.flag_of("on_list") ? "is on the list" : "is not on the list");
      }
    return "* " + who(f, "address") + " " + what;
  }
  if (kind == "contact_removed") return "- " + who(f, "address") + " removed";
  if (kind == "message") {
    std::string head = "[" + clock_time(f.number_of("time")) + "] " + who(f, "from") + ": ";
    return head + indented(f.text_of("text"), 8);
  }
  if (kind == "auth_request") {
    return "? " + who(f, "from") + " asks for authorization: " + f.text_of("text") + "\n  (authorize " +
           f.text_of("from") + " or deny " + f.text_of("from") + ")";
  }
  if (kind == "typing") return f.number_of("seconds") > 0 ? "... " + who(f, "from") + " is typing" : "";
  if (kind == "delivered") {
    return std::string(f.flag_of("delivered") ? "<- message " : "<- NOT delivered: message ") +
           std::to_string(f.number_of("ack")) + " to " + f.text_of("to") +
           (f.flag_of("delivered") ? " delivered" : "");
  }
  if (kind == "search_result") return "found: " + f.text_of("email");
  if (kind == "search_done") {
    return "search " + std::to_string(f.number_of("id")) + " done: " +
           (f.number_of("found") ? std::to_string(f.number_of("found")) + " found" : "nobody found");
  }
  if (kind == "details") {
    if (!f.flag_of("ok")) return "no details for " + f.text_of("address");
    std::string text = "details of " + f.text_of("address") + ":";
    if (const Value* fields = f.get("fields"))
      for (size_t i = 0; i < fields->names.size(); ++i) {
        const Value& v = fields->items[i];
        std::string shown = v.type == Value::Type::number ? std::to_string(v.number) : v.text;
        if (!shown.empty()) text += "\n  " + fields->names[i] + ": " + shown;
      }
    return text;
  }
  if (kind == "new_mail") return "* new mail: " + f.text_of("title") + ": " + f.text_of("text");
  if (kind == "list") {
    const Value* contacts = f.get("contacts");
    if (!contacts || contacts->items.empty()) return "the contact list is empty";
    std::string text = "contacts:";
    for (const Value& c : contacts->items) text += "\n  " + contact_line(c);
    return text;
  }
  if (kind == "history") {
    const Value* entries = f.get("entries");
    if (!entries || entries->items.empty()) return "no history with " + f.text_of("address");
    std::string text = "history with " + f.text_of("address") + ":";
    for (const Value& e : entries->items) {
      std::string arrow = e.text_of("direction") == "out" ? ">> " : "<< ";
      std::string type = e.text_of("type") == "auth_request" ? "(authorization request) " : "";
      text +=
          "\n  [" + clock_time(e.number_of("time")) + "] " + arrow + type + indented(e.text_of("text"), 13);
    }
    return text;
  }
  if (kind == "help") {
    std::string text = "commands:";
    if (const Value* commands = f.get("commands"))
      for (const Value& c : commands->items) {
        std::string usage = c.text_of("usage");
        if (usage.size() < 44) usage.append(44 - usage.size(), ' ');
        text += "\n  " + usage + " " + c.text_of("description");
      }
    return text;
  }
  if (kind == "bye") return "bye";
  return "";
}

class TerminalView : public View {
 public:
  explicit TerminalView(bool interactive)
      : interactive_(interactive), tty_(isatty(STDOUT_FILENO) == 1), ticker_([this] { tick(); }) {}
  ~TerminalView() override {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    ticker_.join();
  }

  void show(const Event& event) override {
    std::string text = describe(event);
    if (text.empty()) return;
    std::lock_guard lock(mu_);
    clear_line();
    std::fputs((text + "\n").c_str(), stdout);
    redraw();
  }

  void begin_wait(const std::string& key, const std::string& what) override {
    std::lock_guard lock(mu_);
    // Without a terminal a wait is reported once it has lasted a second, then every five.
    waits_[key] = {what, Clock::now(), Clock::now() - kReportEvery + std::chrono::seconds(1)};
    redraw();
    cv_.notify_all();
  }

  void end_wait(const std::string& key) override {
    std::lock_guard lock(mu_);
    clear_line();
    waits_.erase(key);
    redraw();
  }

  void ready_for_input() override {
    std::lock_guard lock(mu_);
    prompt_shown_ = interactive_;
    redraw();
  }

  void input_taken() override {
    std::lock_guard lock(mu_);
    prompt_shown_ = false;
    line_drawn_ = false;  // the person's Enter ended the prompt's line
  }

 private:
  struct Wait {
    std::string what;
    Clock::time_point since;
    Clock::time_point last_report;
  };

  // The status line: at a terminal the waits with a turning bar, else the prompt alone.
  void redraw() {
    if (tty_ && !waits_.empty()) {
      static const char bar[] = "|/-\\";
      std::string line = std::string(1, bar[turn_ % 4]) + " ";
      bool first = true;
      for (const auto& [key, wait] : waits_) {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - wait.since).count();
        line += (first ? "" : ", ") + wait.what + " " + std::to_string(seconds) + "s";
        first = false;
      }
      std::fputs(("\r\033[K" + line).c_str(), stdout);
      line_drawn_ = true;
    } else if (prompt_shown_ && interactive_) {
      std::fputs("\r\033[K> ", stdout);
      line_drawn_ = true;
    }
    std::fflush(stdout);
  }

  void clear_line() {
    if (line_drawn_ && (tty_ || interactive_)) std::fputs("\r\033[K", stdout);
    line_drawn_ = false;
  }

  void tick() {
    std::unique_lock lock(mu_);
    while (!stop_) {
      cv_.wait_for(lock, std::chrono::milliseconds(250));
      if (stop_ || waits_.empty()) continue;
      ++turn_;
      if (tty_) {
        redraw();
        continue;
      }
      for (auto& [key, wait] : waits_) {
        if (Clock::now() - wait.last_report < kReportEvery) continue;
        wait.last_report = Clock::now();
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - wait.since).count();
        clear_line();
        std::printf("... %s (%lld s)\n", wait.what.c_str(), static_cast<long long>(seconds));
        redraw();
      }
    }
  }

  const bool interactive_;
  const bool tty_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, Wait> waits_;
  bool stop_ = false;
  bool line_drawn_ = false;
  bool prompt_shown_ = false;
  unsigned turn_ = 0;
  std::thread ticker_;  // last: starts once the members above exist
};

}  // namespace

std::unique_ptr<View> make_terminal_view(bool interactive) {
  return std::make_unique<TerminalView>(interactive);
}

}  // namespace console
