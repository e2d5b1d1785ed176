// The command line at a terminal: libedit's own interface in wide characters, read a key at a
// time, with history, incremental search (Ctrl-R, in any script), word moves (Ctrl-Left and
// Ctrl-Right), completion and bracketed paste. The
// console's events are printed above the line being typed, which is then drawn once again
// below them. One editor per process (the terminal is one); every call into libedit happens
// under the editor's lock, from whichever thread.
#pragma once

#include <termios.h>

#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct editline;
struct historyW;

namespace console {

// Makes the C library read and write the terminal in UTF-8: the user's locale when it is a
// UTF-8 one, else C.UTF-8 (a bare tmux names none). Only the character type is taken from the
// locale: numbers keep their "." whatever the user's language.
void use_utf8_terminal();

class LineEditor {
 public:
  // Candidates for the word being completed, given the line before it.
  using Completer =
      std::function<std::vector<std::string>(const std::string& before, const std::string& word)>;

  // Told the line as it stands after each key that did not end it ("" once it is dropped).
  using KeyWatcher = std::function<void(const std::string& line)>;

  // history_path: read now, written back when the editor goes; "" keeps no history file.
  LineEditor(std::string history_path, Completer completer);
  // Called on the reading thread, outside the editor's lock.
  void watch_keys(KeyWatcher watcher) { key_watcher_ = std::move(watcher); }
  ~LineEditor();
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Shows the prompt, with a status in front of it (see set_status), unless it is shown.
  void begin_prompt(const std::string& status);
  // Shows the prompt (begin_prompt) and takes keys until a line is entered (true) or the
  // person leaves (false): Ctrl-D on an empty line, Ctrl-C on an empty line right after a
  // Ctrl-C, the end of the input, or `stop` set by a signal handler. Ctrl-C otherwise drops
  // the line (or ends a search). The entered line goes into the history unless it repeats the
  // last one; line breaks pasted into it are in it as "\n".
  bool read_line(std::string& line, const volatile std::sig_atomic_t& stop);
  // Whether the prompt is on the screen (from the start of read_line to the line's Enter).
  bool prompting();
  // Writes text (ending in a line break) above the prompt; without a prompt, just writes it.
  void print_above(const std::string& text);
  // A short status shown in front of the prompt ("going online 3s"); "" for none.
  void set_status(const std::string& status);
  // The account's status, shown as a short mark that starts the prompt ("on", "away", ...).
  void set_mark(const std::string& mark);
  // The contact of the open conversation, named in the prompt after the mark; "" for none.
  void set_conversation(const std::string& name);
  // How many messages are not read yet, shown after the mark when there are some.
  void set_unread(int64_t messages);
  // Whether the last read_line that gave no line ended with Ctrl-D on an empty line.
  bool ended_with_ctrl_d();
  // Whether the last line came with more lines right behind it, faster than anyone types: a
  // paste the terminal did not mark. They are in the line, after "\n"s.
  bool pasted_without_mark();

 private:
  static unsigned char complete_key(editline* el, int key);
  static unsigned char cancel_key(editline* el, int key);
  static unsigned char end_key(editline* el, int key);
  static unsigned char paste_key(editline* el, int key);
  static unsigned char search_key(editline* el, int key);
  static int read_key(editline* el, wchar_t* key);
  static wchar_t* prompt_text(editline* el);

  void install();      // lock held: shows the prompt and takes keys from now
  void uninstall();    // lock held: the terminal back as it was, the prompt left
  void clear_input();  // lock held, prompt shown: the prompt's rows are empty again
  // Lock held: makes a change to what the prompt shows and draws it again where it is shown.
  void redraw_prompt(const std::function<void()>& change);
  void keys_without_echo();  // lock held: a command runs; keys wait for the next prompt
  std::wstring prompt() const;
  unsigned char complete();
  unsigned char search();
  void replace_line(const std::wstring& text);  // lock held: the line's text, cursor at its end
  void list_candidates(const std::vector<std::string>& candidates);

  std::mutex mu_;
  editline* el_ = nullptr;
  historyW* history_ = nullptr;
  std::string history_path_;
  Completer completer_;
  KeyWatcher key_watcher_;
  std::string status_;
  std::string mark_;
  std::string conversation_;
  int64_t unread_ = 0;
  std::wstring prompt_;  // what prompt_text() hands to libedit
  bool prompting_ = false;
  bool at_terminal_ = false;
  bool ended_ = false;   // the input ended, or the person left
  bool ctrl_d_ = false;  // ...with Ctrl-D on an empty line
  bool unmarked_paste_ = false;
  std::wstring typeahead_;  // keys typed ahead of the next prompt, taken while looking for a paste
  bool draining_ = false;   // read_key gives only what libedit pushed back
  bool cancelled_ = false;  // the last key was a Ctrl-C that dropped the line
  bool have_saved_ = false;
  termios saved_{};  // the terminal as it was before the console touched it
  std::wstring last_added_;
};

// Where the command history is kept: beside the profile file ("<profile>.history"); for the
// in-memory profile, which has no folder of its own, in the home folder
// ("~/.mrim-console_history", or the current folder without HOME).
std::string history_path_for(const std::string& profile);

// Columns the text takes at the terminal (wide characters two, combining ones none).
size_t columns_of(const std::wstring& text);

}  // namespace console
