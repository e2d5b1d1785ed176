// mrim-console: a console messenger that runs the MRIM plug-in in the host stand-in. It shows
// everything the plug-in tells the host as it happens, and carries typed commands to the
// plug-in through the services the host would call. See README.md next to this file.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "options.h"
#include "session.h"
#include "view.h"

namespace {

// Ctrl-C or a termination request ends the input, so the console leaves the way quit does:
// offline, plug-in unloaded, profile saved.
void on_stop_signal(int) {}

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the blocked read of the next command returns
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  console::Options options;
  std::string error;
  if (!console::parse_options(argc, argv, options, error)) {
    std::fprintf(stderr, "mrim-console: %s\n%s", error.c_str(), console::usage_text().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(console::usage_text().c_str(), stdout);
    return 0;
  }
  bool interactive = !options.json && isatty(STDIN_FILENO) == 1;
  std::unique_ptr<console::View> view =
      options.json ? console::make_json_view() : console::make_terminal_view(interactive);
  catch_stop_signals();

  int result = 0;
  {
    console::Session session(options, *view, interactive);
    if (session.start()) {
      view->ready_for_input();
      std::string line;
      while (std::getline(std::cin, line)) {
        view->input_taken();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!session.execute(line)) break;
        view->ready_for_input();
      }
    } else {
      result = 1;
    }
    session.finish();
  }
  return result;
}
