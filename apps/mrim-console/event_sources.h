// Turns what the plug-in tells the host into console events, as it happens: acknowledgements
// (status, failed log-in, message delivery, search, details), typing notices, tray notices and message boxes
// from the host's records; contact changes from the host's setting-changed and contact-deleted
// events; messages and authorization requests from the events added to the database. A thread
// of its own watches them, so that the command loop may block in a service call meanwhile.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
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

  // A message send or a search is started while this is held, and registered before it is
  // released, so that its acknowledgement, however quick, finds the registration.
  std::unique_lock<std::mutex> hold_acks() { return std::unique_lock(acks_mu_); }
  void message_sent(intptr_t ack, hostsim::Handle contact, const std::string& text_cp1251);
  void search_started(intptr_t id, const std::string& address);
  // A status request that needs a log-in: watch for its acknowledgement or its failure.
  void login_started(int requested_status, uint32_t timeout_seconds);

 private:
  struct Change {
    hostsim::Handle contact = 0;
    bool deleted = false;
    ContactState last;  // for a deletion: the contact as it was
  };
  struct PendingMessage {
    hostsim::Handle contact = 0;
    std::string text;  // code page 1251, stored in the history on delivery
  };
  struct LoginWatch {
    bool active = false;
    int status = 0;
    std::chrono::steady_clock::time_point deadline;
  };

  void run();
  void collect(bool settle_all);
  void take_acks();
  void take_records();
  void take_database_events();
  void take_contact_changes(bool settle_all);
  void show_contact(hostsim::Handle contact);
  void check_login();
  void login_ended(const std::string& failure);
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

  size_t acks_seen_ = 0, typing_seen_ = 0, tray_seen_ = 0, boxes_seen_ = 0;
  hostsim::Handle last_event_ = 0;  // database events up to this handle have been looked at

  std::mutex acks_mu_;
  std::map<intptr_t, PendingMessage> pending_messages_;
  std::map<intptr_t, int> searches_;  // search id -> hits so far

  std::mutex login_mu_;
  LoginWatch login_;

  std::function<void()> profile_changed_;
  bool profile_dirty_ = false;
  std::chrono::steady_clock::time_point last_save_;

  std::vector<hostsim::Handle> hooks_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace console
