// mrim-console run as a child process in --json mode, as a program would use it: commands
// written to its standard input, events read from its standard output (one JSON object per
// line), its standard error kept in a file for the test's report. Every wait is a wait for a
// particular event, with a generous bound.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace consoletest {

using Json = nlohmann::json;
using std::chrono::milliseconds;
using Match = std::function<bool(const Json&)>;

// Long enough for a log-in on a busy machine, short enough that a hung console fails the test.
constexpr milliseconds kEventWait{30000};

// Matches events of one kind, optionally with a text field holding a value.
Match is(const std::string& kind);
Match is(const std::string& kind, const std::string& field, const std::string& value);

// A private folder (removed at the end) in which a console runs and writes its log.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ConsoleProcess {
 public:
  // Starts the console with --json and the arguments, in the folder `workdir`.
  ConsoleProcess(const std::vector<std::string>& args, const std::string& workdir);
  ~ConsoleProcess();
  ConsoleProcess(const ConsoleProcess&) = delete;
  ConsoleProcess& operator=(const ConsoleProcess&) = delete;

  void send(const std::string& line);
  // The next event after the last one taken that matches; events passed over stay readable
  // through events(). Null when none comes in time or the console ends first.
  std::optional<Json> next(const Match& match, milliseconds timeout = kEventWait);
  // The first event so far, or to come, that matches, looking at every event from the start
  // and taking nothing: for events whose order among others does not matter.
  std::optional<Json> await(const Match& match, milliseconds timeout = kEventWait);
  // Sends a command and takes its answer: its "ok" or "error" event.
  Json command(const std::string& line, milliseconds timeout = kEventWait);
  std::vector<Json> events() const;
  // Events received so far that match.
  std::vector<Json> all(const Match& match) const;
  // Closes standard input and waits for the console to end; its exit status, or -1 when it
  // did not end in time (it is then killed).
  int finish(milliseconds timeout = kEventWait);
  // Standard error and every line of standard output so far, for failure messages.
  std::string transcript() const;

 private:
  void read_output();

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::string stderr_path_;
  std::thread reader_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Json> events_;
  std::vector<std::string> lines_;
  size_t cursor_ = 0;
  bool ended_ = false;
  int exit_status_ = -1;
};

}  // namespace consoletest
