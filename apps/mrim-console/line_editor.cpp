// The command line at a terminal (see line_editor.h).
#include "line_editor.h"

#include <editline/readline.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace console {

namespace {

LineEditor* the_editor = nullptr;
LineEditor::Completer* the_completer = nullptr;
std::vector<std::string> candidates;

constexpr int kHistoryKept = 1000;

// Columns a UTF-8 text takes (one per character; the console's texts have no wide ones).
size_t columns_of(const char* text, size_t bytes) {
  size_t columns = 0;
  for (size_t i = 0; i < bytes && text[i]; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++columns;
  return columns;
}

size_t terminal_width() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

char* next_candidate(const char*, int state) {
  static size_t index = 0;
  if (state == 0) index = 0;
  return index < candidates.size() ? strdup(candidates[index++].c_str()) : nullptr;
}

char** complete(const char* word, int start, int) {
  rl_attempted_completion_over = 1;  // no file names when nothing fits
  candidates = (*the_completer)(std::string(rl_line_buffer, static_cast<size_t>(start)), word);
  if (candidates.empty()) return nullptr;
  return rl_completion_matches(word, next_candidate);
}

}  // namespace

std::string history_path_for(const std::string& profile) {
  if (profile != ":memory:") return profile + ".history";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.mrim-console_history";
}

LineEditor::LineEditor(std::string history_path, Completer completer)
    : history_path_(std::move(history_path)), completer_(std::move(completer)) {
  the_editor = this;
  the_completer = &completer_;
  // The console has its own handlers for Ctrl-C and termination; libedit's would signal the
  // whole process group.
  rl_catch_signals = 0;
  rl_readline_name = "mrim-console";
  // Addresses hold '@' and '.', which must not split a word for completion.
  rl_basic_word_break_characters = " \t";
  rl_attempted_completion_function = complete;
  using_history();
  stifle_history(kHistoryKept);
  if (!history_path_.empty()) read_history(history_path_.c_str());
}

LineEditor::~LineEditor() {
  std::lock_guard lock(mu_);
  if (prompting_) {
    rl_callback_handler_remove();
    std::fputs("\n", stdout);
    std::fflush(stdout);
    prompting_ = false;
  }
  if (!history_path_.empty()) write_history(history_path_.c_str());
  the_editor = nullptr;
  the_completer = nullptr;
}

std::string LineEditor::prompt() const { return status_.empty() ? "> " : "[" + status_ + "] > "; }

void LineEditor::line_done(char* line) {
  // Called by libedit inside rl_callback_read_char, with the editor's lock held.
  LineEditor& self = *the_editor;
  rl_callback_handler_remove();
  self.prompting_ = false;
  if (line == nullptr) {
    self.ended_ = true;
    std::fputs("\n", stdout);  // Ctrl-D leaves the prompt's line open
  } else {
    self.line_ = line;
    self.got_line_ = true;
    std::free(line);
  }
  std::fflush(stdout);
}

void LineEditor::begin_prompt(const std::string& status) {
  std::lock_guard lock(mu_);
  if (prompting_) return;
  status_ = status;
  install();
}

void LineEditor::install() {
  got_line_ = false;
  rl_callback_handler_install(prompt().c_str(), line_done);
  prompting_ = true;
}

bool LineEditor::read_line(std::string& line, const volatile std::sig_atomic_t& stop) {
  {
    std::lock_guard lock(mu_);
    if (!prompting_) install();
  }
  while (!stop) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, 200);  // wakes now and then to look at `stop`
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    std::lock_guard lock(mu_);
    rl_callback_read_char();
    if (ended_) return false;
    if (!got_line_) continue;
    line = line_;
    if (!line.empty() && line != last_added_) {
      add_history(line.c_str());
      last_added_ = line;
    }
    return true;
  }
  return false;
}

bool LineEditor::prompting() {
  std::lock_guard lock(mu_);
  return prompting_;
}

void LineEditor::clear_input() {
  // libedit draws from where it believes the cursor is after a full redraw: the first column
  // of the prompt's first row. Go there and clear everything below.
  size_t before_cursor = columns_of(prompt().c_str(), std::string::npos) +
                         columns_of(rl_line_buffer, static_cast<size_t>(rl_point));
  size_t rows_up = before_cursor / terminal_width();
  if (rows_up > 0) std::fprintf(stdout, "\033[%zuA", rows_up);
  std::fputs("\r\033[J", stdout);
}

void LineEditor::print_above(const std::string& text) {
  std::lock_guard lock(mu_);
  if (!prompting_) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  clear_input();
  // The terminal may be in libedit's raw mode, where a line feed does not return the carriage.
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
  rl_forced_update_display();
}

void LineEditor::set_status(const std::string& status) {
  std::lock_guard lock(mu_);
  if (status == status_) return;
  if (prompting_) clear_input();
  status_ = status;
  rl_set_prompt(prompt().c_str());
  if (prompting_) rl_forced_update_display();
}

}  // namespace console
