// The console's command language: one command per line, a word naming it and its arguments.
// The last argument of msg, rename and move is the rest of the line; other arguments are single
// words, or texts in double quotes (for addresses and names with blanks). Where an ADDRESS is
// wanted, the name of a contact stands for its address when no other contact has that name.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace console {

struct Command {
  std::string name;               // as in the table below, lower case
  std::vector<std::string> args;  // checked: count and fixed choices
};

struct CommandInfo {
  const char* name;
  const char* usage;
  const char* description;
  const char* details;  // what help COMMAND adds
};
// Every command, in the order help lists them.
const std::vector<CommandInfo>& command_table();

struct ParseResult {
  std::optional<Command> command;  // none for an empty line or a comment (#)
  std::string error;               // set when the line is no valid command
  std::string name;                // the command word as typed, also on errors
};
ParseResult parse_command(const std::string& line);

// An address the network could have: a name, "@" and a dotted domain, without blanks.
bool is_email_address(const std::string& text);

// Whether the command changes or asks something on the server, and so is refused while the
// account is offline (a list edit made offline would be undone by the server's list at the
// next log-in).
bool needs_server(const std::string& command);

struct ContactName {
  std::string address;
  std::string name;
};

struct Resolved {
  std::string address;  // the address meant, when `error` is empty
  std::string error;
};
// What an ADDRESS argument means: an address, or the name (letter case aside) of exactly one
// contact. Addresses of contacts win over names.
Resolved resolve_address(const std::string& typed, const std::vector<ContactName>& contacts);

// What completion offers besides command names and fixed choices.
struct CompletionData {
  std::vector<ContactName> contacts;  // ADDRESS: their addresses and names
  std::vector<std::string> groups;    // GROUP
};
// What may complete `word` at the terminal, given the line before it: command names first,
// then contacts' addresses and names, groups, or the fixed choices where the command's usage
// has them. A name or group with blanks is offered in quotes where a single word is wanted.
std::vector<std::string> completions(const std::string& before, const std::string& word,
                                     const CompletionData& data);

// Host status codes by the names the status command takes, and back.
std::optional<int> status_code(const std::string& name);
std::string status_name(int code);

}  // namespace console
