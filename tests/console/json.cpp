// A small JSON reader for the console's event lines.
#include "json.h"

namespace consoletest {

namespace {

const Json kNull;
const std::string kEmpty;

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  std::optional<Json> document() {
    Json value;
    if (!parse(value)) return std::nullopt;
    skip();
    if (pos_ != s_.size()) return std::nullopt;
    return value;
  }

 private:
  void skip() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n'))
      ++pos_;
  }
  bool literal(const char* word) {
    std::string w(word);
    if (s_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  bool parse(Json& out) {
    skip();
    if (pos_ >= s_.size()) return false;
    char c = s_[pos_];
    if (c == '{') return object(out);
    if (c == '[') return list(out);
    if (c == '"') {
      out.type = Json::Type::text;
      return string(out.text);
    }
    if (c == 't' && literal("true")) {
      out.type = Json::Type::flag;
      out.flag = true;
      return true;
    }
    if (c == 'f' && literal("false")) {
      out.type = Json::Type::flag;
      return true;
    }
    if (c == 'n' && literal("null")) return true;
    return number(out);
  }

  bool number(Json& out) {
    size_t start = pos_;
    if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
    if (pos_ == start || (pos_ == start + 1 && s_[start] == '-')) return false;
    out.type = Json::Type::number;
    out.number = std::stoll(s_.substr(start, pos_ - start));
    return true;
  }

  static void put_utf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool string(std::string& out) {
    ++pos_;  // the opening quote
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) return false;
      char e = s_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          if (pos_ + 4 > s_.size()) return false;
          put_utf8(out, static_cast<uint32_t>(std::stoul(s_.substr(pos_, 4), nullptr, 16)));
          pos_ += 4;
          break;
        }
        default:
          out += e;
      }
    }
    return false;
  }

  bool list(Json& out) {
    out.type = Json::Type::list;
    ++pos_;
    skip();
    if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
    for (;;) {
      Json item;
      if (!parse(item)) return false;
      out.items.push_back(std::move(item));
      skip();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == ']') return ++pos_, true;
      if (s_[pos_++] != ',') return false;
    }
  }

  bool object(Json& out) {
    out.type = Json::Type::object;
    ++pos_;
    skip();
    if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
    for (;;) {
      skip();
      std::string key;
      if (pos_ >= s_.size() || s_[pos_] != '"' || !string(key)) return false;
      skip();
      if (pos_ >= s_.size() || s_[pos_++] != ':') return false;
      Json value;
      if (!parse(value)) return false;
      out.keys.push_back(std::move(key));
      out.items.push_back(std::move(value));
      skip();
      if (pos_ >= s_.size()) return false;
      if (s_[pos_] == '}') return ++pos_, true;
      if (s_[pos_++] != ',') return false;
    }
  }

  const std::string& s_;
  size_t pos_ = 0;
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == key) return items[i];
  return kNull;
}

const Json& Json::operator[](size_t index) const { return index < items.size() ? items[index] : kNull; }

bool Json::has(const std::string& key) const {
  for (const std::string& k : keys)
    if (k == key) return true;
  return false;
}

const std::string& Json::str() const { return type == Type::text ? text : kEmpty; }

std::optional<Json> parse_json(const std::string& line) { return Parser(line).document(); }

}  // namespace consoletest
