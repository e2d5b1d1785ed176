// Turns what the plug-in tells the host into console events, as it happens: acknowledgements
// (status, failed log-in, message delivery, search, details, contacts' pictures, our posts),
// typing notices, tray notices and message boxes from the host's records; contact changes from the
// host's setting-changed and contact-deleted events, the reconnect the plug-in plans after a
// lost connection from its account setting "ReconnectIn", and the first certificate it pins from
// "CertificatePin"; messages, authorization requests and contacts' posts from the events added
// to the database.
// A thread of its own watches them, so that the command loop may block in a service call
// meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "contact_book.h"
#include "hostsim/host.h"
#include "view.h"

namespace console {

class EventSources {
 public:
  EventSources(hostsim::Host& host, ContactBook& book, View& view);
  ~EventSources();

  // Hooks the host's events, takes note of what exists already and starts watching.
  void start();
  // Shows what is still pending and stops watching.
  void stop();
  // Shows everything that has happened up to now (contact changes included, without waiting
  // for them to settle).
  void flush();
  // Called at most every two seconds while the profile keeps changing (to save it).
  void on_profile_changed(std::function<void()> callback);
  // Set before start(); called on the watching thread. Each status change the plug-in
  // acknowledges (the new status), and each message acknowledgement: `kept` answers whether the
  // message waits to go again (its connection was lost), which is then shown instead of a
  // failure.
  void on_status_changed(std::function<void(int status, int previous)> callback) {
    status_changed_ = std::move(callback);
  }
  // Each message received (after it is shown), and the end of each look at what came.
  void on_message_received(
      std::function<void(const std::string& from, const std::string& text, int64_t time)> cb) {
    message_received_ = std::move(cb);
  }
  void on_collected(std::function<void()> callback) { collected_ = std::move(callback); }
  void on_message_acknowledged(
      std::function<bool(intptr_t ack, bool delivered, const std::string& reason)> kept) {
    message_acknowledged_ = std::move(kept);
  }

  // A message send or a search is started while this is held, and registered before it is
  // released, so that its acknowledgement, however quick, finds the registration.
  std::unique_lock<std::mutex> hold_acks() { return std::unique_lock(acks_mu_); }
  // `text` as the plug-in was given it: UTF-8 when `flags` has DBEF_UTF8, else code page 1251.
  void message_sent(intptr_t ack, hostsim::Handle contact, const std::string& text, DWORD flags);
  void search_started(intptr_t id, const std::string& address);
  // How many hits the last finished search for the address had (letter case aside); none
  // when it was not looked for.
  std::optional<int> hits_of_last_search(const std::string& address);
  // A log-in is under way (`what` says which, for the wait line): watch for its
  // acknowledgement or its failure.
  void login_started(const std::string& what);
  // The user called off the log-in under way: it ends without a word from the plug-in.
  void login_cancelled();
  // Around the call of the user's status request. The plug-in ends a planned reconnect inside
  // that call when the request replaces it, which is then no try; true when that happened.
  void status_request_begins();
  bool status_request_ends();
  // Around the user's edit of the list: the plug-in's tray warnings that come meanwhile are the
  // edit's refusals (the host's list edits have no acknowledgement), handed back by edit_ends()
  // instead of shown.
  void edit_begins();
  std::vector<std::string> edit_ends();
  // The console itself is about to write the account's "CertificatePin": that write is the
  // user's doing, not the plug-in pinning a certificate.
  void pin_written(const std::string& pin);

  // What the plug-in last said of a contact's picture, in an avatar acknowledgement: copied
  // out as it comes, as the record lives for the acknowledgement's call only.
  struct AvatarNews {
    bool present = false;  // ACKRESULT_SUCCESS; otherwise none, or none that could be had
    int format = PA_FORMAT_UNKNOWN;
    std::string path;  // the file, as the plug-in named it
  };
  // A mark to wait from: the avatar acknowledgements counted so far.
  uint64_t avatar_mark();
  // The first word on the contact's picture after `mark`; none when none came before the
  // deadline, or `cut_short` said to stop.
  std::optional<AvatarNews> wait_for_avatar(hostsim::Handle contact, uint64_t mark,
                                            std::chrono::steady_clock::time_point deadline,
                                            const std::function<bool()>& cut_short);
  // Whether the contact's last avatar acknowledgement brought a picture; none before any came.
  std::optional<bool> avatar_seen(hostsim::Handle contact);

  // What the plug-in said of our post, in its acknowledgement: copied out as it comes, as the
  // reason's text lives for the acknowledgement's call only.
  struct PostNews {
    bool stored = false;  // ACKRESULT_SUCCESS: the server stored it
    std::string reason;   // why not, as UTF-8
  };
  // The acknowledgement of the post `id` ("/PostMicroblog"'s answer), which may have come
  // during that call already; none when none came before the deadline, or `cut_short` said to
  // stop. One that comes after such a wait is shown as a "posted" event, with `text`.
  std::optional<PostNews> wait_for_post(intptr_t id, const std::string& text,
                                        std::chrono::steady_clock::time_point deadline,
                                        const std::function<bool()>& cut_short);

 private:
  struct Change {
    hostsim::Handle contact = 0;
    bool deleted = false;
    ContactState last;  // for a deletion: the contact as it was
  };
  struct PendingMessage {
    hostsim::Handle contact = 0;
    std::string text;  // stored in the history on delivery, with the flags
    DWORD flags = 0;
  };
  // A write of the account's that is shown in its place among the acknowledgements: of
  // "ReconnectIn", seconds until the next try (0 once it begins or is called off), or the first
  // "CertificatePin".
  struct SettingNotice {
    uint32_t seconds = 0;
    std::string pinned;      // not empty: a certificate pinned where none was, and no reconnect
    bool by_user = false;    // written during the user's status request
    size_t acks_before = 0;  // acknowledgements the host had recorded by then
  };
  struct AvatarEntry {
    uint64_t serial = 0;  // the avatar acknowledgement's number, from 1
    AvatarNews news;
  };
  // A picture that came, shown in its place among the acknowledgements.
  struct AvatarNotice {
    hostsim::Handle contact = 0;
    AvatarNews news;
    size_t acks_before = 0;  // acknowledgements the host had recorded by then, its own too
  };
  // A post's acknowledgement that came after its command stopped waiting, shown in its place
  // among the acknowledgements.
  struct PostNotice {
    intptr_t id = 0;
    std::string text;
    PostNews news;
    size_t acks_before = 0;  // acknowledgements the host had recorded by then, its own too
  };
  struct LoginWatch {
    bool active = false;
    std::chrono::steady_clock::time_point deadline;
  };

  void run();
  void collect(bool settle_all);
  void take_acks();
  void take_ack(const hostsim::AckRecord& ack);
  void reconnect_written(uint32_t seconds);
  void pin_seen(const std::string& pin);
  void show_notice(const SettingNotice& notice);
  void avatar_acknowledged(const AckData& ack);
  void show_avatar(const AvatarNotice& notice);
  void post_acknowledged(const AckData& ack);
  void show_post(const PostNotice& notice);
  void take_records();
  void take_database_events();
  void take_contact_changes(bool settle_all);
  void show_contact(hostsim::Handle contact);
  void check_login();
  // `failure`: the login_failed event to show when the account is still offline.
  void login_ended(std::optional<Event> failure);
  void show_details(const hostsim::AckRecord& ack);
  void add_who(Event& event, hostsim::Handle contact, const char* address_field);

  hostsim::Host& host_;
  ContactBook& book_;
  View& view_;

  std::mutex collect_mu_;  // one collect at a time: the thread's or flush()'s
  std::mutex changes_mu_;  // filled by the host's event hooks on the plug-in's threads
  std::vector<Change> changes_;
  std::chrono::steady_clock::time_point last_change_;
  std::set<hostsim::Handle> dirty_;
  std::chrono::steady_clock::time_point dirty_since_;
  bool deletion_seen_ = false;
  std::map<hostsim::Handle, ContactState> known_;
  std::vector<SettingNotice> notices_;  // under changes_mu_
  bool in_status_request_ = false;      // under changes_mu_
  bool cancelled_in_request_ = false;   // under changes_mu_
  bool in_edit_ = false;                // under changes_mu_
  std::vector<std::string> refusals_;   // under changes_mu_: the warnings during the edit
  std::string pin_;                     // under changes_mu_: the account's "CertificatePin"
  bool reconnect_planned_ = false;

  size_t acks_seen_ = 0, typing_seen_ = 0, tray_seen_ = 0, boxes_seen_ = 0;
  hostsim::Handle last_event_ = 0;  // database events up to this handle have been looked at

  std::mutex acks_mu_;
  std::map<intptr_t, PendingMessage> pending_messages_;
  std::map<intptr_t, int> searches_;                  // search id -> hits so far
  std::map<intptr_t, std::string> search_addresses_;  // search id -> address, case folded
  std::map<std::string, int> last_hits_;              // address, case folded -> hits

  std::mutex login_mu_;
  LoginWatch login_;

  std::mutex avatar_mu_;
  std::condition_variable avatar_cv_;
  uint64_t avatar_count_ = 0;                       // under avatar_mu_
  std::map<hostsim::Handle, AvatarEntry> avatars_;  // under avatar_mu_: the last word on each
  std::vector<AvatarNotice> avatar_notices_;        // under avatar_mu_: to be shown

  std::mutex post_mu_;
  std::condition_variable post_cv_;
  std::map<intptr_t, PostNews> post_news_;          // under post_mu_: not yet taken by a wait
  std::map<intptr_t, std::string> posts_given_up_;  // under post_mu_: their texts
  std::vector<PostNotice> post_notices_;            // under post_mu_: to be shown

  std::function<void()> profile_changed_;
  std::function<void(int, int)> status_changed_;
  std::function<void(const std::string&, const std::string&, int64_t)> message_received_;
  std::function<void()> collected_;
  std::function<bool(intptr_t, bool, const std::string&)> message_acknowledged_;
  bool profile_dirty_ = false;
  std::chrono::steady_clock::time_point last_save_;

  std::vector<hostsim::Handle> hooks_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace console
