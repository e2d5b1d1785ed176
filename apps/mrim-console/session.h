// One run of the console: the host stand-in with its profile (kept in SQLite when asked), the
// network routes (or the embedded server), the plug-in loaded as the host loads it, the event
// sources, and the commands, each carried to the plug-in through the service the host would
// call.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "contact_book.h"
#include "embedded_server.h"
#include "event_sources.h"
#include "hostsim/dialogs.h"
#include "hostsim/host.h"
#include "hostsim/profile_store.h"
#include "options.h"
#include "outbox.h"
#include "view.h"

namespace console {

class Session {
 public:
  Session(Options options, View& view, bool interactive);
  ~Session();

  // Up to a loaded plug-in whose events are watched. False (after showing why) when the
  // console cannot run.
  bool start();
  // Runs one line of input; false once the console is to end. Lines pasted without the
  // terminal's marks are run as commands only when the user says so.
  bool execute(const std::string& line, bool pasted_without_mark = false);
  // Goes offline, unloads the plug-in and saves the profile.
  void finish();
  // A flag a signal handler sets to cut the running command's wait short.
  void interrupt_with(const volatile std::sig_atomic_t* flag) { interrupt_ = flag; }
  // The account's contacts and groups, for completion at the terminal.
  CompletionData completion_data() const;
  // A conversation is open (chat ADDRESS): plain lines are messages to its contact.
  bool in_conversation() const { return !chat_address_.empty(); }
  void close_conversation();
  // The line being typed, after each key: a message line (in a conversation, or msg ADDRESS
  // and a text) tells its contact that the user types, as the host's message window does.
  void typed(const std::string& line);

 private:
  void run(const Command& command);
  void status(const Command& command);
  // Asks the plug-in for a status as the host does, watching the log-in it may start; the
  // plug-in's answer (0: taken), none (after an error event) without the service.
  // `reconnect_cancelled` says whether the request called off a planned reconnect.
  std::optional<INT_PTR> request_status(const std::string& command, int wanted, int current,
                                        bool* reconnect_cancelled = nullptr);
  void security(const Command& command);
  void trust();
  // The account's own status texts, as the plug-in sends them with its status: empty ones are
  // cleared; *changed is set when one differed. False (after an error event) when the host
  // refused one.
  bool write_status_texts(const std::string& title, const std::string& description, bool* changed);
  // The text, cut to what servers keep; a cut is noted in `cut` ({text, characters, kept}).
  static std::string cut_status_text(const std::string& text, size_t max_characters, const char* what,
                                     Value& cut);
  Event& with_status_texts(Event& answer);
  void send_message(const Command& command);
  // Sends an outbox entry through the plug-in, registered for its acknowledgement; the
  // acknowledgement's number, none (the entry dropped, after an error event) when the plug-in
  // did not take it. One send at a time, so that the outbox's order holds.
  std::optional<INT_PTR> deliver(const OutboxEntry& entry, const std::string& command);
  bool online_now();
  void wake_outbox();
  void run_outbox();  // the outbox's thread: sends what waits whenever the account is online
  void outbox(const Command& command);
  void unread();
  // The contact's messages count as read: the user opened its conversation, its history, or
  // wrote to it.
  void mark_read(const std::string& address);
  void show_unread_count();  // unread_mu_ held
  Value outbox_entries(const std::vector<OutboxEntry>& entries) const;
  void chat(const Command& command);
  void typing(const Command& command);
  void list(const Command& command);
  void search(const Command& command);
  // The last search's words, which `more` repeats: the server's next page.
  void run_search(const std::string& words);
  std::string last_search_;
  void add(const Command& command);
  void rename(const Command& command);
  void move(const Command& command);
  bool edit_waits(hostsim::Handle contact);
  // Makes the edit and gives back why the plug-in says the server did not take it ("; " between
  // reasons); empty when it said nothing.
  std::string refusal_of(const std::function<void()>& edit);
  void groups();
  void group(const Command& command);
  void ignore(const Command& command);
  void away(const Command& command);
  void post(const Command& command);
  void posts();
  void send_contacts(const Command& command);
  void remove(const Command& command);
  void visibility(const Command& command);
  void info(const Command& command);
  void avatar(const Command& command);
  // Whether the contact has a picture: an avatar acknowledgement brought one, or the plug-in
  // has one kept (asked, when `ask`, without a fetch forced).
  bool has_picture(hostsim::Handle contact, bool ask);
  void authorization(const Command& command);
  void request_authorization(const Command& command);
  void history(const Command& command);
  void wait(const Command& command);
  void help(const Command& command);
  std::vector<ContactName> contact_names() const;
  // Runs `call` while watching for the plug-in writing the list number ("Number") of a
  // contact, which it does when the server put the contact on its list. The contacts so
  // written.
  std::vector<hostsim::Handle> watching_list_numbers(const std::function<void()>& call);

  hostsim::Handle temporary_contact(const std::string& address);
  void answer_dialog(hostsim::Dialog& dialog);
  void save_profile();
  // A protocol service of the plug-in, as the host calls it; nullopt (after an error event)
  // when the plug-in has no such service.
  std::optional<INT_PTR> call(const std::string& command, const char* suffix, WPARAM w, LPARAM l);
  std::optional<hostsim::Handle> contact_of(const std::string& command, const std::string& address);
  bool online_for(const std::string& command);
  int account_status();
  void error(const std::string& command, const std::string& message);
  // Asks a person at the terminal, who answers with one key; yes without one (a program
  // drives the console, and asked for what it wrote).
  bool confirm(const std::string& question);
  void ok(Event event);

  Options options_;
  View& view_;
  const bool interactive_;
  std::string module_;
  std::unique_ptr<EmbeddedServer> embedded_;
  std::unique_ptr<hostsim::Host> host_;
  std::unique_ptr<hostsim::ProfileStore> store_;
  std::mutex save_mu_;
  std::unique_ptr<ContactBook> book_;
  std::unique_ptr<EventSources> sources_;
  bool loaded_ = false;
  int chosen_status_ = ID_STATUS_OFFLINE;  // the status the user asked for last
  // The open conversation's contact, "" for none: written on the command thread under
  // unread_mu_, read there freely and elsewhere under the lock.
  std::string chat_address_;
  // Messages received and not read yet, by sender, in order; a summary of them is due at that
  // time after the account came online again (once the stored messages are in).
  struct UnreadMessage {
    int64_t time = 0;
    std::string text;
  };
  std::mutex unread_mu_;
  std::map<std::string, std::vector<UnreadMessage>> unread_;
  std::optional<std::chrono::steady_clock::time_point> summary_due_;
  // The contact told that the user types, and when last.
  hostsim::Handle typing_to_ = 0;
  std::chrono::steady_clock::time_point typing_told_;
  void stop_typing();
  std::unique_ptr<Outbox> outbox_;
  std::mutex send_mu_;  // one message through the plug-in at a time
  std::mutex outbox_mu_;
  std::condition_variable outbox_wake_;
  bool outbox_kicked_ = false;  // under outbox_mu_
  bool outbox_stop_ = false;    // under outbox_mu_
  std::thread outbox_thread_;
  hostsim::Handle keep_hook_ = 0;  // keeps a deleted contact's history
  const volatile std::sig_atomic_t* interrupt_ = nullptr;
};

// The module name the plug-in takes from its file name: no folder, no extension, at most 30
// characters.
std::string module_name_of(const std::string& plugin_path);

}  // namespace console
