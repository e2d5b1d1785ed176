// The console's command language.
#include "commands.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "charset.h"
#include "host/host_api.h"

namespace console {

namespace {

// How many arguments a command takes (at least `least`, at most `args`); `rest` means the last
// one is the rest of the line.
struct Shape {
  const char* name;
  size_t least;
  size_t args;
  bool rest;
};

const Shape kShapes[] = {
    {"status", 0, 3, true},    {"msg", 2, 2, true},        {"typing", 1, 1, false},
    {"list", 0, 1, false},     {"search", 1, 1, true},     {"add", 1, 2, true},
    {"rename", 2, 2, true},    {"delete", 1, 1, false},    {"visibility", 2, 2, false},
    {"info", 1, 1, false},     {"authorize", 1, 1, false}, {"deny", 1, 1, false},
    {"reqauth", 1, 1, false},  {"history", 1, 1, false},   {"wait", 1, 1, false},
    {"help", 0, 1, false},     {"move", 2, 2, true},       {"groups", 0, 0, false},
    {"security", 0, 2, false}, {"trust", 0, 0, false},     {"quit", 0, 0, false},
    {"chat", 1, 1, false},     {"close", 0, 0, false},     {"outbox", 0, 1, false},
    {"unread", 0, 0, false},   {"more", 0, 0, false},      {"group", 2, 3, false},
    {"ignore", 1, 1, false},   {"unignore", 1, 1, false},  {"away", 1, 1, false},
    {"contacts", 2, 2, true},  {"avatar", 1, 1, false},    {"post", 0, 1, true},
    {"posts", 0, 0, false},
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
  if (name == "status" && !command.args.empty() && !status_code(command.args[0]))
    return "unknown status \"" + command.args[0] + "\" (online, away, invisible, na or offline)";
  if (name == "status" && command.args.size() > 1 && command.args[0] == "offline")
    return "offline takes no status texts; usage: " + std::string(usage_of(name));
  if (name == "visibility") {
    const std::string& mode = command.args[1];
    if (mode != "visible" && mode != "invisible" && mode != "normal")
      return "unknown visibility \"" + mode + "\" (visible, invisible or normal)";
  }
  if (name == "security" && !command.args.empty() &&
      (command.args.size() != 2 || command.args[0] != "pin" || command.args[1] != "clear"))
    return std::string("pin clear or nothing is wanted; usage: ") + usage_of(name);
  if (name == "help" && !command.args.empty() && usage_of(lower(command.args[0]))[0] == '\0')
    return "no command \"" + command.args[0] + "\" (type help for the list)";
  if (name == "wait") {
    const std::string& text = command.args[0];
    char* end = nullptr;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(seconds >= 0) || seconds > 3600)
      return "a number of seconds from 0 to 3600 is wanted, not \"" + text + "\"";
  }
  if ((name == "msg" || name == "rename" || name == "move") && command.args[1].empty())
    return std::string("missing text; usage: ") + usage_of(name);
  return "";
}

}  // namespace

const std::vector<CommandInfo>& command_table() {
  static const std::vector<CommandInfo> table = {
      {"status", "status [online|away|invisible|na|offline] [TITLE] [DESCRIPTION]",
       "show or change the account's status and its texts",
       "Without a word it shows the status. A TITLE with blanks is written in double quotes; the\n"
       "DESCRIPTION is the rest of the line (status online \"At the gym\" back at 5). A status\n"
       "alone keeps the texts; status away \"\" clears them. Servers keep 33 characters of a\n"
       "title and 127 of a description: a longer one is cut, and the answer says to what. The\n"
       "plug-in serves na as away."},
      {"chat", "chat ADDRESS", "talk with a contact: plain lines are messages to them",
       "The prompt names the contact, and every line typed goes to them as a message. A line\n"
       "that starts with / is a command (/list, /msg ADDRESS TEXT); /close or Ctrl-D ends the\n"
       "conversation. Their messages show without their address; others' show as always."},
      {"close", "close", "end the conversation", ""},
      {"unread", "unread", "show the messages not read yet, by contact",
       "A message counts as read once it is shown here, or its contact's conversation or history\n"
       "is opened, or you write to it. list and the prompt show how many wait."},
      {"msg", "msg ADDRESS TEXT", "send a message to a contact",
       "ADDRESS is an e-mail address or a contact's name (in double quotes when it has blanks),\n"
       "or the start of one that only one contact has.\n"
       "TEXT is the rest of the line as typed, quotes and all; lines pasted into it stay one\n"
       "message with its line breaks, unless each of them is a msg too. Delivered when the\n"
       "server confirms it. Typed while the account is not online, it waits in the outbox."},
      {"outbox", "outbox [clear]", "show the messages not delivered yet; clear gives the waiting ones up",
       "A message typed while the account is offline, connecting or reconnecting waits here, in\n"
       "the profile, and goes in its turn once online; so does one whose connection was lost\n"
       "before the server confirmed it. One that waits a day is given up, and says so."},
      {"typing", "typing ADDRESS", "tell a contact that you are typing", ""},
      {"list", "list [--long]",
       "show the contact list with presence; --long adds each contact's client and last post", ""},
      {"search", "search ADDRESS | search [name=]NICK [first=..] [last=..] [city=..] [age=20-30] [online]",
       "look people up in the directory: by address, or by name, city, age and who is online now",
       "A value with spaces goes in quotes: city=\"Нижний Новгород\". The server answers 50 at a time;\n"
       "more repeats the search for the next 50 (within about two minutes)."},
      {"more", "more", "the next page of the last search", ""},
      {"contacts", "contacts ADDRESS CONTACT...", "send contacts of your list to someone",
       "Each CONTACT is an address or a name, as in msg. The other side's console lists them,\n"
       "and add ADDRESS adds one."},
      {"away", "away ADDRESS", "read a contact's away message (its status title and description)", ""},
      {"post", "post [TEXT]", "publish a microblog post to your contacts; alone, show your last one",
       "TEXT is the rest of the line as typed, at most 500 characters (a longer one is refused,\n"
       "never cut). Needs the account online with protocol 1.20 (--protocol 1.20, the default).\n"
       "Waits until the server has stored it."},
      {"posts", "posts", "show your contacts' latest posts, newest first",
       "Each contact's last post, as the plug-in keeps it. A new post shows as it comes (a line\n"
       "with \u270E), history ADDRESS shows a contact's posts among its messages, and list --long\n"
       "shows each contact's last one."},
      {"ignore", "ignore ADDRESS", "drop a contact's messages and hide its presence (kept on the server)",
       ""},
      {"unignore", "unignore ADDRESS", "take a contact off the ignore list", ""},
      {"group", "group rename OLD NEW | group delete NAME", "rename a group, or delete an empty one",
       "Names with spaces go in quotes. A group that still holds contacts is not deleted: move\n"
       "them to another group first."},
      {"add", "add ADDRESS [GROUP] [-- TEXT]", "add an address to the contact list (asks for authorization)",
       "Says what the server answered. An address on the list already, or one the last search\n"
       "found nobody at, is not asked for. GROUP (the rest of the line) puts it in that group,\n"
       "made when new. list shows it as waiting for authorization until the contact grants it.\n"
       "After --, TEXT is what the contact reads with the request (\"add kim@mail.example Work --\n"
       "Hi, it's Ann from work\")."},
      {"rename", "rename ADDRESS NAME", "change the name shown for a contact",
       "Needs the account online: the server keeps the list."},
      {"delete", "delete ADDRESS", "remove a contact (its history is kept)",
       "Needs the account online: the server keeps the list. history ADDRESS still shows the\n"
       "messages, and a contact added again with that address goes on from them."},
      {"move", "move ADDRESS GROUP", "put a contact in a group (a new name makes a new group)",
       "Needs the account online: the server keeps the list."},
      {"groups", "groups", "show the groups of the contact list", ""},
      {"visibility", "visibility ADDRESS visible|invisible|normal",
       "put a contact on the visible or invisible list, or neither", ""},
      {"info", "info ADDRESS", "fetch a contact's details from the directory", ""},
      {"avatar", "avatar ADDRESS", "show where a contact's picture is kept, and the picture itself",
       "Asks the plug-in for the picture it keeps, and waits while it fetches one (20 seconds at\n"
       "most). At a colour terminal a JPEG picture is drawn, 24 columns wide; list marks the\n"
       "contacts that have a picture."},
      {"authorize", "authorize ADDRESS", "grant the contact's last authorization request", ""},
      {"deny", "deny ADDRESS", "refuse the contact's last authorization request", ""},
      {"reqauth", "reqauth ADDRESS", "put a contact on the server list and authorize it",
       "Says whether the server put the contact on the list; the authorization itself is not\n"
       "confirmed by the server."},
      {"history", "history ADDRESS", "show the messages and posts of a contact",
       "Also for an address whose contact was deleted."},
      {"wait", "wait SECONDS", "let events arrive before the next command", "Ctrl-C cuts it short."},
      {"security", "security [pin clear]", "show the session's encryption; pin clear forgets the pin",
       "Shows the plug-in's line on the connection, the pinned certificate's SHA-256 in full (or\n"
       "that none is pinned), and whether the system trusts the server's certificate.\n"
       "security pin clear forgets the pin, online or offline: the next certificate the server\n"
       "shows is pinned in its place."},
      {"trust", "trust", "accept the new certificate that a log-in refused",
       "Only after a log-in refused because the server's certificate is not the pinned one (the\n"
       "refusal shows both): pins the new certificate and goes online again, unless you chose\n"
       "offline since."},
      {"help", "help [COMMAND]", "this list, or what a command does", ""},
      {"quit", "quit", "go offline and leave", "So do Ctrl-D and a second Ctrl-C on an empty line."},
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
    if (i >= shape->least && rest_of_line(line, pos).empty()) break;
    if (last && shape->rest) {
      // A quoted name or group is taken without its quotes; a message or a post is text as typed.
      std::string rest = rest_of_line(line, pos);
      if (command.name != "msg" && command.name != "post" && rest.size() >= 2 && rest.front() == '"' &&
          rest.back() == '"' && rest.find('"', 1) == rest.size() - 1)
        rest = rest.substr(1, rest.size() - 2);
      command.args.push_back(rest);
      pos = line.size();
      break;
    }
    if (!next_word(line, pos, word, result.error)) return result;
    // Something is there, so an empty word is "": an empty status title, or a mistake.
    if (word.empty() && !(command.name == "status" && i > 0)) {
      result.error = std::string("missing argument; usage: ") + usage_of(command.name);
      return result;
    }
    command.args.push_back(word);
  }
  if (!rest_of_line(line, pos).empty()) {
    result.error = std::string("too many arguments; usage: ") + usage_of(command.name);
    return result;
  }
  if (command.name == "status" && !command.args.empty()) command.args[0] = lower(command.args[0]);
  if (command.name == "visibility") command.args.back() = lower(command.args.back());
  if (command.name == "security")
    for (std::string& arg : command.args) arg = lower(arg);
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

bool needs_server(const std::string& command) {
  // Not msg: a message typed offline waits in the outbox.
  static const char* const kNeeding[] = {"typing", "search",   "add",        "rename",    "move", "delete",
                                         "info",   "reqauth",  "visibility", "authorize", "more", "group",
                                         "ignore", "unignore", "away",       "contacts"};
  for (const char* name : kNeeding)
    if (command == name) return true;
  return false;
}

Resolved resolve_address(const std::string& typed, const std::vector<ContactName>& contacts) {
  std::string folded = fold_case(typed);
  for (const ContactName& c : contacts)
    if (fold_case(c.address) == folded) return {c.address, ""};
  std::vector<std::string> named;
  for (const ContactName& c : contacts)
    if (!c.name.empty() && fold_case(c.name) == folded) named.push_back(c.address);
  if (named.size() == 1) return {named[0], ""};
  if (named.size() > 1) {
    std::string which;
    for (const std::string& address : named) which += (which.empty() ? "" : ", ") + address;
    return {"", std::to_string(named.size()) + " contacts are called \"" + typed + "\" (" + which +
                    "): write the address"};
  }
  if (is_email_address(typed)) return {typed, ""};
  // A start of one contact's name or address stands for it, in any letter case ("ann" for "Ann
  // Smith"); a start that fits several names them, so that the user can pick.
  std::vector<const ContactName*> starting;
  for (const ContactName& c : contacts) {
    std::string name = fold_case(c.name), address = fold_case(c.address);
    if (!folded.empty() &&
        (name.compare(0, folded.size(), folded) == 0 || address.compare(0, folded.size(), folded) == 0))
      starting.push_back(&c);
  }
  if (starting.size() == 1) return {starting[0]->address, ""};
  if (starting.size() > 1) {
    std::string which;
    for (const ContactName* c : starting)
      which += (which.empty() ? "" : ", ") +
               (c->name.empty() || c->name == c->address ? c->address : c->name + " <" + c->address + ">");
    return {"", "\"" + typed + "\" could be " + which + ": type more of it"};
  }
  return {"", "\"" + typed + "\" is no e-mail address, and no contact is called so"};
}

namespace {

std::string quoted_if_blank(const std::string& text) {
  return text.find_first_of(" \t") == std::string::npos ? text : "\"" + text + "\"";
}

bool starts_with_folded(const std::string& text, const std::string& prefix) {
  std::string a = fold_case(text), b = fold_case(prefix);
  return a.compare(0, b.size(), b) == 0;
}

}  // namespace

std::vector<std::string> completions(const std::string& before, const std::string& word,
                                     const CompletionData& data) {
  std::vector<std::string> words;
  size_t pos = 0;
  std::string next, ignored;
  while (next_word(before, pos, next, ignored) && !next.empty()) words.push_back(next);
  std::vector<std::string> choices;
  auto command_names = [&] {
    for (const CommandInfo& entry : command_table()) choices.push_back(entry.name);
  };
  if (words.empty()) {
    command_names();
  } else {
    // The usage names what each argument is: ADDRESS, GROUP, a command, or fixed choices.
    std::vector<std::string> usage;
    std::string usage_text = usage_of(lower(words[0]));
    pos = 0;
    while (next_word(usage_text, pos, next, ignored) && !next.empty()) {
      // An optional part may span words ("[pin clear]"); its brackets belong to none of them.
      if (next.size() > 1 && next.front() == '[') next.erase(0, 1);
      if (next.size() > 1 && next.back() == ']') next.pop_back();
      usage.push_back(next);
    }
    if (words.size() < usage.size()) {
      const std::string& shape = usage[words.size()];
      if (shape == "ADDRESS") {
        // A contact's name where its address does not fit what is typed.
        for (const ContactName& c : data.contacts) {
          bool name_wanted = !c.name.empty() && c.name != c.address && !starts_with_folded(c.address, word);
          choices.push_back(name_wanted ? quoted_if_blank(c.name) : c.address);
        }
      } else if (shape == "GROUP") {
        choices = data.groups;
      } else if (shape == "COMMAND") {
        command_names();
      } else if (shape == lower(shape)) {
        // Words in lower case are typed as they stand; "a|b" offers either.
        for (size_t start = 0, bar; start <= shape.size(); start = bar + 1) {
          bar = shape.find('|', start);
          if (bar == std::string::npos) bar = shape.size();
          choices.push_back(shape.substr(start, bar - start));
        }
      }
    }
  }
  std::vector<std::string> fitting;
  for (const std::string& choice : choices) {
    // A quoted name fits a word begun with or without its quote.
    bool fits =
        starts_with_folded(choice, word) || (!choice.empty() && choice.front() == '"' && !word.empty() &&
                                             word[0] != '"' && starts_with_folded(choice.substr(1), word));
    if (fits && std::find(fitting.begin(), fitting.end(), choice) == fitting.end()) fitting.push_back(choice);
  }
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
