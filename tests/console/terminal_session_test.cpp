// mrim-console as a person uses it: the console runs in a tmux pane 60 columns wide, keys are
// sent with send-keys and the screen is read with capture-pane. This is the README's recorded
// session: completion with Tab, a command recalled with the Up arrow, text in several scripts,
// events printed above a line that is still being typed, a line longer than the pane, a paste
// of several lines, Ctrl-C, the history kept beside the profile. Skipped without tmux.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "console_process.h"

namespace {

using consoletest::TempFolder;

// A busy machine may take its time; a hung console still fails the test.
constexpr std::chrono::seconds kScreenWait{20};

std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    pclose(pipe);
  }
  return out;
}

std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class Pane {
 public:
  explicit Pane(const TempFolder& folder) : socket_(folder.file("tmux.sock")) {
    std::string console = std::string(MRIM_CONSOLE_PATH) + " --account you@mrim.example --password demo" +
                          " --plugin " + MRIM_PLUGIN_PATH + " --profile " + folder.file("profile.sqlite");
    std::string shell = "cd " + shell_quoted(folder.path()) + " && exec " + console;
    // No LANG: as in a bare tmux, the console has to choose UTF-8 itself. The pane stays
    // when the console ends, so that its last screen can be read.
    run(tmux("new-session -d -x 60 -y 40 " + shell_quoted("unset LANG LC_ALL LC_CTYPE; " + shell)));
    run(tmux("set-option -g remain-on-exit on"));
  }
  ~Pane() { run(tmux("kill-server") + " 2>/dev/null"); }

  // The console's first screen, then the demo account online with its echo contact.
  bool goes_online() {
    if (!shows("Type help for the commands.")) return false;
    enter("status online");
    return shows("+ Echo <echo@mrim.example>  online");
  }
  void enter(const std::string& line) {
    type(line);
    keys("Enter");
  }
  // Keys as tmux names them ("Enter", "Up", "Tab") or literal text.
  void keys(const std::string& names) { run(tmux("send-keys " + names)); }
  void type(const std::string& text) { run(tmux("send-keys -l " + shell_quoted(text))); }
  // Pastes as a terminal does, marked as a paste when the program asked for that.
  void paste(const std::string& text) {
    run(tmux("set-buffer " + shell_quoted(text)));
    run(tmux("paste-buffer -p"));
  }
  // Pastes as a terminal that does not mark pastes would: the lines come as typed, at once.
  void paste_unmarked(const std::string& text) {
    run(tmux("set-buffer " + shell_quoted(text)));
    run(tmux("paste-buffer"));
  }
  std::string screen() { return run(tmux("capture-pane -p")); }
  // Polls the screen until `text` is on it `times` times; with_scrolled, also the lines that
  // have scrolled off its top (a long output that a late event pushes up).
  bool shows(const std::string& text, int times = 1, bool with_scrolled = false) {
    auto deadline = std::chrono::steady_clock::now() + kScreenWait;
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string seen = with_scrolled ? run(tmux("capture-pane -p -S -")) : screen();
      if (count(seen, text) >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool lacks(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + kScreenWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (count(screen(), text) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  bool ended() {
    auto deadline = std::chrono::steady_clock::now() + kScreenWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (run(tmux("display-message -p '#{pane_dead}'")) == "1\n") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  static int count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

 private:
  std::string tmux(const std::string& args) const { return "tmux -S " + shell_quoted(socket_) + " " + args; }
  std::string socket_;
};

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The last line of the screen that holds anything.
std::string last_line(const std::string& screen) {
  std::string line, last;
  for (char c : screen + "\n") {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.find_first_not_of(' ') != std::string::npos) last = line;
    line.clear();
  }
  return last;
}

TEST(TerminalSession, HistoryCompletionAndEventsAboveTheTypedLine) {
  if (run("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";
  TempFolder folder;
  {
    Pane pane(folder);
    ASSERT_TRUE(pane.goes_online()) << pane.screen();

    // Tab completes a command name, then a contact's address.
    pane.type("li");
    pane.keys("Tab");
    ASSERT_TRUE(pane.shows("> list")) << pane.screen();
    pane.keys("Enter");
    ASSERT_TRUE(pane.shows("contacts:")) << pane.screen();
    pane.type("msg ec");
    pane.keys("Tab");
    ASSERT_TRUE(pane.shows("> msg echo@mrim.example")) << pane.screen();
    pane.enter("Hello!");
    ASSERT_TRUE(pane.shows("Echo <echo@mrim.example>: You said: Hello!")) << pane.screen();

    // The Up arrow brings the last command back; Enter sends it again.
    pane.keys("Up");
    ASSERT_TRUE(pane.shows("> msg echo@mrim.example Hello!", 2)) << pane.screen();
    pane.keys("Enter");
    ASSERT_TRUE(pane.shows("You said: Hello!", 2)) << pane.screen();

    // The answer arrives while the next line is half typed: it is printed above, and the
    // typed text is still there to finish.
    pane.enter("msg echo@mrim.example again");
    pane.type("history echo");
    ASSERT_TRUE(pane.shows("You said: again")) << pane.screen();
    ASSERT_TRUE(pane.shows("> history echo")) << pane.screen();
    EXPECT_TRUE(ends_with(last_line(pane.screen()), "> history echo")) << pane.screen();
    EXPECT_EQ(Pane::count(pane.screen(), "history echo"), 1) << "a copy of the unfinished line\n"
                                                             << pane.screen();
    pane.keys("Tab");
    pane.keys("Enter");
    ASSERT_TRUE(pane.shows("history with echo@mrim.example:")) << pane.screen();

    // Whatever the script, what is typed is shown, sent and echoed whole.
    pane.type("msg echo@mrim.example Привет 🙂 héllo ✓ שלום 你好");
    ASSERT_TRUE(pane.shows("> msg echo@mrim.example Привет 🙂 héllo ✓ שלום 你好"))
        << pane.screen();
    pane.keys("Enter");
    // The answer wraps at the pane's 60 columns, before the "✓".
    ASSERT_TRUE(pane.shows("You said: Привет 🙂 héllo\n✓ שלום 你好")) << pane.screen();

    // A line longer than the pane: its own events are all shown.
    std::string long_text(70, 'w');
    pane.enter("msg echo@mrim.example " + long_text);
    ASSERT_TRUE(pane.shows("You said: wwww")) << pane.screen();
    std::string screen = pane.screen();
    std::string after = screen.substr(screen.rfind("> msg echo@mrim.example www"));
    // One line tells its delivery, without the acknowledgement's number.
    EXPECT_NE(after.find("\u2713 Echo <echo@mrim.example>: wwww"), std::string::npos) << screen;
    EXPECT_EQ(Pane::count(screen, "message "), 0) << screen;

    // Two pasted lines in a message are one message with its line break.
    pane.type("msg echo@mrim.example ");
    pane.paste("first line\nsecond line\n");
    pane.keys("Enter");
    ASSERT_TRUE(pane.shows("You said: first line\n        second line")) << pane.screen();
    EXPECT_EQ(Pane::count(pane.screen(), "error"), 0) << pane.screen();

    // Ctrl-C drops a half-typed line, and ends a search; the console goes on.
    pane.type("half typed");
    ASSERT_TRUE(pane.shows("> half typed")) << pane.screen();
    pane.keys("C-c");
    ASSERT_TRUE(pane.lacks("half typed")) << pane.screen();
    pane.keys("C-r");
    pane.type("Hel");
    ASSERT_TRUE(pane.shows("search “Hel”>")) << pane.screen();
    pane.keys("C-c");
    ASSERT_TRUE(pane.lacks("search “")) << pane.screen();
    EXPECT_TRUE(ends_with(last_line(pane.screen()), ">")) << pane.screen();
    // On the empty line a Ctrl-C says how to leave, the second one leaves.
    pane.keys("C-c");
    ASSERT_TRUE(pane.shows("Ctrl-C again")) << pane.screen();
    pane.keys("C-c");
    EXPECT_TRUE(pane.ended()) << pane.screen();
    EXPECT_TRUE(pane.shows("\nbye")) << pane.screen();
    EXPECT_EQ(Pane::count(pane.screen(), "search “"), 0) << pane.screen();
  }
  // The commands are kept beside the profile for the next start, in UTF-8.
  std::ifstream file(folder.file("profile.sqlite.history"));
  std::string history(std::istreambuf_iterator<char>(file), {});
  EXPECT_NE(history.find("echo@mrim.example"), std::string::npos) << history;
  EXPECT_NE(history.find("Привет"), std::string::npos) << history;
}

// With no locale set, a search takes Cyrillic like any letter and each one starts at the
// newest line; Ctrl-Left and Ctrl-Right move by words instead of typing their codes; help is
// wrapped at words.
TEST(TerminalSession, SearchInAnyScriptAndWordMoves) {
  if (run("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";
  TempFolder folder;
  Pane pane(folder);
  ASSERT_TRUE(pane.goes_online()) << pane.screen();
  pane.enter("msg echo@mrim.example Привет мир");
  ASSERT_TRUE(pane.shows("You said: Привет мир")) << pane.screen();
  pane.enter("list");
  ASSERT_TRUE(pane.shows("contacts:")) << pane.screen();

  pane.keys("C-r");
  pane.type("Прив");
  ASSERT_TRUE(pane.shows("search “Прив”> msg echo@mrim.example Привет мир")) << pane.screen();
  pane.type("ет");
  ASSERT_TRUE(pane.shows("search “Привет”> msg echo@mrim.example Привет мир")) << pane.screen();
  pane.keys("C-c");
  ASSERT_TRUE(pane.lacks("search “")) << pane.screen();
  // A new search starts over: the newest line with an "l" is "list", not the older message.
  pane.keys("C-r");
  pane.type("l");
  ASSERT_TRUE(pane.shows("search “l”> list")) << pane.screen();
  pane.keys("Enter");
  ASSERT_TRUE(pane.shows("contacts:", 2)) << pane.screen();

  pane.type("msg echo@mrim.example world");
  pane.keys("C-Left");
  pane.type("hello ");
  pane.keys("C-Right");
  pane.type("!");
  ASSERT_TRUE(pane.shows("> msg echo@mrim.example hello world!")) << pane.screen();
  pane.keys("Enter");
  EXPECT_TRUE(pane.shows("You said: hello world!")) << pane.screen();

  // Help fits the pane's 60 columns without a word cut in two.
  pane.enter("help");
  EXPECT_TRUE(
      pane.shows("\n      add an address to the contact list (asks for\n          authorization)\n", 1, true))
      << pane.screen();
}

// A conversation takes plain lines as messages, and lines pasted at once (unmarked) as one;
// Ctrl-D leaves it, not the console. Outside one, such a paste runs only when the user says
// so, and a deletion only after a yes.
TEST(TerminalSession, AConversationAndWhatIsAskedFirst) {
  if (run("command -v tmux").empty()) GTEST_SKIP() << "tmux is not installed";
  TempFolder folder;
  Pane pane(folder);
  ASSERT_TRUE(pane.goes_online()) << pane.screen();
  pane.enter("chat echo");
  ASSERT_TRUE(pane.shows(" Echo>")) << pane.screen();
  pane.enter("Привет");
  ASSERT_TRUE(pane.shows("] Echo: You said: Привет")) << pane.screen();
  pane.paste_unmarked("line one\nline two\n");
  ASSERT_TRUE(pane.shows("] Echo: You said: line one\n        line two")) << pane.screen();
  pane.enter("/groups");
  ASSERT_TRUE(pane.shows("groups:")) << pane.screen();
  pane.keys("C-d");
  ASSERT_TRUE(pane.shows("conversation with Echo <echo@mrim.example> ended")) << pane.screen();

  pane.paste_unmarked("groups\ngroups\n");
  ASSERT_TRUE(pane.shows("run the 2 pasted lines as commands? (y/n)")) << pane.screen();
  pane.keys("n");
  ASSERT_TRUE(pane.shows("\nno\n")) << pane.screen();
  EXPECT_EQ(Pane::count(pane.screen(), "groups:"), 1) << pane.screen();
  // Messages typed at once, each with its own command, are that many messages.
  pane.paste_unmarked("msg echo one\nmsg echo two\n");
  ASSERT_TRUE(pane.shows("run the 2 pasted lines as commands? (y/n)", 2)) << pane.screen();
  pane.keys("y");
  ASSERT_TRUE(pane.shows("Echo <echo@mrim.example>: You said: two")) << pane.screen();
  EXPECT_TRUE(pane.shows("Echo <echo@mrim.example>: You said: one")) << pane.screen();
  pane.enter("delete news");
  ASSERT_TRUE(pane.shows("(y/n)", 2)) << pane.screen();  // the question, wrapped at 60 columns
  pane.keys("n");
  ASSERT_TRUE(pane.shows("error: delete: not deleted")) << pane.screen();
  EXPECT_EQ(Pane::count(pane.screen(), "removed"), 0) << pane.screen();
}

}  // namespace
