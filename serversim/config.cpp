// Reader of the MRIM server stand-in's accounts file.
//
// The file is plain text, one statement per line. Blank lines and lines whose first non-blank
// character is "#" are ignored (there are no comments at the end of a statement, so that "#" can
// stand in passwords and texts). A statement is a keyword and its words, separated by blanks;
// the last word of the statements marked "TEXT..." is the rest of the line and may hold blanks.
// In every word and text, \s stands for a blank, \t, \r and \n for tab, CR and LF, \\ for a
// backslash and \xHH for any byte. Numbers are decimal or hexadecimal with 0x. The file is
// UTF-8, and so are its texts: each reaches a session in that session's encoding (code page 1251
// or UTF-16LE). A byte that begins no UTF-8 character is read as a character of code page 1251,
// so files written when texts were 1251 (\xC0 for "А") still read as they were meant.
//
//   account EMAIL PASSWORD          begins an account; the statements up to the next "account"
//                                   describe it
//   nickname TEXT...                the account's nickname
//   mail UNREAD TOTAL               unread and total messages in the mailbox
//   info legacy|modern              order of the account information pairs sent after log-in
//   masks GROUPMASK CONTACTMASK     masks of the contact list (default: those of each session's
//                                   revision, "us" and "uussuus" or "uussuussssus")
//   group FLAGS NAME...             a group of the contact list; groups are numbered from 0 in
//                                   the order they are declared, and come before the contacts
//                                   that name them
//   contact EMAIL GROUP FLAGS STATUS [NICKNAME...]
//                                   a contact; STATUS is a number or one of offline, online,
//                                   away, invisible, and is what the contact shows while its
//                                   address is not logged in to this server
//   dir FIELD [VALUE...]            a directory field (for example dir Birthday 1990-07-15)
//   offline FORM FROM TEXT...       a stored message; FORM is plain, boundary, modern, utf8
//                                   or raw (raw: TEXT is the whole stored message)
//   post AGE TEXT...                the account's last microblog post, dated AGE before the
//                                   file is read; AGE is a number with a unit: s, m, h or d
//                                   (post 5m Hello). The server numbers the posts of a file in
//                                   their order, from kFirstPostId
//   avatar EMAIL KIND               what the avatar service answers for the account EMAIL,
//                                   declared anywhere in the file; KIND is picture, none, slow,
//                                   broken, redirect, huge or html (see AvatarKind). Without
//                                   the line: none
//
// A fault stops the reading with a ConfigError that names the line.
#include <algorithm>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "serversim/accounts.h"

namespace serversim {

ConfigError::ConfigError(int line, const std::string& detail, const std::string& file)
    : std::runtime_error((file.empty() ? "" : file + ": ") +
                         (line > 0 ? "line " + std::to_string(line) + ": " : "") + detail),
      line_(line),
      detail_(detail) {}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One line cut into words; the rest of the line after any word is kept for the text fields.
class Line {
 public:
  Line(std::string text, int number) : text_(std::move(text)), number_(number) {
    while (!text_.empty() && is_blank(text_.back())) text_.pop_back();
  }

  bool ignorable() const {
    size_t first = text_.find_first_not_of(" \t");
    return first == std::string::npos || text_[first] == '#';
  }
  bool at_end() {
    skip_blanks();
    return pos_ == text_.size();
  }

  std::string word(const char* what) {
    skip_blanks();
    if (pos_ == text_.size()) fail(std::string("missing ") + what);
    size_t end = text_.find_first_of(" \t", pos_);
    if (end == std::string::npos) end = text_.size();
    std::string raw = text_.substr(pos_, end - pos_);
    pos_ = end;
    return unescape(raw);
  }

  std::string rest() {
    skip_blanks();
    std::string raw = text_.substr(pos_);
    pos_ = text_.size();
    return unescape(raw);
  }

  uint32_t number(const char* what) {
    std::string w = word(what);
    int base = 10;
    size_t start = 0;
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
      base = 16;
      start = 2;
    }
    uint64_t value = 0;
    if (start == w.size()) fail(std::string(what) + " is not a number: " + w);
    for (size_t i = start; i < w.size(); ++i) {
      int d = hex_digit(w[i]);
      if (d < 0 || d >= base) fail(std::string(what) + " is not a number: " + w);
      value = value * unsigned(base) + unsigned(d);
      if (value > 0xFFFFFFFFu) fail(std::string(what) + " does not fit in 32 bits: " + w);
    }
    return uint32_t(value);
  }

  void expect_end() {
    if (!at_end()) fail("unexpected text after the statement: " + text_.substr(pos_));
  }

  [[noreturn]] void fail(const std::string& what) const { throw ConfigError(number_, what); }

 private:
  void skip_blanks() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }

  std::string unescape(const std::string& raw) const {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\') {
        out += raw[i];
        continue;
      }
      if (i + 1 == raw.size()) fail("a backslash ends the line");
      char c = raw[++i];
      switch (c) {
        case 's':
          out += ' ';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'n':
          out += '\n';
          break;
        case '\\':
          out += '\\';
          break;
        case 'x': {
          int hi = i + 1 < raw.size() ? hex_digit(raw[i + 1]) : -1;
          int lo = i + 2 < raw.size() ? hex_digit(raw[i + 2]) : -1;
          if (hi < 0 || lo < 0) fail("\\x needs two hexadecimal digits");
          out += char(hi * 16 + lo);
          i += 2;
          break;
        }
        default:
          fail(std::string("unknown escape \\") + c);
      }
    }
    return out;
  }

  std::string text_;
  int number_;
  size_t pos_ = 0;
};

uint32_t parse_status(Line& line) {
  std::string w = line.word("status");
  if (w == "offline") return 0;
  if (w == "online") return 1;
  if (w == "away") return 2;
  if (w == "invisible") return 0x80000001;
  // Not a name: read it again as a number through the same checks.
  Line again(w, 0);
  try {
    return again.number("status");
  } catch (const ConfigError&) {
    line.fail("status is neither a number nor offline, online, away or invisible: " + w);
  }
}

OfflineForm parse_form(Line& line) {
  std::string w = line.word("form");
  if (w == "plain") return OfflineForm::plain;
  if (w == "boundary") return OfflineForm::boundary;
  if (w == "modern") return OfflineForm::modern;
  if (w == "utf8") return OfflineForm::utf8;
  if (w == "raw") return OfflineForm::raw;
  line.fail("unknown form " + w + " (plain, boundary, modern, utf8 or raw)");
}

AvatarKind parse_avatar(Line& line) {
  std::string w = line.word("avatar kind");
  if (w == "none") return AvatarKind::none;
  if (w == "picture") return AvatarKind::picture;
  if (w == "slow") return AvatarKind::slow;
  if (w == "broken") return AvatarKind::broken;
  if (w == "redirect") return AvatarKind::redirect;
  if (w == "huge") return AvatarKind::huge;
  if (w == "html") return AvatarKind::html;
  line.fail("unknown avatar kind " + w + " (picture, none, slow, broken, redirect, huge or html)");
}

// "5m", "2h": a number of seconds, minutes, hours or days.
std::time_t parse_age(Line& line) {
  const std::string w = line.word("age");
  const char unit = w.empty() ? '\0' : w.back();
  const std::time_t scale = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
  if (scale == 0) line.fail("age needs a unit, s, m, h or d: " + w);
  Line number(w.substr(0, w.size() - 1), 0);
  try {
    return std::time_t(number.number("age")) * scale;
  } catch (const ConfigError&) {
    line.fail("age is no number with a unit (5m, 2h): " + w);
  }
}

struct AvatarLine {
  std::string email;
  AvatarKind kind;
  int line;
};

}  // namespace

std::vector<Account> parse_accounts(std::istream& in) {
  std::vector<Account> accounts;
  std::set<std::string> emails;
  std::set<std::string> contact_emails;
  // Applied at the end, so that a file may keep its pictures apart from the accounts.
  std::vector<AvatarLine> avatars;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    Line line(text, number);
    if (line.ignorable()) continue;
    std::string keyword = line.word("keyword");
    if (keyword == "avatar") {
      AvatarLine avatar{line.word("e-mail address"), AvatarKind::none, number};
      avatar.kind = parse_avatar(line);
      line.expect_end();
      for (const AvatarLine& earlier : avatars) {
        if (earlier.email == avatar.email) line.fail("avatar of " + avatar.email + " is given twice");
      }
      avatars.push_back(std::move(avatar));
      continue;
    }
    if (keyword == "account") {
      Account account;
      account.email = line.word("e-mail address");
      account.password = line.word("password");
      line.expect_end();
      if (!emails.insert(account.email).second) line.fail("account " + account.email + " is declared twice");
      contact_emails.clear();
      accounts.push_back(std::move(account));
      continue;
    }
    if (accounts.empty()) line.fail("\"" + keyword + "\" before the first \"account\"");
    Account& account = accounts.back();
    if (keyword == "nickname") {
      account.nickname = line.rest();
    } else if (keyword == "mail") {
      account.unread_mail = line.number("unread count");
      account.total_mail = line.number("total count");
      line.expect_end();
    } else if (keyword == "info") {
      std::string style = line.word("style");
      if (style == "legacy") {
        account.info_style = UserInfoStyle::legacy;
      } else if (style == "modern") {
        account.info_style = UserInfoStyle::modern;
      } else {
        line.fail("unknown info style " + style + " (legacy or modern)");
      }
      line.expect_end();
    } else if (keyword == "masks") {
      account.group_mask = line.word("group mask");
      account.contact_mask = line.word("contact mask");
      line.expect_end();
    } else if (keyword == "group") {
      Group group;
      group.flags = line.number("group flags");
      group.name = line.rest();
      account.groups.push_back(std::move(group));
    } else if (keyword == "contact") {
      Contact contact;
      contact.email = line.word("contact address");
      contact.group = line.number("group number");
      contact.flags = line.number("contact flags");
      contact.status = parse_status(line);
      contact.nickname = line.rest();
      if (contact.group >= account.groups.size()) {
        line.fail("contact " + contact.email + " names group " + std::to_string(contact.group) +
                  ", which is not declared before it");
      }
      if (!contact_emails.insert(contact.email).second) {
        line.fail("contact " + contact.email + " is listed twice for " + account.email);
      }
      account.contacts.push_back(std::move(contact));
    } else if (keyword == "dir") {
      std::string field = line.word("field name");
      account.directory.emplace_back(field, line.rest());
    } else if (keyword == "post") {
      if (account.post) line.fail("a second post for " + account.email + " (an account keeps its last)");
      Post post;
      post.time = std::time(nullptr) - parse_age(line);
      if (line.at_end()) line.fail("missing post text");
      post.text = line.rest();
      account.post = std::move(post);
    } else if (keyword == "offline") {
      OfflineMessage message;
      message.form = parse_form(line);
      message.from = line.word("sender address");
      message.text = line.rest();
      account.offline.push_back(std::move(message));
    } else {
      line.fail("unknown statement \"" + keyword + "\"");
    }
  }
  for (const AvatarLine& avatar : avatars) {
    auto account = std::find_if(accounts.begin(), accounts.end(),
                                [&](const Account& a) { return a.email == avatar.email; });
    if (account == accounts.end()) {
      throw ConfigError(avatar.line, "avatar of " + avatar.email + ", which is no account in this file");
    }
    account->avatar = avatar.kind;
  }
  return accounts;
}

std::vector<Account> load_accounts(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw ConfigError(0, "cannot open the file", path);
  try {
    return parse_accounts(in);
  } catch (const ConfigError& e) {
    throw ConfigError(e.line(), e.detail(), path);
  }
}

}  // namespace serversim
