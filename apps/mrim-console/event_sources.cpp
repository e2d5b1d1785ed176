// Turns what the plug-in tells the host into console events (see event_sources.h).
#include "event_sources.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>

#include "charset.h"
#include "commands.h"
#include "host/search_record.h"
#include "hostsim/profile.h"
#include "picture_view.h"
#include "security.h"

namespace console {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A burst of setting writes (a contact list arriving writes several settings per contact) is
// shown once it has settled, as one event per contact.
constexpr milliseconds kSettle{150};
constexpr milliseconds kSettleAtMost{1000};
constexpr std::chrono::seconds kSaveEvery{2};
// Short enough that a message or an acknowledgement shows at once to a person.
constexpr milliseconds kBatchEvery{20};

// The new-mail notifier's mailbox contact is named "<address> Mailbox" (or "Mailbox").
bool is_mailbox(const std::string& address) {
  static const std::string suffix = "Mailbox";
  return address.size() >= suffix.size() &&
         address.compare(address.size() - suffix.size(), suffix.size(), suffix) == 0 &&
         (address.size() == suffix.size() || address[address.size() - suffix.size() - 1] == ' ');
}

// A number setting as written, whatever its width; none for a text or a deletion.
std::optional<uint32_t> number_in(const SettingVariant& value) {
  switch (value.type) {
    case DBVT_BYTE:
      return value.byte_value;
    case DBVT_WORD:
      return value.word_value;
    case DBVT_DWORD:
      return value.dword_value;
    default:
      return std::nullopt;
  }
}

// A text setting as written, in whichever of the two text types; "" for a deletion. Only
// fingerprints are read so, whose digits are the same in either.
std::string text_in(const SettingVariant& value) {
  bool text = value.type == DBVT_ASCIIZ || value.type == DBVT_UTF8;
  return text && value.text ? value.text : "";
}

std::string search_key(intptr_t id) { return "search " + std::to_string(id); }

Event contact_event(const ContactState& state) {
  Event event("contact");
  event.set("address", state.address)
      .set("name", state.name)
      .set("status", state.status)
      .set("visibility", state.visibility)
      .set("on_list", state.on_list)
      .set("group", state.group)
      .set("status_title", state.status_title)
      .set("status_desc", state.status_desc)
      .set("client", state.client);
  return event;
}

}  // namespace

EventSources::EventSources(hostsim::Host& host, ContactBook& book, View& view)
    : host_(host), book_(book), view_(view) {}

EventSources::~EventSources() { stop(); }

void EventSources::start() {
  const std::string module = book_.module();
  hooks_.push_back(
      host_.hook_event(ME_DB_CONTACT_SETTINGCHANGED, [this, module](WPARAM contact, LPARAM l) -> INT_PTR {
        auto* change = reinterpret_cast<const SettingWrite*>(l);
        if (!change || !change->module) return 0;
        if (contact == 0) {
          if (module != change->module || !change->setting) return 0;
          if (std::string("ReconnectIn") == change->setting)
            if (std::optional<uint32_t> seconds = number_in(change->value)) reconnect_written(*seconds);
          if (std::string("CertificatePin") == change->setting) pin_seen(text_in(change->value));
          return 0;
        }
        if (module != change->module && std::string("CList") != change->module) return 0;
        std::lock_guard lock(changes_mu_);
        changes_.push_back({static_cast<hostsim::Handle>(contact), false, {}});
        last_change_ = Clock::now();
        return 0;
      }));
  // A picture's record lives for the acknowledgement's call only: it is read in the hook, on
  // the plug-in's thread, as a host reads it.
  hooks_.push_back(host_.hook_event(ME_PROTO_ACK, [this, module](WPARAM, LPARAM l) -> INT_PTR {
    auto* ack = reinterpret_cast<const AckData*>(l);
    if (!ack || !ack->module || module != ack->module) return 0;
    if (ack->type == ACKTYPE_AVATAR) avatar_acknowledged(*ack);
    if (ack->type == ACKTYPE_MICROBLOG) post_acknowledged(*ack);
    return 0;
  }));
  hooks_.push_back(host_.hook_event(ME_DB_CONTACT_DELETED, [this](WPARAM contact, LPARAM) -> INT_PTR {
    // Raised before the contact goes, while its settings can still be read.
    if (!book_.is_ours(contact)) return 0;
    Change change{static_cast<hostsim::Handle>(contact), true, book_.state(contact)};
    std::lock_guard lock(changes_mu_);
    changes_.push_back(std::move(change));
    last_change_ = Clock::now();
    return 0;
  }));
  {
    std::lock_guard lock(collect_mu_);
    for (hostsim::Handle contact : book_.contacts()) {
      ContactState state = book_.state(contact);
      if (!state.address.empty()) known_[contact] = state;
    }
    // The history loaded with the profile is not news.
    for (hostsim::Handle contact : host_.profile().contacts())
      for (const hostsim::StoredEvent& event : host_.profile().events(contact))
        last_event_ = std::max(last_event_, event.handle);
    last_save_ = Clock::now();
  }
  {
    std::lock_guard lock(changes_mu_);
    pin_ = certificate_pin(host_, book_.module()).value_or("");
  }
  // What happened while the plug-in loaded (its notice) comes first.
  collect(true);
  thread_ = std::thread([this] { run(); });
}

void EventSources::stop() {
  if (stopping_.exchange(true)) return;
  host_.notify_changed();
  if (thread_.joinable()) thread_.join();
  flush();
  for (hostsim::Handle hook : hooks_) host_.unhook_event(hook);
  hooks_.clear();
}

void EventSources::flush() { collect(true); }

void EventSources::on_profile_changed(std::function<void()> callback) {
  std::lock_guard lock(collect_mu_);
  profile_changed_ = std::move(callback);
}

void EventSources::message_sent(intptr_t ack, hostsim::Handle contact, const std::string& text, DWORD flags) {
  pending_messages_[ack] = {contact, text, flags};
}

void EventSources::search_started(intptr_t id, const std::string& address) {
  searches_[id] = 0;
  search_addresses_[id] = fold_case(address);
  view_.begin_wait(search_key(id), "searching for " + address);
}

std::optional<int> EventSources::hits_of_last_search(const std::string& address) {
  std::lock_guard lock(acks_mu_);
  auto it = last_hits_.find(fold_case(address));
  if (it == last_hits_.end()) return std::nullopt;
  return it->second;
}

void EventSources::login_started(const std::string& what) {
  // The longest a log-in can take: the address service's 10 seconds, then the greeting and the
  // log-in, each waiting up to the account's time-out; and some room for a slow connect.
  uint32_t timeout = 10;
  if (std::optional<hostsim::Setting> stored = host_.setting(0, book_.module(), "Timeout");
      stored && stored->number)
    timeout = stored->number;
  std::lock_guard lock(login_mu_);
  login_.active = true;
  login_.deadline = Clock::now() + std::chrono::seconds(10 + 2 * timeout + 15);
  view_.begin_wait("status", what);
}

void EventSources::login_cancelled() { login_ended(std::nullopt); }

void EventSources::status_request_begins() {
  std::lock_guard lock(changes_mu_);
  in_status_request_ = true;
  cancelled_in_request_ = false;
}

bool EventSources::status_request_ends() {
  std::lock_guard lock(changes_mu_);
  in_status_request_ = false;
  return cancelled_in_request_;
}

void EventSources::edit_begins() {
  std::lock_guard lock(changes_mu_);
  in_edit_ = true;
  refusals_.clear();
}

std::vector<std::string> EventSources::edit_ends() {
  {
    // The plug-in warns inside the call that made the edit: take it before the collector does.
    std::lock_guard lock(collect_mu_);
    take_records();
  }
  std::lock_guard lock(changes_mu_);
  in_edit_ = false;
  return std::exchange(refusals_, {});
}

// On the writer's thread: the plug-in's own, or the command loop's inside a status request.
void EventSources::reconnect_written(uint32_t seconds) {
  // Where the write stands among the acknowledgements: each one sent before it is counted.
  size_t acks = host_.acks().size();
  std::lock_guard lock(changes_mu_);
  bool by_user = in_status_request_;
  if (by_user && seconds == 0) cancelled_in_request_ = true;
  notices_.push_back({seconds, "", by_user, acks});
}

void EventSources::pin_written(const std::string& pin) {
  std::lock_guard lock(changes_mu_);
  pin_ = pin;
}

// On the plug-in's thread as it goes online, or the command loop's (after pin_written).
void EventSources::pin_seen(const std::string& pin) {
  size_t acks = host_.acks().size();
  std::lock_guard lock(changes_mu_);
  // Only the first pin is news: one that takes the place of another comes with the session's
  // line, which says so.
  if (pin_.empty() && !pin.empty()) notices_.push_back({0, pin, false, acks});
  pin_ = pin;
}

void EventSources::avatar_acknowledged(const AckData& ack) {
  AvatarNews news;
  news.present = ack.result == ACKRESULT_SUCCESS;
  if (auto* info = reinterpret_cast<const AvatarInformation*>(ack.process)) {
    news.format = info->format;
    news.path.assign(info->filename, strnlen(info->filename, sizeof info->filename));
  }
  // A success without a file to name tells nothing that could be shown.
  if (news.path.empty()) news.present = false;
  auto contact = reinterpret_cast<hostsim::Handle>(ack.contact);
  // This acknowledgement is recorded already: counted, the picture shows after it.
  size_t acks = host_.acks().size();
  {
    std::lock_guard lock(avatar_mu_);
    avatars_[contact] = {++avatar_count_, news};
    if (news.present) avatar_notices_.push_back({contact, news, acks});
  }
  avatar_cv_.notify_all();
}

uint64_t EventSources::avatar_mark() {
  std::lock_guard lock(avatar_mu_);
  return avatar_count_;
}

std::optional<EventSources::AvatarNews> EventSources::wait_for_avatar(
    hostsim::Handle contact, uint64_t mark, Clock::time_point deadline,
    const std::function<bool()>& cut_short) {
  std::unique_lock lock(avatar_mu_);
  for (;;) {
    if (auto it = avatars_.find(contact); it != avatars_.end() && it->second.serial > mark)
      return it->second.news;
    if (Clock::now() >= deadline || (cut_short && cut_short())) return std::nullopt;
    // Woken by each picture; now and then for the cut, which a signal sets.
    avatar_cv_.wait_until(lock, std::min(deadline, Clock::now() + milliseconds(50)));
  }
}

std::optional<bool> EventSources::avatar_seen(hostsim::Handle contact) {
  std::lock_guard lock(avatar_mu_);
  auto it = avatars_.find(contact);
  if (it == avatars_.end()) return std::nullopt;
  return it->second.news.present;
}

void EventSources::show_avatar(const AvatarNotice& notice) {
  if (!book_.is_ours(notice.contact)) return;
  view_.show(Event("avatar")
                 .set("address", book_.state(notice.contact).address)
                 .set("path", valid_utf8(notice.news.path))
                 .set("format", avatar_format_name(notice.news.format, notice.news.path)));
}

void EventSources::post_acknowledged(const AckData& ack) {
  PostNews news;
  news.stored = ack.result == ACKRESULT_SUCCESS;
  if (!news.stored && ack.param) {
    // Host text: UTF-8 where the host takes it, else its code page.
    std::string reason = reinterpret_cast<const char*>(ack.param);
    news.reason = host_.takes_utf8() ? valid_utf8(reason) : from_cp1251(reason);
  }
  const auto id = static_cast<intptr_t>(reinterpret_cast<uintptr_t>(ack.process));
  // This acknowledgement is recorded already: counted, the notice shows after it.
  size_t acks = host_.acks().size();
  {
    std::lock_guard lock(post_mu_);
    if (auto given_up = posts_given_up_.find(id); given_up != posts_given_up_.end()) {
      post_notices_.push_back({id, given_up->second, news, acks});
      posts_given_up_.erase(given_up);
    } else {
      post_news_[id] = news;
    }
  }
  post_cv_.notify_all();
}

std::optional<EventSources::PostNews> EventSources::wait_for_post(intptr_t id, const std::string& text,
                                                                  Clock::time_point deadline,
                                                                  const std::function<bool()>& cut_short) {
  std::unique_lock lock(post_mu_);
  for (;;) {
    if (auto it = post_news_.find(id); it != post_news_.end()) {
      PostNews news = std::move(it->second);
      post_news_.erase(it);
      return news;
    }
    if (Clock::now() >= deadline || (cut_short && cut_short())) {
      posts_given_up_[id] = text;
      return std::nullopt;
    }
    // Woken by each post's acknowledgement; now and then for the cut, which a signal sets.
    post_cv_.wait_until(lock, std::min(deadline, Clock::now() + milliseconds(50)));
  }
}

void EventSources::show_post(const PostNotice& notice) {
  Event event("posted");
  event.set("id", static_cast<int64_t>(notice.id)).set("text", notice.text).set("posted", notice.news.stored);
  if (!notice.news.stored) event.set("reason", notice.news.reason);
  view_.show(event);
}

void EventSources::run() {
  Clock::time_point last_collect = Clock::now();
  while (!stopping_) {
    // Wakes on the next change the host records, or after a short while for the settling of
    // contact changes, the log-in deadline and the profile's save.
    int checks = 0;
    host_.wait_until([&] { return ++checks > 1 || stopping_; }, 100);
    // A long contact list writes tens of thousands of settings in a burst: woken for each, this
    // thread would take the plug-in's time in waking and in copying the host's records. It
    // takes what came in batches instead, at most one every kBatchEvery, and sleeps between
    // them (asleep, it is no waiter the plug-in's writes must wake).
    Clock::time_point next = last_collect + kBatchEvery;
    if (!stopping_ && Clock::now() < next) std::this_thread::sleep_until(next);
    collect(false);
    last_collect = Clock::now();
  }
}

void EventSources::collect(bool settle_all) {
  std::lock_guard lock(collect_mu_);
  // Settings first: a message from a stranger shows after the contact it created.
  take_contact_changes(false);
  take_acks();
  take_records();
  take_database_events();
  take_contact_changes(settle_all);
  check_login();
  if (collected_) collected_();
  if (profile_dirty_ && profile_changed_ && (settle_all || Clock::now() - last_save_ >= kSaveEvery)) {
    profile_dirty_ = false;
    last_save_ = Clock::now();
    profile_changed_();
  }
}

void EventSources::add_who(Event& event, hostsim::Handle contact, const char* address_field) {
  ContactState state = book_.state(contact);
  event.set(address_field, state.address).set("name", state.name);
}

void EventSources::take_contact_changes(bool settle_all) {
  std::vector<Change> changes;
  Clock::time_point last_change;
  {
    std::lock_guard lock(changes_mu_);
    changes.swap(changes_);
    last_change = last_change_;
  }
  for (Change& change : changes) {
    profile_dirty_ = true;
    if (change.deleted) {
      dirty_.erase(change.contact);
      deletion_seen_ = true;
      if (known_.erase(change.contact))
        view_.show(
            Event("contact_removed").set("address", change.last.address).set("name", change.last.name));
      continue;
    }
    if (dirty_.empty()) dirty_since_ = Clock::now();
    dirty_.insert(change.contact);
  }
  Clock::time_point now = Clock::now();
  if (dirty_.empty() || !(settle_all || now - last_change >= kSettle || now - dirty_since_ >= kSettleAtMost))
    return;
  std::set<hostsim::Handle> contacts;
  contacts.swap(dirty_);
  for (hostsim::Handle contact : contacts) show_contact(contact);
}

void EventSources::show_contact(hostsim::Handle contact) {
  dirty_.erase(contact);
  if (!book_.is_ours(contact)) return;
  ContactState state = book_.state(contact);
  if (state.address.empty()) return;  // still being created; its next setting shows it
  auto known = known_.find(contact);
  if (known == known_.end()) {
    known_[contact] = state;
    view_.show(contact_event(state).set("new", true).set("changed", Value::array()));
    return;
  }
  if (known->second == state) return;
  Value changed = Value::array();
  if (known->second.address != state.address) changed.push_back("address");
  if (known->second.name != state.name) changed.push_back("name");
  if (known->second.status != state.status) changed.push_back("status");
  if (known->second.visibility != state.visibility) changed.push_back("visibility");
  if (known->second.on_list != state.on_list) changed.push_back("on_list");
  if (known->second.group != state.group) changed.push_back("group");
  if (known->second.status_title != state.status_title) changed.push_back("status_title");
  if (known->second.status_desc != state.status_desc) changed.push_back("status_desc");
  if (known->second.auth_pending != state.auth_pending) changed.push_back("auth_pending");
  if (known->second.client != state.client) changed.push_back("client");
  known->second = state;
  view_.show(contact_event(state).set("new", false).set("changed", std::move(changed)));
}

// The reason of a failed log-in as the plug-in reports it (the host's LOGINERR_* values).
static std::string login_failure_text(intptr_t reason) {
  switch (reason) {
    case LOGINERR_WRONGPASSWORD:
      return "the server refused the log-in (check the address and the password)";
    case LOGINERR_NOSERVER:
      return "the server could not be reached";
    case LOGINERR_TIMEOUT:
      return "the server did not answer in time";
    case LOGINERR_OTHERLOCATION:
      return "the account logged in elsewhere";
    case LOGINERR_WRONGPROTOCOL:
      return "the server's encryption was refused";
    default:
      return "the log-in failed (reason " + std::to_string(reason) + ")";
  }
}

void EventSources::take_acks() {
  // The setting notices before the acknowledgements: every acknowledgement sent before a
  // notice is then in the list read below, and each notice is shown in its place among them
  // (the lost connection's status change before the plan, a failed try before the next plan).
  std::vector<SettingNotice> notices;
  {
    std::lock_guard lock(changes_mu_);
    notices.swap(notices_);
  }
  std::vector<AvatarNotice> pictures;
  {
    std::lock_guard lock(avatar_mu_);
    pictures.swap(avatar_notices_);
  }
  std::vector<PostNotice> posts;
  {
    std::lock_guard lock(post_mu_);
    posts.swap(post_notices_);
  }
  auto notice = notices.begin();
  auto picture = pictures.begin();
  auto post = posts.begin();
  std::vector<hostsim::AckRecord> acks = host_.acks();
  for (; acks_seen_ < acks.size(); ++acks_seen_) {
    for (; notice != notices.end() && notice->acks_before <= acks_seen_; ++notice) show_notice(*notice);
    for (; picture != pictures.end() && picture->acks_before <= acks_seen_; ++picture) show_avatar(*picture);
    for (; post != posts.end() && post->acks_before <= acks_seen_; ++post) show_post(*post);
    if (acks[acks_seen_].module == book_.module()) take_ack(acks[acks_seen_]);
  }
  for (; notice != notices.end(); ++notice) show_notice(*notice);
  for (; picture != pictures.end(); ++picture) show_avatar(*picture);
  for (; post != posts.end(); ++post) show_post(*post);
}

void EventSources::show_notice(const SettingNotice& notice) {
  if (!notice.pinned.empty()) {
    view_.show(Event("pinned").set("certificate", pin_digits(notice.pinned)));
    return;
  }
  if (notice.seconds > 0) {
    reconnect_planned_ = true;
    view_.show(Event("reconnecting").set("seconds", static_cast<int64_t>(notice.seconds)));
    return;
  }
  // A 0 with no plan shown is the plug-in tidying up (it clears the setting as it loads).
  if (!reconnect_planned_) return;
  reconnect_planned_ = false;
  // The user's request replaced the plan: its own answer says what became of it.
  if (notice.by_user) return;
  view_.show(Event("reconnecting").set("seconds", 0));
  login_started("reconnecting");
}

void EventSources::take_ack(const hostsim::AckRecord& ack) {
  switch (ack.type) {
    case ACKTYPE_STATUS: {
      int now = static_cast<int>(ack.param);
      int before = static_cast<int>(ack.process);
      Event event("status");
      event.set("status", status_name(now)).set("previous", status_name(before));
      if (before == ID_STATUS_OFFLINE && now != ID_STATUS_OFFLINE) add_security(host_, book_.module(), event);
      view_.show(std::move(event));
      bool watching;
      {
        std::lock_guard lock(login_mu_);
        watching = login_.active;
      }
      if (watching) login_ended(std::nullopt);
      if (status_changed_) status_changed_(now, before);
      break;
    }
    case ACKTYPE_LOGIN: {
      if (ack.result != ACKRESULT_FAILED) break;
      Event failed("login_failed");
      failed.set("status", "offline").set("reason", login_failure_text(ack.param));
      // The plug-in keeps the reason of a refused encryption in words (the certificate or the
      // offer), and what it tried when it found no server (a mistyped address shows in it).
      const bool in_words = ack.param == LOGINERR_WRONGPROTOCOL || ack.param == LOGINERR_NOSERVER ||
                            ack.param == LOGINERR_TIMEOUT;
      if (in_words) {
        std::string line = security_line(host_, book_.module());
        const std::string prefix = "not connected: ";
        if (line.rfind(prefix, 0) == 0) {
          std::string why = line.substr(prefix.size());
          failed.set("reason",
                     ack.param == LOGINERR_WRONGPROTOCOL ? why : login_failure_text(ack.param) + ": " + why);
        }
        // A certificate refused for the pin: both, for the user to compare and to trust.
        SecurityLine refusal = read_security_line(line);
        if (!refusal.pinned.empty())
          failed.set("certificate", refusal.certificate).set("pinned", refusal.pinned);
      }
      bool watching;
      {
        std::lock_guard lock(login_mu_);
        watching = login_.active;
      }
      // Logged in elsewhere ends a session that is up, with no log-in being watched.
      if (watching)
        login_ended(std::move(failed));
      else
        view_.show(failed);
      break;
    }
    case ACKTYPE_MESSAGE: {
      PendingMessage pending;
      {
        std::lock_guard lock(acks_mu_);
        auto it = pending_messages_.find(static_cast<intptr_t>(ack.process));
        if (it != pending_messages_.end()) {
          pending = it->second;
          pending_messages_.erase(it);
        }
      }
      hostsim::Handle contact = pending.contact ? pending.contact : ack.contact;
      bool delivered = ack.result == ACKRESULT_SUCCESS;
      if (delivered && pending.contact) {
        // As the host's message window does: a sent message enters the history once the
        // protocol reports it delivered.
        EventInfo info{};
        info.size = sizeof(EventInfo);
        info.module = book_.module().c_str();
        info.timestamp = static_cast<DWORD>(std::time(nullptr));
        info.flags = kEventSent | pending.flags;
        info.event_type = EVENTTYPE_MESSAGE;
        info.blob_size = static_cast<DWORD>(pending.text.size() + 1);
        info.blob = reinterpret_cast<BYTE*>(pending.text.data());
        host_.call_service(MS_DB_EVENT_ADD, contact, reinterpret_cast<LPARAM>(&info));
        profile_dirty_ = true;
      }
      const std::string text =
          pending.flags & DBEF_UTF8 ? valid_utf8(pending.text) : from_cp1251(pending.text);
      // A failure carries the plug-in's reason, a text in its code page.
      const std::string reason = delivered ? "" : from_cp1251(ack.param_text);
      const bool kept = message_acknowledged_ &&
                        message_acknowledged_(static_cast<intptr_t>(ack.process), delivered, reason);
      Event event(kept ? "queued" : "delivered");
      event.set("ack", static_cast<int64_t>(ack.process))
          .set("to", book_.state(contact).address)
          .set("name", book_.state(contact).name);
      if (kept)
        event.set("again", true);
      else
        event.set("delivered", delivered);
      event.set("text", text);
      if (!delivered) event.set("reason", reason);
      view_.show(event);
      break;
    }
    case ACKTYPE_SEARCH: {
      auto id = static_cast<intptr_t>(ack.process);
      if (ack.result == ACKRESULT_DATA) {
        {
          std::lock_guard lock(acks_mu_);
          ++searches_[id];
        }
        // Host text: UTF-8 where the host takes it, else its code page.
        auto text = [&](const std::optional<std::string>& value) {
          std::string t = value.value_or("");
          return host_.takes_utf8() ? valid_utf8(t) : from_cp1251(t);
        };
        Event result("search_result");
        result.set("id", static_cast<int64_t>(id))
            .set("email", text(ack.search_email))
            .set("nick", text(ack.search_nick))
            .set("first_name", text(ack.search_first_name))
            .set("last_name", text(ack.search_last_name));
        // This protocol's own fields after the host's record (host/search_record.h).
        if (ack.search_record.size() == sizeof(MrimSearchResult)) {
          MrimSearchResult hit{};
          std::memcpy(&hit, ack.search_record.data(), sizeof hit);
          hit.city[sizeof hit.city - 1] = '\0';
          result.set("city", text(std::string(hit.city)))
              .set("age", static_cast<int64_t>(hit.age))
              .set("status", status_name(static_cast<int>(hit.status)));
        }
        view_.show(result);
      } else {
        int found = 0;
        {
          std::lock_guard lock(acks_mu_);
          found = searches_[id];
          searches_.erase(id);
          if (auto it = search_addresses_.find(id); it != search_addresses_.end()) {
            last_hits_[it->second] = found;
            search_addresses_.erase(it);
          }
        }
        view_.end_wait(search_key(id));
        Event done("search_done");
        done.set("id", static_cast<int64_t>(id)).set("found", found);
        // A full page closes with "More.": the same query again brings the next one.
        if (ack.result == ACKRESULT_SUCCESS && ack.param_text == "More.") done.set("more", true);
        if (ack.result == ACKRESULT_FAILED) done.set("error", from_cp1251(ack.param_text));
        view_.show(done);
      }
      break;
    }
    case ACKTYPE_GETINFO:
      show_details(ack);
      break;
    case ACKTYPE_CONTACTS: {
      Event sent("contacts_sent");
      sent.set("id", static_cast<int64_t>(ack.process))
          .set("to", book_.state(ack.contact).address)
          .set("delivered", ack.result == ACKRESULT_SUCCESS);
      if (ack.result != ACKRESULT_SUCCESS) sent.set("reason", from_cp1251(ack.param_text));
      view_.show(sent);
      break;
    }
    case ACKTYPE_AWAYMSG: {
      std::string text = host_.takes_utf8() ? valid_utf8(ack.param_text) : from_cp1251(ack.param_text);
      view_.show(Event("away_message").set("address", book_.state(ack.contact).address).set("text", text));
      break;
    }
    case ACKTYPE_AUTHREQ:
      if (ack.result == ACKRESULT_SUCCESS)
        view_.show(Event("authorized").set("address", book_.state(ack.contact).address));
      break;
    default:
      break;
  }
}

void EventSources::show_details(const hostsim::AckRecord& ack) {
  hostsim::Handle contact = ack.contact;
  Event event("details");
  event.set("address", book_.state(contact).address).set("ok", ack.result == ACKRESULT_SUCCESS);
  Value fields = Value::object();
  if (ack.result == ACKRESULT_SUCCESS) {
    const std::string& m = book_.module();
    auto text = [&](const char* field, const char* setting) {
      if (auto value = book_.text(contact, setting)) fields[field] = *value;
    };
    text("nick", "Nick");
    text("first_name", "FirstName");
    text("last_name", "LastName");
    text("email", "e-mail");
    text("location", "Location");
    text("client", "MirVer");
    text("phone", "Phone");
    auto year = book_.number(contact, m, "BirthYear");
    auto month = book_.number(contact, m, "BirthMonth");
    auto day = book_.number(contact, m, "BirthDay");
    if (year || month || day) {
      char birthday[32];
      std::snprintf(birthday, sizeof birthday, "%04u-%02u-%02u", year.value_or(0), month.value_or(0),
                    day.value_or(0));
      fields["birthday"] = birthday;
    }
    if (auto gender = book_.number(contact, m, "Gender"))
      fields["gender"] = *gender == 77 ? "male" : *gender == 70 ? "female" : "";
    text("zodiac", "Zodiac");
    text("city_id", "City_id");
    text("country_id", "Country_id");
  }
  view_.show(event.set("fields", std::move(fields)));
}

void EventSources::take_records() {
  std::vector<hostsim::TypingRecord> typing = host_.typing();
  for (; typing_seen_ < typing.size(); ++typing_seen_) {
    const hostsim::TypingRecord& record = typing[typing_seen_];
    if (!book_.is_ours(record.contact)) continue;
    if (dirty_.count(record.contact)) show_contact(record.contact);
    Event event("typing");
    add_who(event, record.contact, "from");
    view_.show(event.set("seconds", record.seconds));
  }
  std::vector<hostsim::TrayNotice> tray = host_.tray_notices();
  for (; tray_seen_ < tray.size(); ++tray_seen_) {
    const hostsim::TrayNotice& notice = tray[tray_seen_];
    if (notice.protocol != book_.module()) continue;
    if (notice.info_flags == NIIF_WARNING) {
      std::string text = from_cp1251(notice.text);
      {
        std::lock_guard lock(changes_mu_);
        if (in_edit_) {
          refusals_.push_back(std::move(text));
          continue;
        }
      }
      view_.show(Event("warning").set("title", from_cp1251(notice.title)).set("text", text));
      continue;
    }
    view_.show(Event("new_mail")
                   .set("style", "balloon")
                   .set("title", from_cp1251(notice.title))
                   .set("text", from_cp1251(notice.text)));
  }
  std::vector<hostsim::MessageBoxRecord> boxes = host_.message_boxes();
  for (; boxes_seen_ < boxes.size(); ++boxes_seen_)
    view_.show(Event("notice")
                   .set("title", boxes[boxes_seen_].title_utf8)
                   .set("text", boxes[boxes_seen_].text_utf8));
}

void EventSources::take_database_events() {
  hostsim::Profile& profile = host_.profile();
  std::vector<hostsim::StoredEvent> fresh;
  if (deletion_seen_) {
    // A contact deleted with events nobody has looked at yet leaves a gap in the handles:
    // look at every event instead of walking the handles one by one.
    deletion_seen_ = false;
    for (hostsim::Handle contact : profile.contacts())
      for (hostsim::StoredEvent& event : profile.events(contact))
        if (event.handle > last_event_) fresh.push_back(std::move(event));
    std::sort(fresh.begin(), fresh.end(), [](const auto& a, const auto& b) { return a.handle < b.handle; });
  } else {
    while (std::optional<hostsim::StoredEvent> event = profile.event(last_event_ + 1)) {
      ++last_event_;
      fresh.push_back(std::move(*event));
    }
  }
  for (const hostsim::StoredEvent& event : fresh) {
    last_event_ = std::max(last_event_, event.handle);
    profile_dirty_ = true;
    // A deleted contact's events kept for its address belong to no contact of the account.
    if (event.module != book_.module() || (event.flags & kEventSent) || !book_.is_ours(event.contact))
      continue;
    if (dirty_.count(event.contact)) show_contact(event.contact);
    ContactState from = book_.state(event.contact);
    if (event.type == EVENTTYPE_AUTHREQUEST) {
      view_.show(Event("auth_request")
                     .set("from", from.address)
                     .set("name", from.name)
                     .set("text", auth_request_text(event.blob, event.flags))
                     .set("time", event.timestamp));
    } else if (event.type == EVENTTYPE_CONTACTS) {
      Value contacts = Value::array();
      for (const auto& [nick, address] : sent_contacts(event.blob, event.flags))
        contacts.push_back(Value{{"name", nick}, {"address", address}});
      view_.show(Event("contacts")
                     .set("from", from.address)
                     .set("name", from.name)
                     .set("contacts", std::move(contacts))
                     .set("time", event.timestamp));
    } else if (event.type == EVENTTYPE_MICROBLOG) {
      view_.show(Event("post")
                     .set("address", from.address)
                     .set("name", from.name)
                     .set("text", message_text(event.blob, event.flags))
                     .set("time", event.timestamp));
    } else if (event.type == EVENTTYPE_MESSAGE && is_mailbox(from.address)) {
      view_.show(Event("new_mail")
                     .set("style", "mailbox")
                     .set("title", from.address)
                     .set("text", message_text(event.blob, event.flags)));
    } else if (event.type == EVENTTYPE_MESSAGE) {
      const std::string text = message_text(event.blob, event.flags);
      view_.show(Event("message")
                     .set("from", from.address)
                     .set("name", from.name)
                     .set("text", text)
                     .set("time", event.timestamp));
      if (message_received_) message_received_(from.address, text, event.timestamp);
    }
  }
}

void EventSources::check_login() {
  {
    std::lock_guard lock(login_mu_);
    if (!login_.active) return;
    // The plug-in reports every failure with a log-in acknowledgement; this is the last resort
    // for a log-in that ends neither way.
    if (Clock::now() < login_.deadline) return;
  }
  login_ended(Event("login_failed").set("status", "offline").set("reason", "no answer from the server"));
}

void EventSources::login_ended(std::optional<Event> failure) {
  {
    std::lock_guard lock(login_mu_);
    if (!login_.active) return;
    login_.active = false;
  }
  view_.end_wait("status");
  if (!failure) return;
  INT_PTR status = host_.call_service(book_.module() + "/GetStatus", 0, 0);
  if (status != ID_STATUS_OFFLINE) return;  // it did get through after all
  view_.show(*failure);
}

}  // namespace console
