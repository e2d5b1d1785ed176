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
  bool embedded = true;       // --server embedded (the default)
  bool server_given = false;  // --server was named: it replaces the profile's stored server
  std::string server_host;    // --server HOST:PORT
  uint16_t server_port = 0;
  std::vector<Route> routes;            // --route NAME:PORT=HOST:PORT, repeatable
  std::optional<std::string> account;   // --account ADDRESS
  std::optional<std::string> password;  // --password PASSWORD
  std::string profile = ":memory:";     // --profile FILE
  std::string plugin;                   // --plugin FILE; empty: the MRIM.so built with the console
  std::string accounts_file;            // --accounts FILE; empty: the demo accounts built in
  NewMail new_mail = NewMail::keep;     // --new-mail off|balloon|mailbox
  bool json = false;                    // --json
  bool verbose = false;                 // --verbose: message numbers, a line at send and at delivery
  bool bell = true;                     // --no-bell: no bell for a message
  // --community: the embedded server behaves as a widely used community server, quirks and all.
  bool community = false;
  uint32_t host_version = kModernHost;  // --host-version VERSION
  // --protocol 1.8|1.19|1.20: the revision the plug-in is to speak ("ProtocolRevision", 8, 19
  // or 20); none keeps the profile's choice.
  std::optional<uint32_t> protocol_revision;
  // --avatar-server HOST:PORT|off: the account's "AvatarServer", where the plug-in fetches
  // contacts' pictures; none: the embedded server's, else the profile's choice.
  std::optional<std::string> avatar_server;
  // --encryption never|offered|required: the account's "Encryption", 0, 1 or 2; none keeps the
  // profile's choice.
  std::optional<uint8_t> encryption;

  // A host that takes UTF-8: settings, event texts and messages.
  static constexpr uint32_t kModernHost = 0x00080000;
};

// The words of --encryption, by the value of "Encryption".
inline constexpr const char* kEncryptionNames[] = {"never", "offered", "required"};

// The protocol revisions the plug-in speaks, by their minor number ("ProtocolRevision").
inline constexpr uint32_t kRevisions[] = {8, 19, 20};
// "1.20" -> 20, for a revision of kRevisions; 0 for any other text.
uint32_t revision_number(const std::string& text);
// 20 -> "1.20".
std::string revision_text(uint32_t minor);

enum class Parsed {
  run,         // the options are fine: start the console
  done,        // --help or --version was printed: leave with status 0
  bad_option,  // what is wrong was printed on standard error: leave with status 2
};
Parsed parse_options(int argc, char** argv, Options& options);

// "HOST:PORT" with a port 1..65535.
bool parse_host_port(const std::string& text, std::string& host, uint16_t& port);
// A host version as people write it, "0.8" or "0.7.1" (up to four parts of 0 to 255, the
// first ones the higher bytes), or as the host passes it, in hexadecimal: "0x00080000".
bool parse_host_version(const std::string& text, uint32_t& version);
// "0.8", "0.7.1": without the parts that are 0 at the end, but for the first two.
std::string host_version_text(uint32_t version);

}  // namespace console
