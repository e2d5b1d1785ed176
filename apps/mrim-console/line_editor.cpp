// The command line at a terminal (see line_editor.h).
#include "line_editor.h"

#include <histedit.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <optional>

#include "charset.h"

namespace console {

namespace {

constexpr int kHistoryKept = 1000;
// A line break pasted into the line; a real one would end it.
constexpr wchar_t kPastedBreak = 0x21B5;
// Bracketed paste: the terminal marks pasted text, so that its line breaks do not enter lines.
const char kPasteOn[] = "\033[?2004h";
const char kPasteOff[] = "\033[?2004l";
const wchar_t kPasteEnd[] = L"\033[201~";

volatile std::sig_atomic_t resized = 0;
void on_resize(int) { resized = 1; }

LineEditor* editor_of(EditLine* el) {
  void* data = nullptr;
  el_wget(el, EL_CLIENTDATA, &data);
  return static_cast<LineEditor*>(data);
}

size_t terminal_width() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

int width_of(wchar_t c) {
  int w = wcwidth(c);
  return w < 0 ? 2 : w;  // libedit shows control characters as ^X
}

// The row of the cursor below the prompt's first row, after `text` was drawn from its start.
// libedit moves a wide character that does not fit to the next row, and the cursor down to
// the next row's start when a row is full.
size_t rows_down(const std::wstring& text, size_t width) {
  size_t row = 0, column = 0;
  for (wchar_t c : text) {
    auto w = static_cast<size_t>(width_of(c));
    if (column + w > width) {
      ++row;
      column = 0;
    }
    column += w;
    if (column >= width) {
      ++row;
      column = 0;
    }
  }
  return row;
}

std::wstring lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return text;
}

}  // namespace

void use_utf8_terminal() {
  const char* chosen = std::setlocale(LC_CTYPE, "");
  if (chosen == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

size_t columns_of(const std::wstring& text) {
  size_t columns = 0;
  for (wchar_t c : text) columns += static_cast<size_t>(width_of(c));
  return columns;
}

std::string history_path_for(const std::string& profile) {
  if (profile != ":memory:") return profile + ".history";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.mrim-console_history";
}

LineEditor::LineEditor(std::string history_path, Completer completer)
    : history_path_(std::move(history_path)), completer_(std::move(completer)) {
  prompt_ = prompt();
  at_terminal_ = tcgetattr(STDIN_FILENO, &saved_) == 0;
  el_ = el_init("mrim-console", stdin, stdout, stderr);
  el_wset(el_, EL_CLIENTDATA, static_cast<void*>(this));
  el_wset(el_, EL_EDITOR, L"emacs");
  // The console has its own handlers for termination; libedit's would signal the whole
  // process group. Ctrl-C reaches the editor as a key (no signal while a line is edited), so
  // that it can drop the line instead of ending the program.
  el_wset(el_, EL_SIGNAL, 0);
  el_wset(el_, EL_SETTY, L"-d", L"-isig", nullptr);
  el_wset(el_, EL_PROMPT, &LineEditor::prompt_text);
  el_wset(el_, EL_GETCFN, &LineEditor::read_key);

  history_ = history_winit();
  HistEventW event;
  history_w(history_, &event, H_SETSIZE, kHistoryKept);
  history_w(history_, &event, H_SETUNIQUE, 1);
  if (!history_path_.empty()) history_w(history_, &event, H_LOAD, history_path_.c_str());
  el_wset(el_, EL_HIST, history_w, history_);

  el_wset(el_, EL_ADDFN, L"mrim-complete", L"complete a command, address or name", &LineEditor::complete_key);
  el_wset(el_, EL_ADDFN, L"mrim-cancel", L"drop the line, or leave on an empty one", &LineEditor::cancel_key);
  el_wset(el_, EL_ADDFN, L"mrim-end", L"leave on an empty line, else delete", &LineEditor::end_key);
  el_wset(el_, EL_ADDFN, L"mrim-paste", L"take pasted text into the line", &LineEditor::paste_key);
  el_wset(el_, EL_ADDFN, L"mrim-search", L"search the history, newest first", &LineEditor::search_key);
  const wchar_t* const bindings[][2] = {
      {L"^I", L"mrim-complete"},
      {L"^C", L"mrim-cancel"},
      {L"^D", L"mrim-end"},
      {L"\033[200~", L"mrim-paste"},
      {L"^R", L"mrim-search"},
      // Ctrl-Left and Ctrl-Right as xterm and tmux send them, and Alt-B and Alt-F.
      {L"\033[1;5D", L"ed-prev-word"},
      {L"\033[1;5C", L"em-next-word"},
      {L"\033[5D", L"ed-prev-word"},
      {L"\033[5C", L"em-next-word"},
      {L"\033b", L"ed-prev-word"},
      {L"\033f", L"em-next-word"},
      {L"\033[A", L"ed-prev-history"},
      {L"\033OA", L"ed-prev-history"},
      {L"\033[B", L"ed-next-history"},
      {L"\033OB", L"ed-next-history"},
      {L"\033[C", L"ed-next-char"},
      {L"\033OC", L"ed-next-char"},
      {L"\033[D", L"ed-prev-char"},
      {L"\033OD", L"ed-prev-char"},
      {L"\033[H", L"ed-move-to-beg"},
      {L"\033OH", L"ed-move-to-beg"},
      {L"\033[1~", L"ed-move-to-beg"},
      {L"\033[F", L"ed-move-to-end"},
      {L"\033OF", L"ed-move-to-end"},
      {L"\033[4~", L"ed-move-to-end"},
      {L"\033[3~", L"ed-delete-next-char"},
  };
  for (const auto& binding : bindings) el_wset(el_, EL_BIND, binding[0], binding[1], nullptr);

  struct sigaction action {};
  action.sa_handler = on_resize;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the wait for a key returns, and the line is redrawn
  sigaction(SIGWINCH, &action, nullptr);
}

LineEditor::~LineEditor() {
  std::lock_guard lock(mu_);
  if (prompting_) {
    clear_input();
    uninstall();
  }
  if (at_terminal_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  std::fflush(stdout);
  HistEventW event;
  if (!history_path_.empty()) history_w(history_, &event, H_SAVE, history_path_.c_str());
  el_end(el_);
  history_wend(history_);
}

std::wstring LineEditor::prompt() const {
  std::wstring text = status_.empty() ? L"" : L"[" + wide_from_utf8(status_) + L"] ";
  text += wide_from_utf8(mark_);
  if (unread_ > 0) text += L" \u2709" + std::to_wstring(unread_);
  if (!conversation_.empty()) text += L" " + wide_from_utf8(conversation_);
  return text + L"> ";
}

wchar_t* LineEditor::prompt_text(EditLine* el) {
  // Called inside libedit, with the editor's lock held.
  return const_cast<wchar_t*>(editor_of(el)->prompt_.c_str());
}

int LineEditor::read_key(EditLine* el, wchar_t* key) {
  // The bytes are decoded here, as UTF-8 whatever the C library's locale, so that no
  // character typed is lost on the way.
  LineEditor& self = *editor_of(el);
  if (self.draining_) {
    // Only keys libedit pushed back are wanted now; the next one typed waits for its poll.
    errno = EAGAIN;
    *key = 0;
    return -1;
  }
  unsigned char bytes[4];
  auto next = [&](unsigned char& byte) {
    for (;;) {
      ssize_t got = read(STDIN_FILENO, &byte, 1);
      if (got == 1) return true;
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
  };
  if (!next(bytes[0])) {
    self.ended_ = true;
    *key = 0;
    return 0;
  }
  size_t length = bytes[0] < 0x80                       ? 1
                  : bytes[0] >= 0xF0 && bytes[0] < 0xF8 ? 4
                  : bytes[0] >= 0xE0                    ? 3
                  : bytes[0] >= 0xC2                    ? 2
                                                        : 0;
  std::string text(1, static_cast<char>(bytes[0]));
  for (size_t k = 1; k < length; ++k) {
    if (!next(bytes[k])) break;
    text += static_cast<char>(bytes[k]);
  }
  std::wstring wide = wide_from_utf8(text);
  *key = wide.empty() ? L'\uFFFD' : wide[0];
  if (*key != 3) self.cancelled_ = false;
  return 1;
}

unsigned char LineEditor::cancel_key(EditLine* el, int) {
  LineEditor& self = *editor_of(el);
  const LineInfoW* line = el_wline(el);
  bool empty = line->buffer == line->lastchar;
  if (empty && self.cancelled_) {
    self.ended_ = true;
    return CC_EOF;
  }
  if (empty) {
    self.cancelled_ = true;
    self.clear_input();
    std::fputs("(Ctrl-C again or Ctrl-D to leave; quit does the same)\r\n", stdout);
    return CC_REDISPLAY;
  }
  el_cursor(el, static_cast<int>(line->lastchar - line->cursor));
  el_deletestr(el, static_cast<int>(line->lastchar - line->buffer));
  return CC_REFRESH;
}

unsigned char LineEditor::end_key(EditLine* el, int) {
  const LineInfoW* line = el_wline(el);
  if (line->buffer == line->lastchar) {
    editor_of(el)->ended_ = true;
    editor_of(el)->ctrl_d_ = true;
    return CC_EOF;
  }
  if (line->cursor == line->lastchar) return CC_ERROR;
  el_cursor(el, 1);
  el_deletestr(el, 1);
  return CC_REFRESH;
}

unsigned char LineEditor::paste_key(EditLine* el, int) {
  std::wstring pasted;
  wchar_t c;
  while (el_wgetc(el, &c) == 1) {
    pasted += c;
    size_t end = std::wcslen(kPasteEnd);
    if (pasted.size() >= end && pasted.compare(pasted.size() - end, end, kPasteEnd) == 0) {
      pasted.resize(pasted.size() - end);
      break;
    }
  }
  // Line breaks stay in the line as a mark (a message keeps them); a break that ends the
  // paste is left for the person's Enter.
  std::wstring text;
  for (size_t i = 0; i < pasted.size(); ++i) {
    wchar_t ch = pasted[i];
    if (ch == L'\r' && i + 1 < pasted.size() && pasted[i + 1] == L'\n') continue;
    if (ch == L'\r' || ch == L'\n')
      text += kPastedBreak;
    else if (ch == L'\t')
      text += L' ';
    else if (ch >= 0x20 && ch != 0x7F)
      text += ch;
  }
  while (!text.empty() && text.back() == kPastedBreak) text.pop_back();
  if (!text.empty()) el_winsertstr(el, text.c_str());
  return CC_REFRESH;
}

unsigned char LineEditor::complete_key(EditLine* el, int) { return editor_of(el)->complete(); }

unsigned char LineEditor::search_key(EditLine* el, int) { return editor_of(el)->search(); }

void LineEditor::replace_line(const std::wstring& text) {
  const LineInfoW* line = el_wline(el_);
  el_cursor(el_, static_cast<int>(line->lastchar - line->cursor));
  el_deletestr(el_, static_cast<int>(line->lastchar - line->buffer));
  if (!text.empty()) el_winsertstr(el_, text.c_str());
}

// libedit's own search looks each key up in a table of 256 entries, by its low byte: a Cyrillic
// letter or an emoji lands on some other key's function and ends the search. And it goes on
// from where the last one stopped. This one takes any character, and every search starts at
// the newest line.
unsigned char LineEditor::search() {
  const LineInfoW* line = el_wline(el_);
  const std::wstring original(line->buffer, line->lastchar);
  const std::wstring saved_prompt = prompt_;
  std::wstring query;
  std::wstring found = original;
  size_t skipped = 0;  // matches passed over with Ctrl-R again
  auto look = [&]() {
    if (query.empty()) return std::optional<std::wstring>(original);
    const std::wstring wanted = lower(query);
    size_t seen = 0;
    HistEventW event;
    for (int more = history_w(history_, &event, H_FIRST); more != -1;
         more = history_w(history_, &event, H_NEXT)) {
      std::wstring entry = event.str;
      if (lower(entry).find(wanted) != std::wstring::npos && seen++ == skipped)
        return std::optional<std::wstring>(entry);
    }
    return std::optional<std::wstring>();
  };
  auto show = [&]() {
    clear_input();
    prompt_ = wide_from_utf8(mark_) + L" search \u201C" + query + L"\u201D> ";
    replace_line(found);
    el_wset(el_, EL_REFRESH);
    std::fflush(stdout);
  };
  auto end = [&](const std::wstring& text) {
    clear_input();
    prompt_ = saved_prompt;
    replace_line(text);
    cancelled_ = false;
  };
  show();
  wchar_t key = 0;
  while (el_wgetc(el_, &key) == 1) {
    if (key == 3 || key == 7) {  // Ctrl-C, Ctrl-G: the line as it was
      end(original);
      return CC_REDISPLAY;
    }
    if (key == 0x12) {
      ++skipped;
    } else if (key == 0x7F || key == 0x08) {
      if (!query.empty()) query.pop_back();
      skipped = 0;
    } else if (key >= 0x20) {
      query += key;
      skipped = 0;
    } else {
      // Any other key ends the search on the line found, and then does what it does: Enter
      // enters it.
      end(found);
      const wchar_t again[2] = {key, 0};
      el_wpush(el_, again);
      return CC_REDISPLAY;
    }
    if (std::optional<std::wstring> match = look()) {
      found = *match;
    } else {
      if (key == 0x12) --skipped;
      std::fputs("\a", stdout);
    }
    show();
  }
  end(found);
  return CC_REDISPLAY;
}

unsigned char LineEditor::complete() {
  const LineInfoW* line = el_wline(el_);
  std::wstring before(line->buffer, line->cursor);
  // The word starts after the last blank outside quotes, or at its opening quote.
  size_t start = 0;
  bool quoted = false;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == L'"') {
      if (!quoted) start = i;
      quoted = !quoted;
    } else if (!quoted && (before[i] == L' ' || before[i] == L'\t')) {
      start = i + 1;
    }
  }
  std::wstring word = before.substr(start);
  std::vector<std::string> candidates =
      completer_(utf8_from_wide(before.substr(0, start)), utf8_from_wide(word));
  if (candidates.empty()) return CC_REFRESH_BEEP;
  std::wstring common = wide_from_utf8(candidates[0]);
  for (const std::string& candidate : candidates) {
    std::wstring wide = wide_from_utf8(candidate);
    size_t same = 0;
    while (same < common.size() && same < wide.size() &&
           std::towlower(static_cast<wint_t>(common[same])) == std::towlower(static_cast<wint_t>(wide[same])))
      ++same;
    common.resize(same);
  }
  if (candidates.size() == 1) common += L' ';
  if (candidates.size() > 1 && lower(common) == lower(word)) {
    list_candidates(candidates);
    return CC_REDISPLAY;
  }
  el_deletestr(el_, static_cast<int>(word.size()));
  el_winsertstr(el_, common.c_str());
  return CC_REFRESH;
}

void LineEditor::list_candidates(const std::vector<std::string>& candidates) {
  clear_input();
  std::string text;
  for (const std::string& candidate : candidates) text += (text.empty() ? "" : "  ") + candidate;
  std::fputs((text + "\r\n").c_str(), stdout);
}

void LineEditor::begin_prompt(const std::string& status) {
  std::lock_guard lock(mu_);
  if (prompting_) return;
  status_ = status;
  prompt_ = prompt();
  install();
}

void LineEditor::install() {
  // The terminal as it was: libedit learns the person's settings from it.
  if (at_terminal_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  std::fputs(kPasteOn, stdout);
  std::fflush(stdout);
  el_wset(el_, EL_UNBUFFERED, 1);  // raw keys, an empty line, the prompt drawn
  prompting_ = true;
}

void LineEditor::uninstall() {
  el_wset(el_, EL_UNBUFFERED, 0);
  std::fputs(kPasteOff, stdout);
  std::fflush(stdout);
  prompting_ = false;
  keys_without_echo();
}

void LineEditor::keys_without_echo() {
  // While a command runs (a wait, a log-in), keys typed meanwhile are neither shown nor lost:
  // the next prompt reads them. Ctrl-C still interrupts.
  if (!at_terminal_) return;
  termios quiet = saved_;
  quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
  quiet.c_cc[VMIN] = 1;
  quiet.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
}

bool LineEditor::read_line(std::string& line, const volatile std::sig_atomic_t& stop) {
  {
    std::lock_guard lock(mu_);
    // A person who left a conversation with Ctrl-D goes on typing; an input that ended ends
    // again at the next read.
    ended_ = false;
    ctrl_d_ = false;
    if (!prompting_) install();
    if (!typeahead_.empty()) {
      // Each call takes at least one key pushed back, so as many calls as keys take them all;
      // a call after that finds read_key answering "nothing more" rather than waiting for the
      // terminal, and returns the line as it stands (so the count bounds the loop, not what
      // el_wgets returns).
      el_wpush(el_, typeahead_.c_str());
      const size_t keys = typeahead_.size();
      typeahead_.clear();
      draining_ = true;
      int count = 0;
      for (size_t i = 0; i < keys && !ended_; ++i) el_wgets(el_, &count);
      draining_ = false;
    }
  }
  while (!stop) {
    if (resized) {
      resized = 0;
      std::lock_guard lock(mu_);
      el_resize(el_);
      el_wset(el_, EL_REFRESH);
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    int ready = poll(&input, 1, 200);  // wakes now and then to look at `stop`
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    std::string typed;  // the line after a key that did not end it, for the watcher
    bool line_goes_on = false;
    {
      std::lock_guard lock(mu_);
      int count = 0;
      const wchar_t* got = el_wgets(el_, &count);
      if (ended_) {
        // Leaving: the prompt goes, so that nothing half typed stays on the screen.
        clear_input();
        uninstall();
        return false;
      }
      if (got == nullptr || count <= 0 || got[count - 1] != L'\n') {
        // A search ended by a key pushes that key back for libedit's next read: have it taken
        // now rather than when the next key comes.
        draining_ = true;
        got = el_wgets(el_, &count);
        draining_ = false;
        if (ended_) {
          clear_input();
          uninstall();
          return false;
        }
        if (got == nullptr || count <= 0 || got[count - 1] != L'\n') {
          const LineInfoW* now = el_wline(el_);
          typed = utf8_from_wide(std::wstring(now->buffer, now->lastchar));
          line_goes_on = true;
        }
      }
      if (!line_goes_on) {
        std::wstring text(got, static_cast<size_t>(count - 1));
        uninstall();
        if (!text.empty() && text != last_added_) {
          HistEventW event;
          history_w(history_, &event, H_ENTER, text.c_str());
          last_added_ = text;
        }
        for (wchar_t& c : text)
          if (c == kPastedBreak) c = L'\n';
        line = utf8_from_wide(text);
        unmarked_paste_ = false;
        // More input already there when Enter is taken: lines pasted without the terminal's
        // marks. The rest of them is taken now, as long as it keeps coming within moments.
        std::string rest;
        pollfd more{STDIN_FILENO, POLLIN, 0};
        while (poll(&more, 1, rest.empty() ? 0 : 30) > 0) {
          char buffer[4096];
          ssize_t got_bytes = read(STDIN_FILENO, buffer, sizeof buffer);
          if (got_bytes <= 0) break;
          rest.append(buffer, static_cast<size_t>(got_bytes));
        }
        // Keys after the last line break are a line being typed ahead (while the console was
        // busy, say), not a paste: they go back to the editor as typed, for the next prompt.
        const size_t last_break = rest.find_last_of("\r\n");
        typeahead_ =
            wide_from_utf8(valid_utf8(last_break == std::string::npos ? rest : rest.substr(last_break + 1)));
        rest.resize(last_break == std::string::npos ? 0 : last_break + 1);
        if (!rest.empty()) {
          std::string lines;
          std::string text = valid_utf8(rest);
          for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
          for (char c : text) {
            if (c == '\r') c = '\n';
            if (c == '\t') c = ' ';
            if (c == '\n' || static_cast<unsigned char>(c) >= 0x20) lines += c;
          }
          while (!lines.empty() && lines.back() == '\n') lines.pop_back();
          if (!lines.empty()) {
            line += "\n" + lines;
            unmarked_paste_ = true;
          }
        }
        return true;
      }
    }
    if (line_goes_on && key_watcher_) key_watcher_(typed);
  }
  return false;
}

bool LineEditor::prompting() {
  std::lock_guard lock(mu_);
  return prompting_;
}

void LineEditor::clear_input() {
  // From the cursor up to the prompt's first row, and everything below it cleared. libedit
  // then draws from there, where it believes the cursor is after a full redraw.
  const LineInfoW* line = el_wline(el_);
  size_t rows_up = rows_down(prompt_ + std::wstring(line->buffer, line->cursor), terminal_width());
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
  // The terminal is in libedit's raw mode, where a line feed does not return the carriage.
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  std::fputs(out.c_str(), stdout);
  el_wset(el_, EL_REFRESH);
  std::fflush(stdout);
}

void LineEditor::redraw_prompt(const std::function<void()>& change) {
  if (prompting_) clear_input();
  change();
  prompt_ = prompt();
  if (prompting_) el_wset(el_, EL_REFRESH);
  std::fflush(stdout);
}

void LineEditor::set_status(const std::string& status) {
  std::lock_guard lock(mu_);
  if (status != status_) redraw_prompt([&] { status_ = status; });
}

void LineEditor::set_unread(int64_t messages) {
  std::lock_guard lock(mu_);
  if (messages != unread_) redraw_prompt([&] { unread_ = messages; });
}

bool LineEditor::pasted_without_mark() {
  std::lock_guard lock(mu_);
  return unmarked_paste_;
}

bool LineEditor::ended_with_ctrl_d() {
  std::lock_guard lock(mu_);
  return ctrl_d_;
}

void LineEditor::set_conversation(const std::string& name) {
  std::lock_guard lock(mu_);
  if (name != conversation_) redraw_prompt([&] { conversation_ = name; });
}

void LineEditor::set_mark(const std::string& mark) {
  std::lock_guard lock(mu_);
  if (mark != mark_) redraw_prompt([&] { mark_ = mark; });
}

}  // namespace console
