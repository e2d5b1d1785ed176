// A small JSON reader for the console's event lines: enough of JSON for what the console
// writes (objects, lists, texts with escapes, integers, true, false, null).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace consoletest {

struct Json {
  enum class Type { null, flag, number, text, list, object };
  Type type = Type::null;
  bool flag = false;
  int64_t number = 0;
  std::string text;
  std::vector<std::string> keys;
  std::vector<Json> items;

  // Member of an object (a null value when absent), element of a list.
  const Json& operator[](const std::string& key) const;
  const Json& operator[](size_t index) const;
  bool has(const std::string& key) const;
  size_t size() const { return items.size(); }
  // The text, or "" for anything else.
  const std::string& str() const;
};

// Null when the line is no JSON value (or has anything after it).
std::optional<Json> parse_json(const std::string& line);

}  // namespace consoletest
