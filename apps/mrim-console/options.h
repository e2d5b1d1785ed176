// The console's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace console {

struct Route {
  std::string name;  // what the plug-in dials
  uint16_t port = 0;
  std::string host;  // where the connection really goes
  uint16_t real_port = 0;
};

enum class NewMail { keep, off, balloon, mailbox };

struct Options {
  bool embedded = true;     // --server embedded (the default)
  std::string server_host;  // --server HOST:PORT
  uint16_t server_port = 0;
  std::vector<Route> routes;            // --route NAME:PORT=HOST:PORT, repeatable
  std::optional<std::string> account;   // --account ADDRESS
  std::optional<std::string> password;  // --password PASSWORD
  std::string profile = ":memory:";     // --profile FILE
  std::string plugin;                   // --plugin FILE; empty: the MRIM.so built with the console
  std::string accounts_file;            // --accounts FILE; empty: the demo accounts built in
  NewMail new_mail = NewMail::keep;     // --new-mail off|balloon|mailbox
  bool json = false;                    // --json
};

enum class Parsed {
  run,         // the options are fine: start the console
  done,        // --help or --version was printed: leave with status 0
  bad_option,  // what is wrong was printed on standard error: leave with status 2
};
Parsed parse_options(int argc, char** argv, Options& options);

// "HOST:PORT" with a port 1..65535.
bool parse_host_port(const std::string& text, std::string& host, uint16_t& port);

}  // namespace console
