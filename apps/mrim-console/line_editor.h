// The command line at a terminal: libedit in its callback form, with history, incremental
// search (Ctrl-R) and completion. The console's events are printed above the line being typed,
// which is then drawn again as it was. One editor per process (libedit keeps global state);
// every call into libedit happens under the editor's lock, from whichever thread.
#pragma once

#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace console {

class LineEditor {
 public:
  // Candidates for the word being completed, given the line before it.
  using Completer =
      std::function<std::vector<std::string>(const std::string& before, const std::string& word)>;

  // history_path: read now, written back when the editor goes; "" keeps no history file.
  LineEditor(std::string history_path, Completer completer);
  ~LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Shows the prompt, with a status in front of it (see set_status), unless it is shown.
  void begin_prompt(const std::string& status);
  // Shows the prompt (begin_prompt) and takes keys until a line is entered (true) or the input ends, by
  // Ctrl-D or because `stop` was set by a signal handler (false). The entered line goes into
  // the history unless it repeats the last one.
  bool read_line(std::string& line, const volatile std::sig_atomic_t& stop);
  // Whether the prompt is on the screen (from the start of read_line to the line's Enter).
  bool prompting();
  // Writes text (ending in a line break) above the prompt; without a prompt, just writes it.
  void print_above(const std::string& text);
  // A short status shown in front of the prompt ("going online 3s"); "" for none.
  void set_status(const std::string& status);

 private:
  static void line_done(char* line);
  void install();      // lock held: shows the prompt and takes keys from now
  void clear_input();  // lock held, prompt shown
  std::string prompt() const;

  std::mutex mu_;
  std::string history_path_;
  Completer completer_;
  std::string status_;
  bool prompting_ = false;
  bool got_line_ = false;
  bool ended_ = false;
  std::string line_;
  std::string last_added_;
};

// Where the command history is kept: beside the profile file ("<profile>.history"); for the
// in-memory profile, which has no folder of its own, in the home folder
// ("~/.mrim-console_history", or the current folder without HOME).
std::string history_path_for(const std::string& profile);

}  // namespace console
