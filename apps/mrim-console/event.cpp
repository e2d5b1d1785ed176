// Event records and their JSON form.
#include "event.h"

#include <cstdio>

namespace console {

Value Value::list(std::vector<Value> elements) {
  Value v;
  v.type = Type::list;
  v.items = std::move(elements);
  return v;
}

Value Value::object() {
  Value v;
  v.type = Type::object;
  return v;
}

Value& Value::set(const std::string& name, Value value) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) {
      items[i] = std::move(value);
      return *this;
    }
  }
  names.push_back(name);
  items.push_back(std::move(value));
  return *this;
}

const Value* Value::get(const std::string& name) const {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return &items[i];
  return nullptr;
}

std::string Value::text_of(const std::string& name) const {
  const Value* v = get(name);
  return v && v->type == Type::text ? v->text : std::string();
}

int64_t Value::number_of(const std::string& name) const {
  const Value* v = get(name);
  return v && v->type == Type::number ? v->number : 0;
}

bool Value::flag_of(const std::string& name) const {
  const Value* v = get(name);
  return v && v->type == Type::flag && v->flag;
}

namespace {

void append_string(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append(std::string& out, const Value& value) {
  switch (value.type) {
    case Value::Type::null:
      out += "null";
      break;
    case Value::Type::flag:
      out += value.flag ? "true" : "false";
      break;
    case Value::Type::number:
      out += std::to_string(value.number);
      break;
    case Value::Type::text:
      append_string(out, value.text);
      break;
    case Value::Type::list:
      out += '[';
      for (size_t i = 0; i < value.items.size(); ++i) {
        if (i) out += ',';
        append(out, value.items[i]);
      }
      out += ']';
      break;
    case Value::Type::object:
      out += '{';
      for (size_t i = 0; i < value.items.size(); ++i) {
        if (i) out += ',';
        append_string(out, value.names[i]);
        out += ':';
        append(out, value.items[i]);
      }
      out += '}';
      break;
  }
}

}  // namespace

std::string to_json(const Value& value) {
  std::string out;
  append(out, value);
  return out;
}

}  // namespace console
