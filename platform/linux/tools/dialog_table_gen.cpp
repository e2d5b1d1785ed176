// Build-time reader of the plug-in's dialog resource script: turns resources/dialogs.rc (with
// the identifiers of resources/resource.h) into the C++ table from which the Linux platform
// layer makes its dialogs, so that the Linux model and the DLL's real templates come from the
// same lines. Styles are computed as the Windows resource compiler computes them: every control
// is a visible child, the statement adds its own defaults, the script's flags are added and
// "NOT flag" takes one away.
//
//   dialog_table_gen DIALOGS.rc RESOURCE.h OUTPUT.inc
//
// Anything the reader does not know (a statement, an identifier) stops the build with the file
// and line, rather than leaving the model short of what the DLL has.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Token {
  enum Kind { kWord, kNumber, kText, kComma, kBar } kind;
  std::string text;
  long number = 0;
};

struct Control {
  std::string kind;  // PLATFORM_CONTROL_...
  std::string text;
  long id = 0;
  long x = 0, y = 0, cx = 0, cy = 0;
  uint32_t style = 0, ex_style = 0;
};

struct Dialog {
  long id = 0;
  long x = 0, y = 0, cx = 0, cy = 0;
  uint32_t style = 0, ex_style = 0;
  std::string caption, font;
  long font_size = 0;
  std::vector<Control> controls;
};

// The system's names the script may use.
const std::map<std::string, long> kSystemNames = {
    {"IDOK", 1},
    {"IDCANCEL", 2},
    {"WS_POPUP", 0x80000000L},
    {"WS_CHILD", 0x40000000L},
    {"WS_VISIBLE", 0x10000000L},
    {"WS_CAPTION", 0x00C00000L},
    {"WS_BORDER", 0x00800000L},
    {"WS_SYSMENU", 0x00080000L},
    {"WS_GROUP", 0x00020000L},
    {"WS_TABSTOP", 0x00010000L},
    {"WS_EX_CONTROLPARENT", 0x00010000L},
    {"DS_SETFONT", 0x40},
    {"DS_MODALFRAME", 0x80},
    {"DS_CONTROL", 0x0400},
    {"DS_CENTER", 0x0800},
    {"SS_LEFT", 0x0},
    {"SS_RIGHT", 0x2},
    {"ES_LEFT", 0x0},
    {"ES_PASSWORD", 0x20},
    {"ES_AUTOHSCROLL", 0x80},
    {"ES_READONLY", 0x800},
    {"BS_PUSHBUTTON", 0x0},
    {"BS_DEFPUSHBUTTON", 0x1},
    {"BS_AUTOCHECKBOX", 0x3},
    {"BS_GROUPBOX", 0x7},
    {"BS_TOP", 0x400},
    {"BS_MULTILINE", 0x2000},
};

constexpr uint32_t kVisibleChild = 0x40000000u | 0x10000000u;

// What each control statement is, and the style it has before the script's flags.
struct StatementKind {
  const char* kind;
  bool has_text;
  uint32_t default_style;
};
const std::map<std::string, StatementKind> kStatements = {
    {"LTEXT", {"PLATFORM_CONTROL_LABEL", true, 0x0u | 0x00020000u}},
    {"RTEXT", {"PLATFORM_CONTROL_LABEL", true, 0x2u | 0x00020000u}},
    {"EDITTEXT", {"PLATFORM_CONTROL_EDIT", false, 0x0u | 0x00800000u | 0x00010000u}},
    {"GROUPBOX", {"PLATFORM_CONTROL_GROUPBOX", true, 0x7u}},
    {"PUSHBUTTON", {"PLATFORM_CONTROL_BUTTON", true, 0x0u | 0x00010000u}},
    {"DEFPUSHBUTTON", {"PLATFORM_CONTROL_BUTTON", true, 0x1u | 0x00010000u}},
    {"AUTOCHECKBOX", {"PLATFORM_CONTROL_CHECKBOX", true, 0x3u | 0x00010000u}},
};

std::string where;  // "file:line" of the statement being read

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "%s: %s\n", where.c_str(), why.c_str());
  std::exit(1);
}

std::vector<Token> tokenize(const std::string& line) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
      break;
    } else if (c == ',') {
      tokens.push_back({Token::kComma, ",", 0});
      ++i;
    } else if (c == '|') {
      tokens.push_back({Token::kBar, "|", 0});
      ++i;
    } else if (c == '"') {
      // A doubled quote stands for one quote, as in the resource compiler.
      std::string text;
      ++i;
      for (;;) {
        if (i >= line.size()) fail("unterminated text");
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            text += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        text += line[i++];
      }
      tokens.push_back({Token::kText, text, 0});
    } else if ((c >= '0' && c <= '9') || c == '-' || c == '(') {
      size_t end = i;
      while (end < line.size() &&
             std::string("0123456789xXabcdefABCDEF-()").find(line[end]) != std::string::npos)
        ++end;
      std::string number = line.substr(i, end - i);
      std::string digits;
      for (char d : number)
        if (d != '(' && d != ')') digits += d;
      char* rest = nullptr;
      long value = std::strtol(digits.c_str(), &rest, 0);
      if (digits.empty() || *rest != '\0') fail("bad number " + number);
      tokens.push_back({Token::kNumber, number, value});
      i = end;
    } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      size_t end = i;
      while (end < line.size() && (std::isalnum(static_cast<unsigned char>(line[end])) || line[end] == '_'))
        ++end;
      tokens.push_back({Token::kWord, line.substr(i, end - i), 0});
      i = end;
    } else {
      fail(std::string("unexpected character '") + c + "'");
    }
  }
  return tokens;
}

class Reader {
 public:
  Reader(std::vector<Token> tokens, const std::map<std::string, long>& names)
      : tokens_(std::move(tokens)), names_(names) {}

  bool done() const { return pos_ >= tokens_.size(); }
  void comma() {
    if (done() || tokens_[pos_].kind != Token::kComma) fail("',' expected");
    ++pos_;
  }
  bool at_comma() const { return !done() && tokens_[pos_].kind == Token::kComma; }
  std::string text() {
    if (done() || tokens_[pos_].kind != Token::kText) fail("text expected");
    return tokens_[pos_++].text;
  }
  long value() {
    if (done()) fail("value expected");
    const Token& token = tokens_[pos_++];
    if (token.kind == Token::kNumber) return token.number;
    if (token.kind != Token::kWord) fail("value expected, found " + token.text);
    auto own = names_.find(token.text);
    if (own != names_.end()) return own->second;
    auto system = kSystemNames.find(token.text);
    if (system != kSystemNames.end()) return system->second;
    fail("unknown name " + token.text);
  }
  // flag | flag | NOT flag ...: added to (or taken from) the given start value.
  uint32_t flags(uint32_t start) {
    uint32_t result = start;
    for (;;) {
      bool remove = !done() && tokens_[pos_].kind == Token::kWord && tokens_[pos_].text == "NOT";
      if (remove) ++pos_;
      auto flag = static_cast<uint32_t>(value());
      result = remove ? (result & ~flag) : (result | flag);
      if (done() || tokens_[pos_].kind != Token::kBar) return result;
      ++pos_;
    }
  }
  void end() {
    if (!done()) fail("unexpected " + tokens_[pos_].text);
  }

 private:
  std::vector<Token> tokens_;
  const std::map<std::string, long>& names_;
  size_t pos_ = 0;
};

std::map<std::string, long> read_names(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    std::exit(1);
  }
  std::map<std::string, long> names;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    where = path + ":" + std::to_string(number);
    std::istringstream words(line);
    std::string directive, name, value;
    if (!(words >> directive) || directive != "#define") continue;
    if (!(words >> name >> value)) continue;
    std::vector<Token> tokens = tokenize(value);
    if (tokens.size() != 1 || tokens[0].kind != Token::kNumber) fail("#define " + name + " is no number");
    names[name] = tokens[0].number;
  }
  return names;
}

std::vector<Dialog> read_dialogs(const std::string& path, const std::map<std::string, long>& names) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    std::exit(1);
  }
  std::vector<Dialog> dialogs;
  bool in_body = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    where = path + ":" + std::to_string(number);
    size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] == '#') continue;  // #include "resource.h"
    std::vector<Token> tokens = tokenize(line);
    if (tokens.empty()) continue;
    if (tokens[0].kind != Token::kWord && tokens[0].kind != Token::kNumber) fail("statement expected");
    const std::string& word = tokens[0].text;
    if (tokens.size() >= 2 && tokens[1].kind == Token::kWord && tokens[1].text == "DIALOGEX") {
      if (in_body) fail("DIALOGEX inside BEGIN ... END");
      Dialog dialog;
      Reader header({tokens[0]}, names);
      dialog.id = header.value();
      Reader r(std::vector<Token>(tokens.begin() + 2, tokens.end()), names);
      dialog.x = r.value(), r.comma(), dialog.y = r.value(), r.comma();
      dialog.cx = r.value(), r.comma(), dialog.cy = r.value();
      r.end();
      dialogs.push_back(dialog);
      continue;
    }
    Reader r(std::vector<Token>(tokens.begin() + 1, tokens.end()), names);
    if (!in_body) {
      if (dialogs.empty()) fail(word + " outside a dialog");
      Dialog& dialog = dialogs.back();
      if (word == "STYLE") {
        dialog.style = r.flags(0);
      } else if (word == "EXSTYLE") {
        dialog.ex_style = r.flags(0);
      } else if (word == "CAPTION") {
        dialog.caption = r.text();
        dialog.style |= 0x00C00000u;  // a caption brings its title bar
      } else if (word == "FONT") {
        dialog.font_size = r.value();
        r.comma();
        dialog.font = r.text();
        dialog.style |= 0x40u;  // DS_SETFONT
      } else if (word == "BEGIN") {
        in_body = true;
      } else {
        fail("unknown dialog statement " + word);
      }
      r.end();
      continue;
    }
    if (word == "END") {
      in_body = false;
      continue;
    }
    auto statement = kStatements.find(word);
    if (statement == kStatements.end()) fail("unknown control statement " + word);
    Control control;
    control.kind = statement->second.kind;
    if (statement->second.has_text) {
      control.text = r.text();
      r.comma();
    }
    control.id = r.value(), r.comma();
    control.x = r.value(), r.comma(), control.y = r.value(), r.comma();
    control.cx = r.value(), r.comma(), control.cy = r.value();
    control.style = kVisibleChild | statement->second.default_style;
    if (r.at_comma()) {
      r.comma();
      control.style = r.flags(control.style);
    }
    if (r.at_comma()) {
      r.comma();
      control.ex_style = r.flags(0);
    }
    r.end();
    dialogs.back().controls.push_back(control);
  }
  if (in_body) fail("BEGIN without END");
  return dialogs;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string hex(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08Xu", value);
  return buffer;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: dialog_table_gen DIALOGS.rc RESOURCE.h OUTPUT.inc\n");
    return 2;
  }
  std::map<std::string, long> names = read_names(argv[2]);
  std::vector<Dialog> dialogs = read_dialogs(argv[1], names);

  std::ostringstream out;
  out << "// Generated at build time from " << argv[1] << "; do not edit.\n";
  for (const Dialog& dialog : dialogs) {
    out << "const DialogControlTemplate kControls" << dialog.id << "[] = {\n";
    for (const Control& c : dialog.controls)
      out << "    {" << c.kind << ", " << quoted(c.text) << ", " << c.id << ", " << c.x << ", " << c.y << ", "
          << c.cx << ", " << c.cy << ", " << hex(c.style) << ", " << hex(c.ex_style) << "},\n";
    out << "};\n";
  }
  out << "const DialogTemplate kDialogTemplates[] = {\n";
  for (const Dialog& d : dialogs)
    out << "    {" << d.id << ", " << hex(d.style) << ", " << hex(d.ex_style) << ", " << d.cx << ", " << d.cy
        << ", " << d.font_size << ", " << quoted(d.font) << ", " << quoted(d.caption) << ", kControls" << d.id
        << ", " << d.controls.size() << "},\n";
  out << "};\n";

  std::ofstream file(argv[3], std::ios::trunc);
  file << out.str();
  return file ? 0 : 1;
}
