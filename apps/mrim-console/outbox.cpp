// The console's outbox (see outbox.h).
#include "outbox.h"

#include <algorithm>

#include "event.h"

namespace console {

namespace {

const char* const kModule = "MrimConsole";
const char* const kSetting = "Outbox";

}  // namespace

Outbox::Outbox(hostsim::Host& host) : host_(host) {
  std::optional<hostsim::Setting> stored = host_.setting(0, kModule, kSetting);
  if (!stored) return;
  // A setting that is no list of entries (another program's, or damaged) is left alone and
  // read as an empty outbox; the next change writes a good one over it.
  Value list = Value::parse(stored->text, nullptr, false);
  if (!list.is_array()) return;
  for (const Value& item : list) {
    if (!item.is_object()) continue;
    OutboxEntry entry;
    entry.id = next_id_++;
    entry.address = text_of(item, "address");
    entry.text = text_of(item, "text");
    entry.queued_at = number_of(item, "queued_at");
    if (!entry.address.empty() && !entry.text.empty()) entries_.push_back(std::move(entry));
  }
}

void Outbox::save() {
  Value list = Value::array();
  for (const OutboxEntry& entry : entries_)
    list.push_back(Value{{"address", entry.address}, {"text", entry.text}, {"queued_at", entry.queued_at}});
  host_.write_setting(0, kModule, kSetting, hostsim::Setting::utf8(list.dump()));
}

uint64_t Outbox::add(const std::string& address, const std::string& text, int64_t now) {
  std::lock_guard lock(mu_);
  OutboxEntry entry;
  entry.id = next_id_++;
  entry.address = address;
  entry.text = text;
  entry.queued_at = now;
  entries_.push_back(entry);
  save();
  return entry.id;
}

bool Outbox::has_waiting() const { return next_waiting().has_value(); }

std::optional<OutboxEntry> Outbox::next_waiting() const {
  std::lock_guard lock(mu_);
  for (const OutboxEntry& entry : entries_)
    if (entry.ack == 0) return entry;
  return std::nullopt;
}

void Outbox::sent(uint64_t id, intptr_t ack) {
  std::lock_guard lock(mu_);
  for (OutboxEntry& entry : entries_)
    if (entry.id == id) entry.ack = ack;
}

void Outbox::drop(uint64_t id) {
  std::lock_guard lock(mu_);
  entries_.erase(
      std::remove_if(entries_.begin(), entries_.end(), [&](const OutboxEntry& e) { return e.id == id; }),
      entries_.end());
  save();
}

std::optional<OutboxEntry> Outbox::acknowledged(intptr_t ack, bool wait_again) {
  std::lock_guard lock(mu_);
  auto it =
      std::find_if(entries_.begin(), entries_.end(), [&](const OutboxEntry& e) { return e.ack == ack; });
  if (ack == 0 || it == entries_.end()) return std::nullopt;
  OutboxEntry entry = *it;
  if (wait_again)
    it->ack = 0;
  else
    entries_.erase(it);
  save();
  return entry;
}

std::vector<OutboxEntry> Outbox::expired(int64_t now) {
  std::lock_guard lock(mu_);
  std::vector<OutboxEntry> gone;
  auto old = [&](const OutboxEntry& e) { return e.ack == 0 && now - e.queued_at >= kOutboxKeepSeconds; };
  std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(gone), old);
  if (gone.empty()) return gone;
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), old), entries_.end());
  save();
  return gone;
}

std::vector<OutboxEntry> Outbox::clear() {
  std::lock_guard lock(mu_);
  std::vector<OutboxEntry> gone;
  auto waiting = [](const OutboxEntry& e) { return e.ack == 0; };
  std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(gone), waiting);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), waiting), entries_.end());
  save();
  return gone;
}

std::vector<OutboxEntry> Outbox::entries() const {
  std::lock_guard lock(mu_);
  return entries_;
}

}  // namespace console
