// The console's command line, read with CLI11 (which also writes --help).
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iterator>

#include "core/text.h"

#ifndef MRIM_CONSOLE_VERSION
#define MRIM_CONSOLE_VERSION "unknown"
#endif

namespace console {

bool parse_host_port(const std::string& text, std::string& host, uint16_t& port) {
  HostPort parts = split_host_port(text.data(), text.size());
  if (parts.host_length == 0 || !parts.port_exact || parts.port == 0) return false;
  host = text.substr(0, parts.host_length);
  port = static_cast<uint16_t>(parts.port);
  return true;
}

bool parse_host_version(const std::string& text, uint32_t& version) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    std::string digits = text.substr(2);
    if (digits.size() > 8 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return false;
    version = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
    return true;
  }
  uint32_t parsed = 0;
  int parts = 0;
  for (size_t start = 0; start <= text.size(); ++parts) {
    size_t dot = std::min(text.find('.', start), text.size());
    std::string part = text.substr(start, dot - start);
    if (parts == 4 || part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos)
      return false;
    unsigned value = static_cast<unsigned>(std::stoul(part));
    if (value > 255) return false;
    parsed |= value << (24 - 8 * parts);
    start = dot + 1;
  }
  // A bare number would be read as the major version alone: too easily meant otherwise.
  if (parts < 2) return false;
  version = parsed;
  return true;
}

std::string host_version_text(uint32_t version) {
  std::string text = std::to_string(version >> 24);
  int parts = (version & 0xFF) ? 4 : (version & 0xFF00) ? 3 : 2;
  for (int i = 1; i < parts; ++i) text += "." + std::to_string((version >> (24 - 8 * i)) & 0xFF);
  return text;
}

uint32_t revision_number(const std::string& text) {
  for (uint32_t minor : kRevisions)
    if (text == revision_text(minor)) return minor;
  return 0;
}

std::string revision_text(uint32_t minor) { return "1." + std::to_string(minor); }

namespace {

bool parse_route(const std::string& text, Route& route) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  return parse_host_port(text.substr(0, equals), route.name, route.port) &&
         parse_host_port(text.substr(equals + 1), route.host, route.real_port);
}

// --server: what the value means is decided here alone (Session::start carries it out).
bool parse_server(const std::string& value, Options& options) {
  if (value == "embedded") {
    options.embedded = true;
    return true;
  }
  options.embedded = false;
  return parse_host_port(value, options.server_host, options.server_port);
}

CLI::Validator checked_by(const std::string& wanted, bool (*ok)(const std::string&)) {
  return CLI::Validator(
      [=](std::string& value) { return ok(value) ? std::string() : "wants " + wanted + ", not " + value; },
      "");  // the option's type name says what it wants
}

}  // namespace

Parsed parse_options(int argc, char** argv, Options& options) {
  CLI::App app("mrim-console: a console messenger that runs the MRIM plug-in in the host stand-in.",
               "mrim-console");
  app.set_version_flag("--version",
                       "mrim-console " MRIM_CONSOLE_VERSION " (the MRIM plug-in's console messenger)");
  app.get_formatter()->column_width(32);

  std::string server = "embedded";
  std::vector<std::string> routes;
  std::string new_mail;
  std::string host_version;
  std::string protocol;
  std::string encryption;
  CLI::Option* server_option =
      app.add_option("--server", server,
                     "the demo server inside, or an address service or MRIM server, stored as the account's "
                     "server (default: the profile's, else the demo server)")
          ->type_name("embedded|HOST:PORT")
          ->check(CLI::Validator(
              [](std::string& value) -> std::string {
                Options scratch;
                if (parse_server(value, scratch)) return "";
                size_t colon = value.rfind(':');
                std::string port = colon == std::string::npos ? "" : value.substr(colon + 1);
                if (colon > 0 && !port.empty() && port.find_first_not_of("0123456789") == std::string::npos)
                  return "the port " + port + " is out of range (1 to 65535)";
                return "wants embedded or HOST:PORT, not " + value;
              },
              ""));
  app.add_option("--route", routes, "dial HOST:PORT when the plug-in dials NAME:PORT")
      ->type_name("NAME:PORT=HOST:PORT")
      ->check(checked_by("NAME:PORT=HOST:PORT", [](const std::string& v) {
        Route scratch;
        return parse_route(v, scratch);
      }));
  CLI::Option* account = app.add_option("--account", options.account, "the account, stored in the profile")
                             ->type_name("ADDRESS");
  // Checked after parsing rather than with needs(), whose note would run into the option's name
  // in --help.
  CLI::Option* password =
      app.add_option("--password", options.password, "its password (with --account), stored encoded")
          ->type_name("PASSWORD");
  app.add_option("--profile", options.profile,
                 "SQLite file of contacts, settings, history (default :memory:)")
      ->type_name("FILE")
      ->check(checked_by("a file name (or :memory:)", [](const std::string& v) { return !v.empty(); }));
  app.add_option("--plugin", options.plugin, "the plug-in (default: the MRIM.so built with it)")
      ->type_name("FILE");
  app.add_option("--accounts", options.accounts_file, "the embedded server's accounts (default: the demo's)")
      ->type_name("FILE");
  app.add_option("--new-mail", new_mail, "how unread mail is announced (default: balloon)")
      ->type_name("off|balloon|mailbox")
      ->check(CLI::IsMember({"off", "balloon", "mailbox"}).description(""));
  app.add_option("--protocol", protocol,
                 "the protocol revision the plug-in speaks; posts need 1.20 (default: what the profile "
                 "holds, else 1.20)")
      ->type_name("1.8|1.19|1.20")
      ->check(checked_by("1.8, 1.19 or 1.20", [](const std::string& v) { return revision_number(v) != 0; }));
  app.add_option(
         "--encryption", encryption,
         "when the session is encrypted (TLS): never, when the server offers it (default), or required")
      ->type_name("never|offered|required")
      ->check(CLI::IsMember({"never", "offered", "required"}).description(""));
  app.add_option("--avatar-server", options.avatar_server,
                 "where contacts' pictures are fetched, or off (default: the demo server's, else the MRIM "
                 "server's host on port 8081)")
      ->type_name("HOST:PORT|off")
      ->check(checked_by("HOST:PORT or off", [](const std::string& v) {
        std::string host;
        uint16_t port;
        return v == "off" || parse_host_port(v, host, port);
      }));
  app.add_option("--host-version", host_version,
                 "the host version the plug-in is told: 0.7 and later take UTF-8 (default 0.8)")
      ->type_name("VERSION")
      ->check(checked_by("a version such as 0.6, 0.8 or 0x00060000", [](const std::string& v) {
        uint32_t scratch;
        return parse_host_version(v, scratch);
      }));
  app.add_flag("--json", options.json, "events as JSON, one object per line");
  bool no_bell = false;
  app.add_flag("--no-bell", no_bell, "no bell when a message comes outside the open conversation");
  app.add_flag("--verbose", options.verbose,
               "a line for each message sent and one for its delivery, with their numbers");
  app.add_flag("--community", options.community,
               "the embedded server behaves as a community server does, quirks and all");

  try {
    app.parse(argc, argv);
    if (password->count() > 0 && account->count() == 0) throw CLI::RequiresError("--password", "--account");
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e);
    return status == 0 ? Parsed::done : Parsed::bad_option;
  }
  options.bell = !no_bell;
  parse_server(server, options);
  options.server_given = server_option->count() > 0;
  for (const std::string& text : routes) {
    Route route;
    parse_route(text, route);
    options.routes.push_back(route);
  }
  if (new_mail == "off") options.new_mail = NewMail::off;
  if (new_mail == "balloon") options.new_mail = NewMail::balloon;
  if (new_mail == "mailbox") options.new_mail = NewMail::mailbox;
  if (!host_version.empty()) parse_host_version(host_version, options.host_version);
  if (!protocol.empty()) options.protocol_revision = revision_number(protocol);
  for (uint8_t value = 0; value < std::size(kEncryptionNames); ++value)
    if (encryption == kEncryptionNames[value]) options.encryption = value;
  return Parsed::run;
}

}  // namespace console
