// The console's command language.
#include "commands.h"

#include <cctype>
#include <cstdlib>

#include "host/host_api.h"

namespace console {

namespace {

// How many arguments a command takes; `rest` means the last one is the rest of the line.
struct Shape {
  const char* name;
  size_t args;
  bool rest;
};

const Shape kShapes[] = {
    {"status", 1, false},     {"msg", 2, true},      {"typing", 1, false},    {"list", 0, false},
    {"search", 1, false},     {"add", 1, false},     {"rename", 2, true},     {"delete", 1, false},
    {"visibility", 2, false}, {"info", 1, false},    {"authorize", 1, false}, {"deny", 1, false},
    {"reqauth", 1, false},    {"history", 1, false}, {"wait", 1, false},      {"help", 0, false},
    {"move", 2, true},        {"groups", 0, false},  {"quit", 0, false},
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Cuts the next word (or "quoted text") from `line` at `pos`; false with `error` for an open
// quote.
bool next_word(const std::string& line, size_t& pos, std::string& word, std::string& error) {
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  word.clear();
  if (pos < line.size() && line[pos] == '"') {
    size_t close = line.find('"', pos + 1);
    if (close == std::string::npos) {
      error = "a quote is not closed";
      return false;
    }
    word = line.substr(pos + 1, close - pos - 1);
    pos = close + 1;
    return true;
  }
  while (pos < line.size() && !is_blank(line[pos])) word += line[pos++];
  return true;
}

std::string rest_of_line(const std::string& line, size_t pos) {
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  size_t end = line.size();
  while (end > pos && is_blank(line[end - 1])) --end;
  return line.substr(pos, end - pos);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* usage_of(const std::string& name) {
  for (const CommandInfo& entry : command_table())
    if (name == entry.name) return entry.usage;
  return "";
}

// Checks the fixed choices and numbers; "" when the arguments are fine.
std::string check_arguments(const Command& command) {
  const std::string& name = command.name;
  if (name == "status" && !status_code(command.args[0]))
    return "unknown status \"" + command.args[0] + "\" (online, away, invisible, na or offline)";
  if (name == "visibility") {
    const std::string& mode = command.args[1];
    if (mode != "visible" && mode != "invisible" && mode != "normal")
      return "unknown visibility \"" + mode + "\" (visible, invisible or normal)";
  }
  if ((name == "search" || name == "add") && !is_email_address(command.args[0]))
    return "\"" + command.args[0] + "\" is no e-mail address";
  if (name == "wait") {
    const std::string& text = command.args[0];
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 3600)
      return "wait wants a number of seconds from 0 to 3600, not \"" + text + "\"";
  }
  if ((name == "msg" || name == "rename" || name == "move") && command.args[1].empty())
    return std::string("missing text; usage: ") + usage_of(name);
  return "";
}

}  // namespace

const std::vector<CommandInfo>& command_table() {
  static const std::vector<CommandInfo> table = {
      {"status", "status online|away|invisible|na|offline", "change the account's status"},
      {"msg", "msg ADDRESS TEXT", "send a message to a contact"},
      {"typing", "typing ADDRESS", "tell a contact that you are typing"},
      {"list", "list", "show the contact list with presence"},
      {"search", "search ADDRESS", "look an e-mail address up in the directory"},
      {"add", "add ADDRESS", "add an address to the contact list (asks for authorization)"},
      {"rename", "rename ADDRESS NAME", "change the name shown for a contact"},
      {"delete", "delete ADDRESS", "remove a contact"},
      {"move", "move ADDRESS GROUP", "put a contact in a group (a new name makes a new group)"},
      {"groups", "groups", "show the groups of the contact list"},
      {"visibility", "visibility ADDRESS visible|invisible|normal",
       "put a contact on the visible or invisible list, or neither"},
      {"info", "info ADDRESS", "fetch a contact's details from the directory"},
      {"authorize", "authorize ADDRESS", "grant the contact's last authorization request"},
      {"deny", "deny ADDRESS", "refuse the contact's last authorization request"},
      {"reqauth", "reqauth ADDRESS", "put a contact on the server list and authorize it"},
      {"history", "history ADDRESS", "show the messages exchanged with a contact"},
      {"wait", "wait SECONDS", "let events arrive before the next command"},
      {"help", "help", "this list"},
      {"quit", "quit", "go offline and leave"},
  };
  return table;
}

ParseResult parse_command(const std::string& line) {
  ParseResult result;
  size_t pos = 0;
  std::string word;
  if (!next_word(line, pos, word, result.error)) return result;
  if (word.empty() || word[0] == '#') return result;
  result.name = lower(word);
  if (result.name == "exit") result.name = "quit";
  const Shape* shape = nullptr;
  for (const Shape& candidate : kShapes)
    if (result.name == candidate.name) shape = &candidate;
  if (!shape) {
    result.error = "unknown command \"" + word + "\" (type help for the list)";
    return result;
  }
  Command command;
  command.name = result.name;
  for (size_t i = 0; i < shape->args; ++i) {
    bool last = i + 1 == shape->args;
    if (last && shape->rest) {
      // A quoted last argument is taken without its quotes; otherwise the rest as typed.
      std::string rest = rest_of_line(line, pos);
      if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"' &&
          rest.find('"', 1) == rest.size() - 1)
        rest = rest.substr(1, rest.size() - 2);
      command.args.push_back(rest);
      pos = line.size();
      break;
    }
    if (!next_word(line, pos, word, result.error)) return result;
    if (word.empty()) {
      result.error = std::string("missing argument; usage: ") + usage_of(command.name);
      return result;
    }
    command.args.push_back(word);
  }
  if (!rest_of_line(line, pos).empty()) {
    result.error = std::string("too many arguments; usage: ") + usage_of(command.name);
    return result;
  }
  if (command.name == "status" || command.name == "visibility") {
    std::string& choice = command.args.back();
    choice = lower(choice);
  }
  result.error = check_arguments(command);
  if (result.error.empty()) result.command = std::move(command);
  return result;
}

bool is_email_address(const std::string& text) {
  size_t at = text.find('@');
  if (at == std::string::npos || at == 0 || text.find('@', at + 1) != std::string::npos) return false;
  for (char c : text)
    if (is_blank(c) || c == '"' || static_cast<unsigned char>(c) < 0x20) return false;
  // A domain of at least two labels, none of them empty.
  std::string domain = text.substr(at + 1);
  return domain.find('.') != std::string::npos && domain.front() != '.' && domain.back() != '.' &&
         domain.find("..") == std::string::npos;
}

std::vector<std::string> completions(const std::string& before, const std::string& word,
                                     const std::vector<std::string>& addresses) {
  std::vector<std::string> words;
  size_t pos = 0;
  std::string next, ignored;
  while (next_word(before, pos, next, ignored) && !next.empty()) words.push_back(next);
  std::vector<std::string> choices;
  if (words.empty()) {
    for (const CommandInfo& entry : command_table()) choices.push_back(entry.name);
  } else {
    // The usage names what each argument is: ADDRESS, or fixed choices "a|b|c".
    std::vector<std::string> usage;
    std::string usage_text = usage_of(lower(words[0]));
    pos = 0;
    while (next_word(usage_text, pos, next, ignored) && !next.empty()) usage.push_back(next);
    if (words.size() < usage.size()) {
      const std::string& shape = usage[words.size()];
      if (shape == "ADDRESS") {
        choices = addresses;
      } else if (shape.find('|') != std::string::npos) {
        for (size_t start = 0, bar; start <= shape.size(); start = bar + 1) {
          bar = shape.find('|', start);
          if (bar == std::string::npos) bar = shape.size();
          choices.push_back(shape.substr(start, bar - start));
        }
      }
    }
  }
  std::vector<std::string> fitting;
  std::string prefix = lower(word);
  for (const std::string& choice : choices)
    if (lower(choice).compare(0, prefix.size(), prefix) == 0) fitting.push_back(choice);
  return fitting;
}

std::optional<int> status_code(const std::string& name) {
  if (name == "online") return ID_STATUS_ONLINE;
  if (name == "away") return ID_STATUS_AWAY;
  if (name == "invisible") return ID_STATUS_INVISIBLE;
  if (name == "na") return ID_STATUS_NA;
  if (name == "offline") return ID_STATUS_OFFLINE;
  return std::nullopt;
}

std::string status_name(int code) {
  switch (code) {
    case ID_STATUS_ONLINE:
      return "online";
    case ID_STATUS_AWAY:
      return "away";
    case ID_STATUS_INVISIBLE:
      return "invisible";
    case ID_STATUS_NA:
      return "na";
    case ID_STATUS_OFFLINE:
      return "offline";
    default:
      return "status " + std::to_string(code);
  }
}

}  // namespace console
