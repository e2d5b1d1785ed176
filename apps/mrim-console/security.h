// The session's encryption as the console tells it: the plug-in's line (its service
// "<module>/ConnectionSecurity") read for its parts, the account's pinned certificate
// ("CertificatePin"), and SHA-256 fingerprints written for people to compare.
#pragma once

#include <optional>
#include <string>

#include "event.h"
#include "hostsim/host.h"

namespace console {

// The plug-in's line, and whether the session is encrypted (the service's answer, which the
// line's words agree with).
std::string security_line(hostsim::Host& host, const std::string& module, bool* encrypted = nullptr);
// The same as the members "encrypted" and "security" of an event.
void add_security(hostsim::Host& host, const std::string& module, Event& event);

// What a line says, as far as the console acts on it. Fingerprints are 64 lower-case hex digits.
struct SecurityLine {
  bool encrypted = false;
  std::string certificate;             // the session's certificate, or the one a refusal names
  std::string pinned;                  // a refused certificate: the pinned one it is not
  std::string replaced;                // the pin that a certificate the system trusts took the place of
  std::optional<bool> system_trusted;  // none where the line does not tell
  std::string trusted_for;             // the name the system trusts the certificate for
  bool encryption_withdrawn = false;   // refused: the server offered encryption before, and now not
};
// Any of the plug-in's lines, or a failed log-in's reason cut from one.
SecurityLine read_security_line(const std::string& line);

// The account's pin as stored; none when there is none (an empty one is none: the options page
// stores an empty pin when the user clears it).
std::optional<std::string> certificate_pin(hostsim::Host& host, const std::string& module);
// The hex digits of a pin, lower case: what the plug-in compares of it.
std::string pin_digits(const std::string& pin);

// All of a fingerprint in groups of four digits, eight groups a row ("3f2a 91bc … 0718"); the
// rows after the first begin with `indent` blanks, so that they stand under the first.
std::string grouped_fingerprint(const std::string& hex, size_t indent);
// Its first and last four digits ("3f2a…c91b"): enough to tell two certificates apart at a glance.
std::string short_fingerprint(const std::string& hex);
// The line with each of its fingerprints shortened so.
std::string with_short_fingerprints(const std::string& line);

}  // namespace console
