// The console's command language: one command per line, a word naming it and its arguments.
// The last argument of msg and rename is the rest of the line; other arguments are single
// words, or texts in double quotes (for addresses with blanks, such as the mailbox contact).
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

// What may complete `word` at the terminal, given the line before it: command names first,
// then contact addresses or the fixed choices where the command's usage has them.
std::vector<std::string> completions(const std::string& before, const std::string& word,
                                     const std::vector<std::string>& addresses);

// Host status codes by the names the status command takes, and back.
std::optional<int> status_code(const std::string& name);
std::string status_name(int code);

}  // namespace console
