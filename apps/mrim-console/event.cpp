// Event records and their JSON form.
#include "event.h"

namespace console {

std::string Event::kind() const { return text_of(fields, "event"); }

std::string text_of(const Value& object, const std::string& name) {
  auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t number_of(const Value& object, const std::string& name) {
  auto it = object.find(name);
  return it != object.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

bool flag_of(const Value& object, const std::string& name) {
  auto it = object.find(name);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

std::string to_json(const Value& value) {
  return value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

}  // namespace console
