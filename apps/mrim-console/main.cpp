// mrim-console: a console messenger that runs the MRIM plug-in in the host stand-in. It shows
// everything the plug-in tells the host as it happens, and carries typed commands to the
// plug-in through the services the host would call. See README.md next to this file.
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>

#include "commands.h"
#include "line_editor.h"
#include "options.h"
#include "session.h"
#include "view.h"

namespace {

volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t interrupted = 0;
volatile std::sig_atomic_t line_editing = 0;

// A termination request ends the input, so the console leaves the way quit does: offline,
// plug-in unloaded, profile saved. So does Ctrl-C when commands come from a pipe; at the line
// editor Ctrl-C is a key, and its signal (while a command runs) cuts a wait short.
void on_stop_signal(int) { stop_requested = 1; }
void on_interrupt(int) {
  if (line_editing)
    interrupted = 1;
  else
    stop_requested = 1;
}

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked read of the next command returns
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = on_interrupt;
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  console::Options options;
  switch (console::parse_options(argc, argv, options)) {
    case console::Parsed::run:
      break;
    case console::Parsed::done:
      return 0;
    case console::Parsed::bad_option:
      return 2;
  }
  bool interactive = !options.json && isatty(STDIN_FILENO) == 1;
  // Line editing when a person types at a terminal and reads it; input from a pipe or a file
  // is read line by line as it comes.
  console::Session* running = nullptr;
  std::unique_ptr<console::LineEditor> editor;
  if (interactive && isatty(STDOUT_FILENO) == 1) {
    console::use_utf8_terminal();
    line_editing = 1;
    editor = std::make_unique<console::LineEditor>(
        console::history_path_for(options.profile),
        [&running](const std::string& before, const std::string& word) {
          return console::completions(before, word,
                                      running ? running->completion_data() : console::CompletionData());
        });
  }
  std::unique_ptr<console::View> view =
      options.json ? console::make_json_view()
                   : console::make_terminal_view(interactive, editor.get(), options.verbose, options.bell);
  catch_stop_signals();

  int result = 0;
  {
    console::Session session(options, *view, interactive);
    session.interrupt_with(&interrupted);
    if (session.start()) {
      running = &session;
      if (editor) editor->watch_keys([&session](const std::string& line) { session.typed(line); });
      view->ready_for_input();
      std::string line;
      for (;;) {
        if (!(editor ? editor->read_line(line, stop_requested)
                     : static_cast<bool>(std::getline(std::cin, line)))) {
          // Ctrl-D leaves the conversation, not the console.
          if (editor && !stop_requested && editor->ended_with_ctrl_d() && session.in_conversation()) {
            session.close_conversation();
            view->ready_for_input();
            continue;
          }
          break;
        }
        view->input_taken();
        interrupted = 0;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!session.execute(line, editor && editor->pasted_without_mark())) break;
        view->ready_for_input();
      }
      if (editor) editor->watch_keys(nullptr);
      running = nullptr;
    } else {
      result = 1;
    }
    session.finish();
  }
  return result;
}
