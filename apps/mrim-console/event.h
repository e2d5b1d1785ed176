// What the console shows: one record per thing that happened (a status change, a message, a
// command's answer), with named fields in a fixed order. Both views render the same records:
// the terminal view as sentences, the JSON view as one object per line. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace console {

// A JSON-shaped value: null, flag, integer, text, list or object (names with values, in order).
struct Value {
  enum class Type { null, flag, number, text, list, object };
  Type type = Type::null;
  bool flag = false;
  int64_t number = 0;
  std::string text;
  std::vector<std::string> names;  // object member names, parallel to items
  std::vector<Value> items;        // list elements or object member values

  Value() = default;
  Value(bool v) : type(Type::flag), flag(v) {}
  Value(int v) : type(Type::number), number(v) {}
  Value(int64_t v) : type(Type::number), number(v) {}
  Value(uint32_t v) : type(Type::number), number(v) {}
  Value(uint64_t v) : type(Type::number), number(static_cast<int64_t>(v)) {}
  Value(const char* v) : type(Type::text), text(v) {}
  Value(std::string v) : type(Type::text), text(std::move(v)) {}

  static Value list(std::vector<Value> elements = {});
  static Value object();
  // Object members; set replaces a member of the same name.
  Value& set(const std::string& name, Value value);
  const Value* get(const std::string& name) const;
  std::string text_of(const std::string& name) const;  // "" when absent or not text
  int64_t number_of(const std::string& name) const;    // 0 when absent or not a number
  bool flag_of(const std::string& name) const;         // false when absent or not a flag
};

// An event is an object whose first member "event" names its kind.
struct Event {
  explicit Event(std::string kind) : fields(Value::object()) { fields.set("event", std::move(kind)); }
  Event& set(const std::string& name, Value value) {
    fields.set(name, std::move(value));
    return *this;
  }
  std::string kind() const { return fields.text_of("event"); }
  Value fields;
};

// Compact JSON, no line breaks; non-ASCII UTF-8 passes through, control characters are escaped.
std::string to_json(const Value& value);

}  // namespace console
