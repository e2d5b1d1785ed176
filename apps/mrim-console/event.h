// What the console shows: one record per thing that happened (a status change, a message, a
// command's answer), with named fields in a fixed order. Both views render the same records:
// the terminal view as sentences, the JSON view as one object per line. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace console {

// Members keep the order they were set in, which is the order the README documents.
using Value = nlohmann::ordered_json;

// An event is an object whose first member "event" names its kind.
struct Event {
  explicit Event(std::string kind) { fields["event"] = std::move(kind); }
  Event& set(const std::string& name, Value value) {
    fields[name] = std::move(value);
    return *this;
  }
  std::string kind() const;
  Value fields = Value::object();
};

// A member of an object: "", 0 or false when absent or of another type.
std::string text_of(const Value& object, const std::string& name);
int64_t number_of(const Value& object, const std::string& name);
bool flag_of(const Value& object, const std::string& name);

// Compact JSON, no line breaks; non-ASCII UTF-8 passes through, control characters are
// escaped, and bytes that are no UTF-8 (typed at a terminal in another code page) become U+FFFD.
std::string to_json(const Value& value);

}  // namespace console
