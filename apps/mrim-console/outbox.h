// The messages the user typed that are not delivered yet: waiting for the account to be
// online, or sent and waiting for their acknowledgement. Kept in the profile (module
// "MrimConsole", setting "Outbox"), so that a message typed while offline survives a restart
// too. A message leaves the outbox only at its acknowledgement: delivered, or refused for a
// reason of its own; one whose connection was lost waits again, and goes once more.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/host.h"

namespace console {

struct OutboxEntry {
  uint64_t id = 0;        // the console's own number, for this run
  std::string address;    // as the user meant it (resolved)
  std::string text;       // UTF-8, as typed
  int64_t queued_at = 0;  // Unix seconds
  intptr_t ack = 0;       // the plug-in's acknowledgement number while sent; 0 while waiting
};

// How long a message may wait for a connection before it is given up, visibly.
constexpr int64_t kOutboxKeepSeconds = 24 * 60 * 60;

class Outbox {
 public:
  // Reads what the profile holds; every entry read waits.
  explicit Outbox(hostsim::Host& host);

  uint64_t add(const std::string& address, const std::string& text, int64_t now);
  bool has_waiting() const;
  // The oldest waiting entry.
  std::optional<OutboxEntry> next_waiting() const;
  void sent(uint64_t id, intptr_t ack);
  // Takes an entry out (the plug-in refused to send it).
  void drop(uint64_t id);
  // The entry of that acknowledgement: taken out, or waiting again when `wait_again`.
  std::optional<OutboxEntry> acknowledged(intptr_t ack, bool wait_again);
  // Takes out and returns the waiting entries queued `kOutboxKeepSeconds` or more before now.
  std::vector<OutboxEntry> expired(int64_t now);
  // Takes out and returns every waiting entry (those sent still await their acknowledgement).
  std::vector<OutboxEntry> clear();
  std::vector<OutboxEntry> entries() const;

 private:
  void save();  // lock held

  hostsim::Host& host_;
  mutable std::mutex mu_;
  std::vector<OutboxEntry> entries_;
  uint64_t next_id_ = 1;
};

}  // namespace console
