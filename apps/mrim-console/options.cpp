// The console's command line.
#include "options.h"

namespace console {

bool parse_host_port(const std::string& text, std::string& host, uint16_t& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  unsigned long value = 0;
  for (size_t i = colon + 1; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  host = text.substr(0, colon);
  port = static_cast<uint16_t>(value);
  return true;
}

std::string usage_text() {
  return "usage: mrim-console [options]\n"
         "  --server embedded|HOST:PORT  embedded: run the demo MRIM server inside the console\n"
         "                               (default); HOST:PORT: the address service to ask,\n"
         "                               stored as the account's server (options page)\n"
         "  --route NAME:PORT=HOST:PORT  dial HOST:PORT when the plug-in dials NAME:PORT\n"
         "                               (repeatable; e.g. for the server the address service names)\n"
         "  --account ADDRESS            the account's e-mail address, stored in the profile\n"
         "  --password PASSWORD          its password, stored encoded as the set-up dialog does\n"
         "  --profile FILE               SQLite file for contacts, settings and history\n"
         "                               (default :memory:, which keeps nothing)\n"
         "  --plugin FILE                the plug-in to load (default: the MRIM.so built with it)\n"
         "  --accounts FILE              accounts of the embedded server (default: the demo ones)\n"
         "  --new-mail off|balloon|mailbox  how unread mail is announced (stored in the profile;\n"
         "                               a profile without a choice gets balloon)\n"
         "  --json                       one JSON object per event on stdout, commands from stdin\n"
         "  --help                       this text\n";
}

namespace {

bool parse_route(const std::string& text, Route& route) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  return parse_host_port(text.substr(0, equals), route.name, route.port) &&
         parse_host_port(text.substr(equals + 1), route.host, route.real_port);
}

}  // namespace

bool parse_options(int argc, char** argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    // Both "--name value" and "--name=value".
    std::string value;
    size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      error = arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unknown argument " + arg;
      return false;
    }
    if (arg == "--server") {
      if (value == "embedded") {
        options.embedded = true;
      } else if (parse_host_port(value, options.server_host, options.server_port)) {
        options.embedded = false;
      } else {
        error = "--server wants embedded or HOST:PORT, not " + value;
        return false;
      }
    } else if (arg == "--route") {
      Route route;
      if (!parse_route(value, route)) {
        error = "--route wants NAME:PORT=HOST:PORT, not " + value;
        return false;
      }
      options.routes.push_back(route);
    } else if (arg == "--account") {
      options.account = value;
    } else if (arg == "--password") {
      options.password = value;
    } else if (arg == "--profile") {
      options.profile = value;
    } else if (arg == "--plugin") {
      options.plugin = value;
    } else if (arg == "--accounts") {
      options.accounts_file = value;
    } else if (arg == "--new-mail") {
      if (value == "off") {
        options.new_mail = NewMail::off;
      } else if (value == "balloon") {
        options.new_mail = NewMail::balloon;
      } else if (value == "mailbox") {
        options.new_mail = NewMail::mailbox;
      } else {
        error = "--new-mail wants off, balloon or mailbox, not " + value;
        return false;
      }
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  if (options.password && !options.account) {
    error = "--password needs --account";
    return false;
  }
  if (options.profile.empty()) {
    error = "--profile needs a file name (or :memory:)";
    return false;
  }
  return true;
}

}  // namespace console
