// Small text helpers the plug-in's layers share: bounded copies and the host:port split. Pure
// functions of their arguments (no host, no state), so the stand-ins and apps may use them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Copies the first length bytes of source into destination (capacity bytes, at least 1) and
// terminates it; what does not fit is cut off.
inline void copy_cut(char* destination, size_t capacity, const char* source, size_t length) {
  size_t kept = length < capacity - 1 ? length : capacity - 1;
  memcpy(destination, source, kept);
  destination[kept] = '\0';
}

// ASCII letters folded to small ones; every other byte stays (texts on the wire and in
// headers are compared so, whatever their encoding).
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Two addresses alike: addresses are ASCII, and servers do not keep their case.
inline bool same_address(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (ascii_lower(*a) != ascii_lower(*b)) return false;
  return *a == *b;
}

// "host:port" taken apart at its first colon (no host the plug-in dials holds one: names and
// IPv4 literals only). Each caller decides what it accepts from the parts.
struct HostPort {
  size_t host_length = 0;  // characters before the colon, or the whole text without one
  bool has_colon = false;
  // The decimal digits right after the colon, up to the first other character; 0 when there
  // are none or when they name a number beyond a port's range.
  uint32_t port = 0;
  // True when the colon is followed by digits only, at least one, with a value up to 65535.
  bool port_exact = false;
};

inline HostPort split_host_port(const char* text, size_t length) {
  HostPort parts;
  const char* colon = static_cast<const char*>(memchr(text, ':', length));
  if (colon == nullptr) {
    parts.host_length = length;
    return parts;
  }
  parts.has_colon = true;
  parts.host_length = static_cast<size_t>(colon - text);
  const char* end = text + length;
  const char* p = colon + 1;
  uint32_t value = 0;
  bool too_large = false;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint32_t>(*p - '0');
    if (value > 0xFFFF) {
      too_large = true;
      break;
    }
  }
  parts.port = too_large ? 0 : value;
  parts.port_exact = !too_large && p == end && p > colon + 1;
  return parts;
}
