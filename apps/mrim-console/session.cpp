// One run of the console (see session.h).
#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <thread>

#include "account_setup.h"
#include "charset.h"
#include "hostsim/dialogs.h"
#include "hostsim/netlib.h"
#include "hostsim/profile.h"
#include "picture_view.h"
#include "posts.h"
#include "protocol/online.h"
#include "resources/resource.h"
#include "security.h"

#ifndef MRIM_CONSOLE_PLUGIN
#define MRIM_CONSOLE_PLUGIN "MRIM.so"
#endif

namespace console {

namespace {

constexpr size_t kModuleNameMax = 30;
// The console's own notes in the profile, apart from the plug-in's settings.
constexpr const char* kConsoleModule = "MrimConsole";
// 1 while the account's stored server is the embedded one.
constexpr const char* kEmbeddedServerSetting = "EmbeddedServer";

// The host's visibility values of "/SetApparentMode".
int apparent_mode(const std::string& visibility) {
  if (visibility == "visible") return ID_STATUS_ONLINE;
  if (visibility == "invisible") return ID_STATUS_OFFLINE;
  return 0;
}

// A value the options page would not store is shown as it is.
std::string encryption_name(uint32_t value) {
  return value < std::size(kEncryptionNames) ? kEncryptionNames[value] : std::to_string(value);
}

// The plug-in serves "not available" as away.
int served_status(int wanted) { return wanted == ID_STATUS_NA ? ID_STATUS_AWAY : wanted; }

}  // namespace

std::string module_name_of(const std::string& plugin_path) {
  std::string name = plugin_path;
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  if (name.size() > kModuleNameMax) name.resize(kModuleNameMax);
  return name;
}

Session::Session(Options options, View& view, bool interactive)
    : options_(std::move(options)), view_(view), interactive_(interactive) {
  if (options_.plugin.empty()) options_.plugin = MRIM_CONSOLE_PLUGIN;
  module_ = module_name_of(options_.plugin);
}

Session::~Session() { finish(); }

bool Session::start() {
  host_ = std::make_unique<hostsim::Host>();
  host_->record_setting_writes(false);
  // Before the plug-in is loaded: it is told the version as it loads.
  host_->set_version(options_.host_version);

  std::string reason;
  store_ = hostsim::ProfileStore::open(options_.profile, reason);
  if (!store_ || !store_->load(host_->profile(), reason)) {
    // A file that could not be read whole is left as it is: nothing is saved over it.
    store_.reset();
    error("", "profile " + options_.profile + ": " + reason);
    return false;
  }

  // A kept profile keeps the plug-in's folder beside it (the pictures' cache), as a host's profile
  // folder holds its plug-ins' files; one in memory gets a temporary folder that goes with it.
  if (options_.profile != ":memory:") {
    std::filesystem::path folder = std::filesystem::absolute(options_.profile).parent_path();
    host_->set_profile_folder(folder.string());
  }
  if (options_.account) store_account(*host_, module_, *options_.account, options_.password);
  if (options_.new_mail != NewMail::keep || !host_->setting(0, module_, "NMNotify")) {
    // What the options page stores for "New Mail Notify" and the balloon style.
    NewMail style = options_.new_mail == NewMail::keep ? NewMail::balloon : options_.new_mail;
    host_->write_setting(0, module_, "NMNotify", hostsim::Setting::byte(style == NewMail::off ? 0 : 1));
    host_->write_setting(0, module_, "NMPN", hostsim::Setting::dword(style == NewMail::balloon ? 1 : 0));
  }
  // What the options page's choice of revision stores; read by the plug-in as it goes online.
  store_protocol_revision(*host_, module_,
                          options_.protocol_revision.value_or(protocol_revision(*host_, module_)));

  // What the options page's encryption choice stores; read by the plug-in as a session starts.
  if (options_.encryption || !host_->setting(0, module_, "Encryption"))
    host_->write_setting(0, module_, "Encryption", hostsim::Setting::byte(options_.encryption.value_or(1)));

  hostsim::Netlib& netlib = host_->netlib();
  std::string server = "embedded";
  // A profile keeps the server it was given: only --server names another. The embedded server's
  // address changes with every start, so the profile notes that it held that one, and a profile
  // with no server of its own gets the embedded one too.
  std::optional<std::string> stored_host = read_text(*host_, 0, module_, "Server");
  std::optional<hostsim::Setting> stored_port = host_->setting(0, module_, "Port");
  // A profile of an earlier console has no such note: that console took the embedded server
  // whenever no --server was given, and stored its loopback address, which is gone now.
  const std::optional<hostsim::Setting> noted = host_->setting(0, kConsoleModule, kEmbeddedServerSetting);
  const bool stored_embedded =
      noted ? *noted == hostsim::Setting::byte(1) : stored_host && *stored_host == "127.0.0.1";
  const bool keep_stored = !options_.server_given && stored_host && !stored_host->empty() && stored_port &&
                           stored_port->number != 0 && !stored_embedded;
  // Where the plug-in fetches contacts' pictures, as the options page stores it: what
  // --avatar-server says, else the embedded server's picture service, whose port changes with
  // every start too. A server of the user's own keeps the profile's choice, but for the
  // embedded one's, which is gone: empty, the MRIM server's host.
  std::optional<std::string> avatar_server = options_.avatar_server;
  if (options_.embedded && !keep_stored) {
    std::string account = account_address(*host_, module_);
    ContactBook book(*host_, module_);
    auto delivered = [&](const std::string& to, const std::string& from, const std::string& text) {
      std::optional<hostsim::Handle> sender = book.find(from);
      if (to != account || !sender) return false;
      for (const HistoryEntry& entry : book.history(*sender))
        if (!entry.outgoing && !entry.auth_request && !entry.post && entry.text == from_cp1251(text))
          return true;
      return false;
    };
    embedded_ = EmbeddedServer::start(options_.accounts_file, certificate_files_for(options_.profile), reason,
                                      delivered, options_.community);
    if (!embedded_) {
      error("", reason);
      return false;
    }
    embedded_->add_routes(netlib);
    store_server(*host_, module_, "127.0.0.1", embedded_->address_port());
    if (!avatar_server) avatar_server = "127.0.0.1:" + std::to_string(embedded_->avatar_port());
    host_->write_setting(0, kConsoleModule, kEmbeddedServerSetting, hostsim::Setting::byte(1));
  } else if (keep_stored) {
    server = *stored_host + ":" + std::to_string(stored_port->number);
  } else {
    // As a user would choose the server on the options page.
    server = options_.server_host + ":" + std::to_string(options_.server_port);
    store_server(*host_, module_, options_.server_host, options_.server_port);
    host_->write_setting(0, kConsoleModule, kEmbeddedServerSetting, hostsim::Setting::byte(0));
    if (!avatar_server && stored_embedded) avatar_server = "";
  }
  if (avatar_server)
    host_->write_setting(0, module_, "AvatarServer", hostsim::Setting::string(*avatar_server));
  for (const Route& route : options_.routes)
    netlib.add_route(route.name, route.port, route.host, route.real_port);

  {
    // The plug-in shows its set-up dialog while it loads when the account is incomplete; the
    // person at the terminal answers it.
    hostsim::DialogDesk desk([this](hostsim::Dialog& dialog) { answer_dialog(dialog); });
    if (!host_->load_plugin(options_.plugin)) {
      error("", host_->error());
      return false;
    }
  }
  loaded_ = true;
  host_->modules_loaded();
  const std::vector<std::string> protocols = host_->registered_protocols();
  if (std::find(protocols.begin(), protocols.end(), module_) == protocols.end())
    error("", "the plug-in did not register the protocol " + module_);

  book_ = std::make_unique<ContactBook>(*host_, module_);
  // Raised before the contact goes, while its events are still there.
  keep_hook_ = host_->hook_event(ME_DB_CONTACT_DELETED, [this](WPARAM contact, LPARAM) -> INT_PTR {
    book_->keep_history(static_cast<hostsim::Handle>(contact));
    return 0;
  });
  sources_ = std::make_unique<EventSources>(*host_, *book_, view_);
  sources_->on_profile_changed([this] { save_profile(); });
  outbox_ = std::make_unique<Outbox>(*host_);
  sources_->on_status_changed([this](int status, int previous) {
    if (status != ID_STATUS_OFFLINE) wake_outbox();
    // Back online, or back from away: what came meanwhile is summed up once. Stored messages
    // come right after the log-in, so the summary waits a moment for them.
    const bool back = status == ID_STATUS_ONLINE && previous != ID_STATUS_ONLINE;
    std::lock_guard lock(unread_mu_);
    if (back) summary_due_ = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  });
  sources_->on_message_received([this](const std::string& from, const std::string& text, int64_t time) {
    std::lock_guard lock(unread_mu_);
    if (from == chat_address_) return;
    unread_[from].push_back({time, text});
    show_unread_count();
  });
  sources_->on_collected([this] {
    std::lock_guard lock(unread_mu_);
    if (!summary_due_ || std::chrono::steady_clock::now() < *summary_due_) return;
    summary_due_.reset();
    size_t messages = 0;
    for (const auto& [from, list] : unread_) messages += list.size();
    if (messages > 0)
      view_.show(Event("unread_summary")
                     .set("messages", static_cast<int64_t>(messages))
                     .set("contacts", static_cast<int64_t>(unread_.size())));
  });
  sources_->on_message_acknowledged([this](intptr_t ack, bool delivered, const std::string& reason) {
    // Lost with its connection, or refused for want of one: it goes again once online. The
    // plug-in's reason for a lost connection is one of its fixed texts. A refusal of the
    // server's own, or no confirmation in time (the server may have it), ends it here.
    bool again =
        !delivered && (reason == "The connection to the server was lost." ||
                       reason == "The message could not be sent." || account_status() == ID_STATUS_OFFLINE);
    std::optional<OutboxEntry> entry = outbox_->acknowledged(ack, again);
    if (again && entry) wake_outbox();
    return again && entry.has_value();
  });

  std::string account = account_address(*host_, module_);
  Event ready("ready");
  ready.set("module", module_)
      .set("account", account.empty() ? Value() : Value(account))
      .set("server", server)
      .set("profile", options_.profile)
      .set("plugin", options_.plugin)
      .set("host_version", host_version_text(host_->version()))
      .set("utf8", host_->takes_utf8())
      .set("protocol", revision_text(protocol_revision(*host_, module_)))
      .set("encryption", encryption_name(book_->number(0, module_, "Encryption").value_or(1)));
  if (embedded_) {
    Value answering = Value::array();
    for (const std::string& email : embedded_->answering()) answering.push_back(email);
    ready.set("answering", std::move(answering));
  }
  view_.show(ready);
  sources_->start();
  if (std::vector<OutboxEntry> waiting = outbox_->entries(); !waiting.empty())
    view_.show(Event("outbox").set("entries", outbox_entries(waiting)).set("at_start", true));
  outbox_thread_ = std::thread([this] { run_outbox(); });
  return true;
}

void Session::answer_dialog(hostsim::Dialog& dialog) {
  // Without a person at a terminal there is nobody to ask: the dialog is cancelled, and the
  // plug-in starts without an account.
  if (dialog.template_id() != IDD_ACCOUNT_SETUP || !interactive_) {
    dialog.press_cancel();
    return;
  }
  std::string email, password;
  if (!ask_account(from_cp1251(dialog.text(IDC_SETUP_EMAIL)), email, password)) {
    dialog.press_cancel();
    return;
  }
  dialog.type(IDC_SETUP_EMAIL, to_cp1251(email));
  dialog.type(IDC_SETUP_PASSWORD, to_cp1251(password));
  dialog.press_ok();
}

void Session::finish() {
  if (!host_) return;
  if (outbox_thread_.joinable()) {
    {
      std::lock_guard lock(outbox_mu_);
      outbox_stop_ = true;
    }
    outbox_wake_.notify_all();
    outbox_thread_.join();
  }
  if (loaded_) {
    if (account_status() != ID_STATUS_OFFLINE) call("quit", "/SetStatus", ID_STATUS_OFFLINE, 0);
    if (sources_) sources_->stop();
    host_->unload_plugins();
    loaded_ = false;
  }
  if (keep_hook_) host_->unhook_event(keep_hook_);
  keep_hook_ = 0;
  // What still waits stays in the profile for the next start; an in-memory one loses it.
  if (outbox_ && !outbox_->entries().empty())
    view_.show(Event("outbox")
                   .set("entries", outbox_entries(outbox_->entries()))
                   .set("at_end", true)
                   .set("kept", options_.profile != ":memory:"));
  save_profile();
  view_.show(Event("bye"));
  sources_.reset();
  book_.reset();
  // The plug-in is gone: the servers may go, then the host with its sockets.
  embedded_.reset();
  host_.reset();
  store_.reset();
}

void Session::save_profile() {
  std::lock_guard lock(save_mu_);
  if (!store_ || !host_) return;
  std::string reason;
  if (!store_->save(host_->profile(), reason)) error("", "cannot save the profile: " + reason);
}

void Session::typed(const std::string& line) {
  // The contact a message line is for, when the line holds some of the message already.
  hostsim::Handle to = 0;
  std::string address;
  if (in_conversation() && !line.empty() && line[0] != '/') {
    address = chat_address_;
  } else {
    ParseResult parsed = parse_command(line);
    if (parsed.command && parsed.command->name == "msg") {
      Resolved resolved = resolve_address(parsed.command->args[0], contact_names());
      if (resolved.error.empty()) address = resolved.address;
    }
  }
  if (!address.empty())
    if (std::optional<hostsim::Handle> contact = book_->find(address)) to = *contact;
  if (to != typing_to_) stop_typing();
  if (to == 0 || !online_now()) return;
  // One notice when typing starts, another every few seconds while it goes on (a notice shows
  // for about ten seconds on the other side), as the host's message window paces them.
  const auto now = std::chrono::steady_clock::now();
  if (typing_to_ == to && now - typing_told_ < std::chrono::seconds(5)) return;
  typing_to_ = to;
  typing_told_ = now;
  host_->call_service(module_ + "/UserIsTyping", to, 1);
}

void Session::stop_typing() {
  if (typing_to_ == 0) return;
  host_->call_service(module_ + "/UserIsTyping", typing_to_, 0);
  typing_to_ = 0;
}

namespace {

bool each_line_a_message(const std::string& lines) {
  for (size_t start = 0; start <= lines.size();) {
    size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    if (end > start && parse_command(lines.substr(start, end - start)).name != "msg") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool Session::execute(const std::string& typed, bool pasted_without_mark) {
  // The line is sent or given up: no more notices of typing for it.
  stop_typing();
  // In a conversation a line is a message, whole with its line breaks, unless it starts with
  // "/": then it is a command.
  std::string line = typed;
  if (in_conversation()) {
    if (line.empty() || line[0] != '/') {
      if (line.find_first_not_of(" \t\n") == std::string::npos) return true;
      send_message(Command{"msg", {chat_address_, line}});
      return true;
    }
    line.erase(0, 1);
  }
  // Several lines at once (a paste) are several commands, but for a message, which keeps them;
  // a paste of messages each with its own "msg" (ten typed at once) is those messages.
  size_t lines_end = line.find('\n');
  if (lines_end != std::string::npos &&
      (parse_command(line.substr(0, lines_end)).name != "msg" || each_line_a_message(line))) {
    if (pasted_without_mark &&
        !confirm("run the " + std::to_string(std::count(line.begin(), line.end(), '\n') + 1) +
                 " pasted lines as commands?"))
      return true;
    for (size_t start = 0; start <= line.size(); start = lines_end + 1) {
      lines_end = line.find('\n', start);
      if (lines_end == std::string::npos) lines_end = line.size();
      if (!execute(line.substr(start, lines_end - start))) return false;
    }
    return true;
  }
  ParseResult parsed = parse_command(line);
  if (!parsed.error.empty()) {
    error(parsed.name, parsed.error);
    return true;
  }
  if (!parsed.command) return true;
  Command& command = *parsed.command;
  if (command.name == "quit") return false;
  // A contact's name stands for its address (not in a search, whose words look for strangers).
  std::string usage;
  for (const CommandInfo& entry : command_table())
    if (command.name == entry.name) usage = entry.usage;
  if (usage.find(" ADDRESS") != std::string::npos && !command.args.empty() && command.name != "search") {
    Resolved resolved = resolve_address(command.args[0], contact_names());
    if (!resolved.error.empty()) {
      error(command.name, resolved.error);
      return true;
    }
    command.args[0] = resolved.address;
  }
  run(command);
  return true;
}

std::vector<ContactName> Session::contact_names() const {
  std::vector<ContactName> names;
  if (!book_) return names;
  for (hostsim::Handle contact : book_->contacts()) {
    ContactState state = book_->state(contact);
    if (!state.address.empty()) names.push_back({state.address, state.name});
  }
  return names;
}

CompletionData Session::completion_data() const {
  CompletionData data;
  data.contacts = contact_names();
  if (book_) data.groups = book_->groups();
  return data;
}

void Session::run(const Command& command) {
  const std::string& name = command.name;
  if (name == "status") return status(command);
  if (name == "msg") return send_message(command);
  if (name == "chat") return chat(command);
  if (name == "outbox") return outbox(command);
  if (name == "unread") return unread();
  if (name == "close") {
    if (!in_conversation()) return error("close", "no conversation is open (chat ADDRESS opens one)");
    return close_conversation();
  }
  if (name == "typing") return typing(command);
  if (name == "list") return list(command);
  if (name == "search") return search(command);
  if (name == "more") {
    if (last_search_.empty())
      return error("more", "no search yet (search NAME or search ADDRESS starts one)");
    return run_search(last_search_);
  }
  if (name == "add") return add(command);
  if (name == "rename") return rename(command);
  if (name == "move") return move(command);
  if (name == "groups") return groups();
  if (name == "group") return group(command);
  if (name == "ignore" || name == "unignore") return ignore(command);
  if (name == "away") return away(command);
  if (name == "post") return post(command);
  if (name == "posts") return posts();
  if (name == "contacts") return send_contacts(command);
  if (name == "delete") return remove(command);
  if (name == "visibility") return visibility(command);
  if (name == "info") return info(command);
  if (name == "avatar") return avatar(command);
  if (name == "authorize" || name == "deny") return authorization(command);
  if (name == "reqauth") return request_authorization(command);
  if (name == "history") return history(command);
  if (name == "wait") return wait(command);
  if (name == "help") return help(command);
  if (name == "security") return security(command);
  if (name == "trust") return trust();
}

// --- helpers ----------------------------------------------------------------------------------

void Session::error(const std::string& command, const std::string& message) {
  view_.show(Event("error").set("command", command).set("message", message));
}

void Session::ok(Event event) { view_.show(event); }

bool Session::confirm(const std::string& question) {
  if (!interactive_) return true;
  view_.show(Event("question").set("text", question + " (y/n)"));
  // While a command runs the terminal hands over each key as it comes, without showing it.
  unsigned char key = 0;
  ssize_t got = 0;
  do {
    got = read(STDIN_FILENO, &key, 1);
  } while (got < 0 && errno == EINTR && !(interrupt_ && *interrupt_));
  const bool yes = got == 1 && (key == 'y' || key == 'Y');
  view_.show(Event("answer").set("yes", yes));
  return yes;
}

std::optional<INT_PTR> Session::call(const std::string& command, const char* suffix, WPARAM w, LPARAM l) {
  INT_PTR result = host_->call_service(module_ + suffix, w, l);
  if (result == hostsim::Host::CALLSERVICE_NOTFOUND && !host_->service_exists(module_ + suffix)) {
    error(command, "the plug-in offers no " + module_ + suffix + " service");
    return std::nullopt;
  }
  return result;
}

std::optional<hostsim::Handle> Session::contact_of(const std::string& command, const std::string& address) {
  std::optional<hostsim::Handle> contact = book_->find(address);
  if (!contact) error(command, "no contact " + address + " (see list; add puts an address on the list)");
  return contact;
}

int Session::account_status() {
  INT_PTR status = host_->call_service(module_ + "/GetStatus", 0, 0);
  return status == hostsim::Host::CALLSERVICE_NOTFOUND ? ID_STATUS_OFFLINE : static_cast<int>(status);
}

// As the host does, requests that need the server are not made while the account is offline.
bool Session::online_for(const std::string& command) {
  if (!needs_server(command) || account_status() != ID_STATUS_OFFLINE) return true;
  error(command, "the account is offline (status online first)");
  return false;
}

// --- commands ---------------------------------------------------------------------------------

void Session::status(const Command& command) {
  int current = account_status();
  if (command.args.empty()) {
    Event answer("ok");
    answer.set("command", "status").set("status", status_name(current)).set("asked", true);
    if (current != ID_STATUS_OFFLINE) add_security(*host_, module_, answer);
    ok(with_status_texts(answer));
    return;
  }
  int wanted = *status_code(command.args[0]);
  if (wanted != ID_STATUS_OFFLINE && !account_complete(*host_, module_)) {
    error("status", "no account set up (start with --account ADDRESS --password PASSWORD)");
    return;
  }
  // The texts first, so that the plug-in finds them when it sends the status. A status alone
  // keeps the texts there are; `status away ""` clears them. What servers would cut is cut
  // here, where the user is told, so that the texts kept are the ones the contacts see.
  Value cut = Value::array();
  bool texts_changed = false;
  if (wanted != ID_STATUS_OFFLINE && command.args.size() > 1) {
    std::string title = cut_status_text(command.args[1], MRIM_STATUS_TITLE_MAX, "title", cut);
    std::string description = cut_status_text(command.args.size() > 2 ? command.args[2] : "",
                                              MRIM_STATUS_DESC_MAX, "description", cut);
    if (!write_status_texts(title, description, &texts_changed)) return;
  }
  bool reconnect_cancelled = false;
  std::optional<INT_PTR> result = request_status("status", wanted, current, &reconnect_cancelled);
  if (!result) return;
  if (*result != 0) {
    // The status stays, but new texts went out with it all the same.
    Event answer("ok");
    answer.set("command", "status")
        .set("status", status_name(current))
        .set("unchanged", true)
        .set("texts_changed", texts_changed)
        .set("cut", std::move(cut));
    ok(with_status_texts(answer));
    return;
  }
  int expected = served_status(wanted);
  Event answer("ok");
  answer.set("command", "status")
      .set("status", status_name(expected))
      .set("pending", wanted != ID_STATUS_OFFLINE && expected != current);
  // Offline already, yet the plug-in took the request: it called off what would have brought
  // the account online, a planned reconnect or a log-in under way (a reconnect's try, too).
  if (wanted == ID_STATUS_OFFLINE && current == ID_STATUS_OFFLINE) {
    sources_->login_cancelled();
    answer.set("cancelled", reconnect_cancelled ? "reconnect" : "log-in");
  }
  answer.set("cut", std::move(cut));
  ok(with_status_texts(answer));
}

std::optional<INT_PTR> Session::request_status(const std::string& command, int wanted, int current,
                                               bool* reconnect_cancelled) {
  chosen_status_ = wanted;
  int expected = served_status(wanted);
  // Watched from before the request, so that no line of the log-in escapes the watch.
  if (wanted != ID_STATUS_OFFLINE && expected != current)
    sources_->login_started("going " + status_name(expected));
  sources_->status_request_begins();
  std::optional<INT_PTR> result = call(command, "/SetStatus", static_cast<WPARAM>(wanted), 0);
  bool cancelled = sources_->status_request_ends();
  if (reconnect_cancelled != nullptr) *reconnect_cancelled = cancelled;
  return result;
}

void Session::security(const Command& command) {
  std::optional<std::string> pin = certificate_pin(*host_, module_);
  if (!command.args.empty()) {
    // As the options page stores a pin the user cleared: empty. The plug-in pins the next
    // certificate it meets.
    if (pin) {
      sources_->pin_written("");
      host_->write_setting(0, module_, "CertificatePin", hostsim::Setting::string(""));
    }
    ok(Event("ok").set("command", "security").set("cleared", pin.has_value()));
    return;
  }
  bool encrypted = false;
  std::string line = security_line(*host_, module_, &encrypted);
  std::optional<bool> trusted = read_security_line(line).system_trusted;
  view_.show(Event("security")
                 .set("line", line)
                 .set("encrypted", encrypted)
                 .set("pin", pin ? Value(*pin) : Value())
                 .set("system_trusted", trusted ? Value(*trusted) : Value()));
  ok(Event("ok").set("command", "security"));
}

void Session::trust() {
  // The plug-in keeps the line of its last refusal until the next log-in begins.
  SecurityLine refusal = read_security_line(security_line(*host_, module_));
  if (refusal.encrypted || refusal.pinned.empty()) {
    error("trust",
          "no refused certificate to trust (trust follows a log-in refused because the server's "
          "certificate is not the pinned one)");
    return;
  }
  sources_->pin_written(refusal.certificate);
  host_->write_setting(0, module_, "CertificatePin", hostsim::Setting::string(refusal.certificate));
  Event answer("ok");
  answer.set("command", "trust").set("pin", refusal.certificate);
  // Back to what the user chose; one who chose offline since goes online when they say so.
  int current = account_status();
  int wanted = chosen_status_;
  std::optional<INT_PTR> result;
  if (wanted != ID_STATUS_OFFLINE && current == ID_STATUS_OFFLINE)
    result = request_status("trust", wanted, current);
  bool going = result && *result == 0;
  answer.set("status", status_name(going ? served_status(wanted) : current)).set("pending", going);
  ok(answer);
}

Event& Session::with_status_texts(Event& answer) {
  return answer.set("status_title", read_text(*host_, 0, module_, "StatusTitle").value_or(""))
      .set("status_desc", read_text(*host_, 0, module_, "StatusDesc").value_or(""));
}

std::string Session::cut_status_text(const std::string& text, size_t max_characters, const char* what,
                                     Value& cut) {
  std::wstring wide = wide_from_utf8(text);
  if (wide.size() <= max_characters) return text;
  std::string kept = utf8_from_wide(wide.substr(0, max_characters));
  cut.push_back(Value{{"text", what}, {"characters", max_characters}, {"kept", kept}});
  return kept;
}

bool Session::write_status_texts(const std::string& title, const std::string& description, bool* changed) {
  for (const auto& [setting, text] :
       {std::pair{"StatusTitle", title}, std::pair{"StatusDesc", description}}) {
    // An unchanged text is not written again: the plug-in hears of every write.
    std::optional<std::string> stored = read_text(*host_, 0, module_, setting);
    if (stored ? *stored == text : text.empty()) continue;
    *changed = true;
    if (!write_text(*host_, 0, module_, setting, text)) {
      error("status", std::string("the host did not store the ") +
                          (setting == std::string("StatusTitle") ? "title" : "description"));
      return false;
    }
  }
  return true;
}

void Session::send_message(const Command& command) {
  const std::string& address = command.args[0];
  const std::string& text = command.args[1];
  mark_read(address);
  const int64_t now = std::time(nullptr);
  // Sent at once when the account is online and nothing waits before it; else it waits its turn.
  if (!online_now() || outbox_->has_waiting()) {
    outbox_->add(address, text, now);
    std::optional<hostsim::Handle> contact = book_->find(address);
    view_.show(Event("queued")
                   .set("to", address)
                   .set("name", contact ? book_->state(*contact).name : "")
                   .set("text", text));
    ok(Event("ok").set("command", "msg").set("to", address).set("queued", true));
    wake_outbox();
    return;
  }
  OutboxEntry entry;
  entry.address = address;
  entry.text = text;
  entry.id = outbox_->add(address, text, now);
  std::optional<INT_PTR> ack = deliver(entry, "msg");
  if (!ack) return;
  ok(Event("ok").set("command", "msg").set("ack", static_cast<int64_t>(*ack)).set("to", address));
}

std::optional<INT_PTR> Session::deliver(const OutboxEntry& entry, const std::string& command) {
  std::lock_guard sending(send_mu_);
  std::optional<hostsim::Handle> contact = book_->find(entry.address);
  if (!contact) contact = temporary_contact(entry.address);
  // As the host's message window does: UTF-8 where the host takes it, else its code page.
  bool utf8 = host_->takes_utf8();
  std::string text = utf8 ? valid_utf8(entry.text) : to_cp1251(entry.text);
  std::string service = module_ + "/SendMsg";
  ProtocolCall request{reinterpret_cast<HANDLE>(*contact), service.c_str(), utf8 ? PREF_UTF : 0,
                       reinterpret_cast<LPARAM>(text.c_str())};
  // Registered before the hold ends, so that an acknowledgement however quick finds both.
  auto hold = sources_->hold_acks();
  std::optional<INT_PTR> ack = call(command, "/SendMsg", 0, reinterpret_cast<LPARAM>(&request));
  if (ack && *ack == 0) error(command, "the plug-in did not take the message to " + entry.address);
  if (!ack || *ack == 0) {
    outbox_->drop(entry.id);
    return std::nullopt;
  }
  sources_->message_sent(*ack, *contact, text, utf8 ? DBEF_UTF8 : 0);
  outbox_->sent(entry.id, *ack);
  // Shown before the hold ends, so that it comes before its delivery.
  if (command == "outbox")
    view_.show(Event("sent")
                   .set("ack", static_cast<int64_t>(*ack))
                   .set("to", entry.address)
                   .set("text", entry.text));
  return ack;
}

bool Session::online_now() {
  // The host's statuses of a connected account run from online to "out to lunch" (40080);
  // connecting is below them.
  int status = account_status();
  return status >= ID_STATUS_ONLINE && status <= 40080;
}

void Session::wake_outbox() {
  {
    std::lock_guard lock(outbox_mu_);
    outbox_kicked_ = true;
  }
  outbox_wake_.notify_all();
}

void Session::run_outbox() {
  for (;;) {
    {
      std::unique_lock lock(outbox_mu_);
      // Woken when the account comes online or a message waits again; once a minute anyway,
      // for the messages that have waited a day.
      outbox_wake_.wait_for(lock, std::chrono::minutes(1), [this] { return outbox_stop_ || outbox_kicked_; });
      if (outbox_stop_) return;
      outbox_kicked_ = false;
    }
    for (const OutboxEntry& gone : outbox_->expired(std::time(nullptr)))
      view_.show(Event("delivered")
                     .set("to", gone.address)
                     .set("delivered", false)
                     .set("text", gone.text)
                     .set("reason", "not sent: no connection for a day"));
    while (online_now()) {
      std::optional<OutboxEntry> next = outbox_->next_waiting();
      if (!next) break;
      {
        std::lock_guard lock(outbox_mu_);
        if (outbox_stop_) return;
      }
      deliver(*next, "outbox");
    }
  }
}

void Session::mark_read(const std::string& address) {
  std::lock_guard lock(unread_mu_);
  if (unread_.erase(address) > 0) show_unread_count();
}

void Session::show_unread_count() {
  size_t messages = 0;
  for (const auto& [from, list] : unread_) messages += list.size();
  view_.show(Event("unread_count")
                 .set("messages", static_cast<int64_t>(messages))
                 .set("contacts", static_cast<int64_t>(unread_.size())));
}

void Session::unread() {
  Value senders = Value::array();
  {
    std::lock_guard lock(unread_mu_);
    for (const auto& [from, list] : unread_) {
      std::optional<hostsim::Handle> contact = book_->find(from);
      Value messages = Value::array();
      for (const UnreadMessage& m : list) messages.push_back(Value{{"time", m.time}, {"text", m.text}});
      senders.push_back(Value{{"from", from},
                              {"name", contact ? book_->state(*contact).name : ""},
                              {"messages", std::move(messages)}});
    }
    // Shown, so read.
    if (!unread_.empty()) {
      unread_.clear();
      show_unread_count();
    }
  }
  view_.show(Event("unread").set("senders", std::move(senders)));
  ok(Event("ok").set("command", "unread"));
}

void Session::outbox(const Command& command) {
  if (!command.args.empty() && command.args[0] != "clear")
    return error("outbox", "outbox takes nothing or clear");
  if (command.args.empty()) {
    view_.show(Event("outbox").set("entries", outbox_entries(outbox_->entries())));
    return ok(Event("ok").set("command", "outbox"));
  }
  for (const OutboxEntry& gone : outbox_->clear())
    view_.show(Event("delivered")
                   .set("to", gone.address)
                   .set("delivered", false)
                   .set("text", gone.text)
                   .set("reason", "not sent: taken out of the outbox"));
  ok(Event("ok").set("command", "outbox").set("cleared", true));
}

Value Session::outbox_entries(const std::vector<OutboxEntry>& entries) const {
  Value list = Value::array();
  for (const OutboxEntry& entry : entries)
    list.push_back(Value{
        {"to", entry.address}, {"text", entry.text}, {"time", entry.queued_at}, {"sent", entry.ack != 0}});
  return list;
}

void Session::chat(const Command& command) {
  const std::string& address = command.args[0];
  std::optional<hostsim::Handle> contact = book_->find(address);
  std::string name = contact ? book_->state(*contact).name : "";
  {
    std::lock_guard lock(unread_mu_);
    chat_address_ = address;
  }
  mark_read(address);
  view_.show(Event("chat").set("address", address).set("name", name).set("open", true));
  ok(Event("ok").set("command", "chat").set("address", address));
}

void Session::close_conversation() {
  std::optional<hostsim::Handle> contact = book_->find(chat_address_);
  Event closed("chat");
  closed.set("address", chat_address_)
      .set("name", contact ? book_->state(*contact).name : "")
      .set("open", false);
  {
    std::lock_guard lock(unread_mu_);
    chat_address_.clear();
  }
  view_.show(closed);
  ok(Event("ok").set("command", "close"));
}

// As the host does for a message window opened on an address it does not know: a contact of
// the account that is not on the list, known by its address alone.
hostsim::Handle Session::temporary_contact(const std::string& address) {
  hostsim::Handle contact = host_->add_contact(module_);
  host_->write_setting(contact, module_, "EMail", hostsim::Setting::string(to_cp1251(address)));
  host_->write_setting(contact, "CList", "NotOnList", hostsim::Setting::byte(1));
  return contact;
}

void Session::typing(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("typing", command.args[0]);
  if (!contact || !online_for("typing")) return;
  // 1: the user has started typing.
  if (!call("typing", "/UserIsTyping", *contact, 1)) return;
  ok(Event("ok").set("command", "typing").set("address", book_->state(*contact).address));
}

void Session::list(const Command& command) {
  const bool long_form = !command.args.empty();
  if (long_form && command.args[0] != "--long") {
    error("list", "\"" + command.args[0] + "\" is no option of list (--long shows each contact's client)");
    return;
  }
  Value contacts = Value::array();
  // A plug-in without pictures is not asked: nothing would be known.
  const bool ask = host_->service_exists(module_ + "/GetAvatarInformation");
  for (hostsim::Handle contact : book_->contacts()) {
    ContactState state = book_->state(contact);
    if (state.address.empty()) continue;
    Value entry = contact_value(state);
    entry["picture"] = has_picture(contact, ask);
    entry["post"] = post_value(last_post(*book_, contact));
    std::lock_guard lock(unread_mu_);
    if (auto it = unread_.find(state.address); it != unread_.end())
      entry["unread"] = static_cast<int64_t>(it->second.size());
    contacts.push_back(std::move(entry));
  }
  Value groups = Value::array();
  for (const std::string& group : book_->groups()) groups.push_back(group);
  view_.show(Event("list")
                 .set("contacts", std::move(contacts))
                 .set("groups", std::move(groups))
                 .set("long", long_form));
  ok(Event("ok").set("command", "list"));
}

namespace {

// What a search asks for, from words such as name=Ivan city=Москва age=20-30 online, or one
// address. A bare word is a nickname; a value with spaces goes in quotes (city="Нижний Новгород").
struct SearchQuery {
  std::string address;
  std::string nick, first_name, last_name, city, age_from, age_to;
  bool online = false;
  bool advanced() const { return !city.empty() || !age_from.empty() || !age_to.empty() || online; }
};

bool all_digits(const std::string& text) {
  return !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<SearchQuery> parse_search(const std::string& words, std::string& error) {
  SearchQuery query;
  std::vector<std::string> items;
  std::string current;
  bool quoted = false;
  for (char c : words) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      if (!current.empty()) items.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) items.push_back(current);
  if (items.size() == 1 && is_email_address(items[0])) {
    query.address = items[0];
    return query;
  }
  for (const std::string& item : items) {
    size_t equals = item.find('=');
    std::string key = equals == std::string::npos ? "" : item.substr(0, equals);
    std::string value = equals == std::string::npos ? item : item.substr(equals + 1);
    if (item == "online") {
      query.online = true;
    } else if (key.empty() || key == "name" || key == "nick") {
      query.nick = value;
    } else if (key == "first") {
      query.first_name = value;
    } else if (key == "last") {
      query.last_name = value;
    } else if (key == "city") {
      query.city = value;
    } else if (key == "age") {
      size_t dash = value.find('-');
      query.age_from = dash == std::string::npos ? value : value.substr(0, dash);
      query.age_to = dash == std::string::npos ? value : value.substr(dash + 1);
      if ((!query.age_from.empty() && !all_digits(query.age_from)) ||
          (!query.age_to.empty() && !all_digits(query.age_to)) ||
          (query.age_from.empty() && query.age_to.empty())) {
        error = "age takes years: age=30, age=20-30, age=20- or age=-30";
        return std::nullopt;
      }
    } else {
      error = "\"" + key + "\" is nothing to search by (name, first, last, city, age, online)";
      return std::nullopt;
    }
  }
  if (query.nick.empty() && query.first_name.empty() && query.last_name.empty() && !query.advanced()) {
    error = "nothing to search for";
    return std::nullopt;
  }
  return query;
}

}  // namespace

void Session::search(const Command& command) { run_search(command.args[0]); }

void Session::run_search(const std::string& words) {
  std::string why;
  std::optional<SearchQuery> query = parse_search(words, why);
  if (!query) return error("search", why);
  if (!online_for("search")) return;
  last_search_ = words;
  auto hold = sources_->hold_acks();
  std::optional<INT_PTR> id;
  if (!query->address.empty()) {
    std::string address = to_cp1251(query->address);
    id = call("search", "/SearchByEmail", 0, reinterpret_cast<LPARAM>(address.c_str()));
  } else if (!query->advanced()) {
    // Host text, as the host's find window hands it over.
    auto host_text = [&](const std::string& text) { return host_->takes_utf8() ? text : to_cp1251(text); };
    std::string nick = host_text(query->nick), first = host_text(query->first_name),
                last = host_text(query->last_name);
    SearchByName names{nick.data(), first.data(), last.data()};
    id = call("search", "/SearchByName", 0, reinterpret_cast<LPARAM>(&names));
  } else {
    // The host's find window with the protocol's page of fields, typed in as a user would (a
    // dialog's texts are the system's code page).
    hostsim::SearchWindow window(*host_, module_);
    hostsim::Dialog* page = window.page();
    if (page == nullptr) return error("search", "the plug-in has no advanced search");
    page->type(IDC_ADV_NICK, to_cp1251(query->nick));
    page->type(IDC_ADV_FIRST_NAME, to_cp1251(query->first_name));
    page->type(IDC_ADV_LAST_NAME, to_cp1251(query->last_name));
    page->type(IDC_ADV_CITY, to_cp1251(query->city));
    page->type(IDC_ADV_AGE_FROM, query->age_from);
    page->type(IDC_ADV_AGE_TO, query->age_to);
    if (query->online) page->click(IDC_ADV_ONLINE);
    id = window.search();
  }
  if (!id) return;
  sources_->search_started(*id, query->address.empty() ? words : query->address);
  ok(Event("ok").set("command", "search").set("id", static_cast<int64_t>(*id)).set("query", words));
}

void Session::add(const Command& command) {
  const std::string& wanted = command.args[0];
  if (!is_email_address(wanted)) {
    error("add", "\"" + wanted + "\" is no e-mail address");
    return;
  }
  if (!online_for("add")) return;
  if (std::optional<hostsim::Handle> known = book_->find(wanted); known && book_->state(*known).on_list) {
    error("add", book_->state(*known).address + " is on the list already");
    return;
  }
  // The plug-in would add it anyway, and the server lists any address it is given.
  if (sources_->hits_of_last_search(wanted) == 0) {
    error("add", "the last search found nobody at " + wanted + " (search again to add it)");
    return;
  }
  // [GROUP] [-- TEXT]: the text goes with the request for authorization.
  std::string group = command.args.size() > 1 ? command.args[1] : "";
  std::optional<std::string> request_text;
  if (size_t dash = (" " + group).find(" -- "); dash != std::string::npos) {
    request_text = dash + 3 <= group.size() ? group.substr(dash + 3) : "";
    group = dash == 0 ? "" : group.substr(0, dash - 1);
  } else if (group == "--") {
    request_text = "";
    group.clear();
  }
  // The host adds a contact from a search hit: this is the record a search would have given.
  std::string address = to_cp1251(wanted);
  SearchResult hit{};
  hit.size = sizeof hit;
  hit.nick = address.data();
  hit.email = address.data();
  view_.begin_wait("add", "adding " + wanted);
  std::optional<INT_PTR> contact;
  std::vector<hostsim::Handle> listed;
  // With a text or a group, as the host's add window does for a user it asks to authorize: the
  // contact first, on the host's list in its group, then the request, which puts it on the
  // server's (in that group, made there when new).
  const bool made_here = request_text || !group.empty();
  std::string refusal = refusal_of([&] {
    listed = watching_list_numbers([&] {
      if (!made_here) {
        contact = call("add", "/AddToList", 0, reinterpret_cast<LPARAM>(&hit));
        return;
      }
      hostsim::Handle made = host_->profile().add_contact();
      host_->profile().set_protocol(made, module_);
      write_text(*host_, made, module_, "EMail", wanted);
      if (!group.empty()) write_text(*host_, made, "CList", "Group", group);
      std::string text =
          host_->takes_utf8() ? request_text.value_or("") : to_cp1251(request_text.value_or(""));
      std::string service = module_ + "/AuthRequest";
      ProtocolCall request{reinterpret_cast<HANDLE>(made), service.c_str(), 0,
                           reinterpret_cast<LPARAM>(text.c_str())};
      if (call("add", "/AuthRequest", 0, reinterpret_cast<LPARAM>(&request)))
        contact = static_cast<INT_PTR>(made);
    });
  });
  view_.end_wait("add");
  if (!contact) return;
  if (*contact == 0) {
    error("add", "the plug-in did not take " + wanted);
    return;
  }
  // The plug-in gives back the contact either way; only the list number it writes tells
  // that the server took it.
  auto handle = static_cast<hostsim::Handle>(*contact);
  if (std::find(listed.begin(), listed.end(), handle) == listed.end()) {
    // The contact made for the request goes again: the server does not have it.
    if (made_here) host_->delete_contact(handle);
    error("add", refusal.empty() ? "the server did not put " + wanted + " on the list" : refusal);
    return;
  }
  Event answer("ok");
  answer.set("command", "add").set("address", wanted);
  // The add put it into the group asked for (made on the server when new) unless that group
  // could not be made: then a move tries once more, or is kept for the next list when the
  // server gave the contact no number yet.
  if (!group.empty()) answer.set("group", group);
  if (!group.empty() && book_->state(handle).group != group) {
    std::string moved = refusal_of([&] { write_text(*host_, handle, "CList", "Group", group); });
    if (!moved.empty()) return error("add", "added, but not put in " + group + ": " + moved);
    answer.set("waits", edit_waits(handle));
  }
  if (request_text) answer.set("request_text", *request_text);
  ok(answer);
}

std::vector<hostsim::Handle> Session::watching_list_numbers(const std::function<void()>& call) {
  // Shared with the hook: a plug-in thread may still be inside it after it is unhooked.
  struct Seen {
    std::mutex mu;
    std::vector<hostsim::Handle> written;
  };
  auto seen = std::make_shared<Seen>();
  hostsim::Handle hook = host_->hook_event(
      ME_DB_CONTACT_SETTINGCHANGED, [seen, module = module_](WPARAM contact, LPARAM l) -> INT_PTR {
        auto* change = reinterpret_cast<const SettingWrite*>(l);
        if (change && change->module && change->setting && module == change->module &&
            std::string("Number") == change->setting) {
          std::lock_guard lock(seen->mu);
          seen->written.push_back(static_cast<hostsim::Handle>(contact));
        }
        return 0;
      });
  call();
  host_->unhook_event(hook);
  std::lock_guard lock(seen->mu);
  return seen->written;
}

void Session::rename(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("rename", command.args[0]);
  if (!contact || (book_->state(*contact).on_list && !online_for("rename"))) return;
  // As the host's list does: it writes the shown name; the plug-in hears of it through the
  // setting-changed event and tells the server.
  view_.begin_wait("rename", "renaming " + command.args[0]);
  std::string refusal =
      refusal_of([&] { write_text(*host_, *contact, "CList", "MyHandle", command.args[1]); });
  view_.end_wait("rename");
  if (!refusal.empty()) return error("rename", refusal);
  ok(Event("ok")
         .set("command", "rename")
         .set("address", command.args[0])
         .set("name", command.args[1])
         .set("waits", edit_waits(*contact)));
}

void Session::move(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("move", command.args[0]);
  if (!contact || (book_->state(*contact).on_list && !online_for("move"))) return;
  // As the host's list does when a contact is dragged into a group: it writes the group's name;
  // the plug-in hears of it and moves the contact on the server.
  view_.begin_wait("move", "moving " + command.args[0]);
  std::string refusal = refusal_of([&] { write_text(*host_, *contact, "CList", "Group", command.args[1]); });
  view_.end_wait("move");
  if (!refusal.empty()) return error("move", refusal);
  ok(Event("ok")
         .set("command", "move")
         .set("address", command.args[0])
         .set("group", command.args[1])
         .set("waits", edit_waits(*contact)));
}

// The plug-in keeps an edit of a contact the server has not numbered yet, to send it with the
// next list.
bool Session::edit_waits(hostsim::Handle contact) {
  std::optional<hostsim::Setting> kept = host_->setting(contact, module_, "PendingEdit");
  return kept && kept->number != 0;
}

std::string Session::refusal_of(const std::function<void()>& edit) {
  sources_->edit_begins();
  edit();
  std::string joined;
  for (const std::string& reason : sources_->edit_ends()) joined += (joined.empty() ? "" : "; ") + reason;
  return joined;
}

// As the host's contact list renames or deletes a group: its contacts first (renamed into the
// new name, or taken out of every group), then the group change event the plug-in follows.
void Session::group(const Command& command) {
  const std::string& action = command.args[0];
  const bool rename = action == "rename";
  if ((!rename && action != "delete") || command.args.size() != (rename ? 3u : 2u))
    return error("group", "usage: group rename OLD NEW, or group delete NAME");
  const std::string& name = command.args[1];
  std::vector<std::string> known = book_->groups();
  if (std::find(known.begin(), known.end(), name) == known.end())
    return error("group", "no group is called " + name);
  if (!online_for("group")) return;
  std::vector<hostsim::Handle> members;
  for (hostsim::Handle contact : book_->contacts())
    if (book_->state(contact).group == name) members.push_back(contact);
  if (!rename && !members.empty())
    return error("group", name + " still holds " + std::to_string(members.size()) +
                              (members.size() == 1 ? " contact" : " contacts") +
                              "; move them to another group first");
  const std::string& new_name = rename ? command.args[2] : "";
  if (rename && std::find(known.begin(), known.end(), new_name) != known.end())
    return error("group", "a group is called " + new_name + " already");
  auto host_text = [&](const std::string& text) { return host_->takes_utf8() ? text : to_cp1251(text); };
  std::string old_text = host_text(name), new_text = host_text(new_name);
  view_.begin_wait("group", (rename ? "renaming " : "deleting ") + name);
  std::string refusal = refusal_of([&] {
    for (hostsim::Handle contact : members) write_text(*host_, contact, "CList", "Group", new_name);
    GroupChange change{sizeof change, old_text.c_str(), rename ? new_text.c_str() : nullptr};
    host_->raise_event(ME_CLIST_GROUPCHANGE, 0, reinterpret_cast<LPARAM>(&change));
  });
  view_.end_wait("group");
  if (!refusal.empty()) return error("group", refusal);
  Event answer("ok");
  answer.set("command", "group").set("action", action).set("group", name);
  if (rename) answer.set("name", new_name);
  ok(answer);
}

// Contacts of the list sent to another user, as the host's send-contacts window does it.
void Session::send_contacts(const Command& command) {
  std::optional<hostsim::Handle> to = contact_of("contacts", command.args[0]);
  if (!to || !online_for("contacts")) return;
  std::vector<HANDLE> handles;
  std::istringstream words(command.args[1]);
  for (std::string word; words >> word;) {
    Resolved resolved = resolve_address(word, contact_names());
    if (!resolved.error.empty()) return error("contacts", resolved.error);
    std::optional<hostsim::Handle> contact = book_->find(resolved.address);
    if (!contact) return error("contacts", "no contact " + word);
    handles.push_back(reinterpret_cast<HANDLE>(*contact));
  }
  std::string service = module_ + "/SendContacts";
  ProtocolCall request{reinterpret_cast<HANDLE>(*to), service.c_str(), MAKEWPARAM(0, handles.size()),
                       reinterpret_cast<LPARAM>(handles.data())};
  std::optional<INT_PTR> id = call("contacts", "/SendContacts", 0, reinterpret_cast<LPARAM>(&request));
  if (!id) return;
  if (*id == 0) return error("contacts", "the plug-in sent nothing (too many contacts, or too long a text)");
  ok(Event("ok")
         .set("command", "contacts")
         .set("to", book_->state(*to).address)
         .set("id", static_cast<int64_t>(*id))
         .set("count", static_cast<int64_t>(handles.size())));
}

// The contact's away message as the host's message window asks for it: the plug-in answers
// with an acknowledgement, shown as an away_message event.
void Session::away(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("away", command.args[0]);
  if (!contact || !online_for("away")) return;
  std::string service = module_ + "/GetAwayMsg";
  ProtocolCall request{reinterpret_cast<HANDLE>(*contact), service.c_str(), 0, 0};
  std::optional<INT_PTR> asked = call("away", "/GetAwayMsg", 0, reinterpret_cast<LPARAM>(&request));
  if (!asked) return;
  if (*asked == 0)
    return error("away", book_->state(*contact).address + " is offline: no away message to read");
  ok(Event("ok").set("command", "away").set("address", book_->state(*contact).address));
}

namespace {

// Generous: the server stores the post before it answers, on a machine that may be busy.
constexpr std::chrono::seconds kPostWait{30};

}  // namespace

// As a host's status-message window publishes a post: the plug-in refuses at once what it
// cannot send, else it answers the post's number, which its acknowledgement carries later.
void Session::post(const Command& command) {
  if (command.args.empty())
    return ok(Event("ok").set("command", "post").set("last", post_value(last_post(*book_, 0))));
  const std::string text = valid_utf8(command.args[0]);
  std::optional<INT_PTR> id = call("post", "/PostMicroblog", 0, reinterpret_cast<LPARAM>(text.c_str()));
  if (!id) return;
  if (*id <= 0)
    return error("post", post_refusal(*id, text, revision_text(protocol_revision(*host_, module_))));
  view_.begin_wait("post", "posting");
  std::optional<EventSources::PostNews> news = sources_->wait_for_post(
      *id, text, std::chrono::steady_clock::now() + kPostWait, [this] { return interrupt_ && *interrupt_; });
  view_.end_wait("post");
  if (!news) {
    const std::string later = "; its answer shows when it comes";
    if (interrupt_ && *interrupt_) return error("post", "cut short" + later);
    return error("post", "the server said nothing of the post within " + std::to_string(kPostWait.count()) +
                             " s" + later);
  }
  if (!news->stored)
    return error("post", news->reason.empty() ? "the server did not store the post" : news->reason);
  ok(Event("ok").set("command", "post").set("id", static_cast<int64_t>(*id)).set("text", text));
}

// The contacts' last posts as the plug-in keeps them, newest first.
void Session::posts() {
  std::vector<std::pair<ContactState, Post>> found;
  for (hostsim::Handle contact : book_->contacts()) {
    ContactState state = book_->state(contact);
    if (state.address.empty()) continue;
    if (std::optional<Post> post = last_post(*book_, contact)) found.emplace_back(std::move(state), *post);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const auto& a, const auto& b) { return a.second.time > b.second.time; });
  Value list = Value::array();
  for (const auto& [state, post] : found)
    list.push_back(
        Value{{"address", state.address}, {"name", state.name}, {"text", post.text}, {"time", post.time}});
  view_.show(Event("posts").set("posts", std::move(list)));
  ok(Event("ok").set("command", "posts"));
}

// As the host's ignore list does it: all of the contact's events ignored, or none.
void Session::ignore(const Command& command) {
  const bool on = command.name == "ignore";
  std::optional<hostsim::Handle> contact = contact_of(command.name, command.args[0]);
  if (!contact || !online_for(command.name)) return;
  const std::string address = book_->state(*contact).address;
  if (book_->state(*contact).ignored == on)
    return error(command.name, address + (on ? " is ignored already" : " is not ignored"));
  view_.begin_wait(command.name, (on ? "ignoring " : "no longer ignoring ") + address);
  std::string refusal = refusal_of(
      [&] { host_->write_setting(*contact, "Ignore", "Mask1", hostsim::Setting::dword(on ? 0xFFFF : 0)); });
  view_.end_wait(command.name);
  if (book_->state(*contact).ignored != on)
    return error(command.name,
                 refusal.empty() ? "the server's list did not take it (is " + address + " on it?)" : refusal);
  ok(Event("ok").set("command", command.name).set("address", address));
}

void Session::groups() {
  Value groups = Value::array();
  for (const std::string& name : book_->groups()) {
    int64_t members = 0;
    for (hostsim::Handle contact : book_->contacts()) members += book_->state(contact).group == name;
    groups.push_back(Value{{"name", name}, {"contacts", members}});
  }
  view_.show(Event("groups").set("groups", std::move(groups)));
  ok(Event("ok").set("command", "groups"));
}

void Session::remove(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("delete", command.args[0]);
  if (!contact || (book_->state(*contact).on_list && !online_for("delete"))) return;
  std::string address = book_->state(*contact).address;
  if (!confirm("delete " + address + " from the list? Its history is kept."))
    return error("delete", "not deleted");
  view_.begin_wait("delete", "deleting " + address);
  bool deleted = false;
  std::string refusal = refusal_of([&] { deleted = host_->delete_contact(*contact); });
  view_.end_wait("delete");
  if (!deleted) {
    error("delete", "the host could not delete " + address);
    return;
  }
  // Gone from this list all the same: the host deleted it before the plug-in asked the server.
  if (!refusal.empty())
    return error("delete", refusal + " (it is off this list; the server's may bring it back)");
  ok(Event("ok").set("command", "delete").set("address", address));
}

void Session::visibility(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("visibility", command.args[0]);
  if (!contact || !online_for("visibility")) return;
  std::string service = module_ + "/SetApparentMode";
  ProtocolCall request{reinterpret_cast<HANDLE>(*contact), service.c_str(),
                       static_cast<WPARAM>(apparent_mode(command.args[1])), 0};
  view_.begin_wait("visibility", "changing the visibility of " + command.args[0]);
  std::optional<INT_PTR> result;
  std::string refusal = refusal_of(
      [&] { result = call("visibility", "/SetApparentMode", 0, reinterpret_cast<LPARAM>(&request)); });
  view_.end_wait("visibility");
  if (!result) return;
  if (*result != 0) {
    error("visibility", !refusal.empty() ? refusal
                                         : "the visibility of " + command.args[0] +
                                               " was not changed (is it on the server's list?)");
    return;
  }
  ok(Event("ok")
         .set("command", "visibility")
         .set("address", command.args[0])
         .set("visibility", command.args[1]));
}

void Session::info(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("info", command.args[0]);
  if (!contact || !online_for("info")) return;
  std::string service = module_ + "/GetInfo";
  ProtocolCall request{reinterpret_cast<HANDLE>(*contact), service.c_str(), 0, 0};
  view_.begin_wait("info", "fetching the details of " + command.args[0]);
  std::optional<INT_PTR> result = call("info", "/GetInfo", 0, reinterpret_cast<LPARAM>(&request));
  view_.end_wait("info");
  if (!result) return;
  if (*result != 0) {
    error("info", command.args[0] + " has no address to look up");
    return;
  }
  sources_->flush();  // the details acknowledgement came during the call: show it first
  ok(Event("ok").set("command", "info").set("address", command.args[0]));
}

namespace {

// Generous: the plug-in may have to reach the picture service first.
constexpr std::chrono::seconds kPictureWait{20};

}  // namespace

// As the host's contact list asks for a picture: from the plug-in's cache, or fetched, which
// an acknowledgement then reports.
void Session::avatar(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("avatar", command.args[0]);
  if (!contact) return;
  const std::string address = book_->state(*contact).address;
  AvatarInformation info{};
  info.size = sizeof info;
  info.contact = reinterpret_cast<HANDLE>(*contact);
  // Taken before the request: an acknowledgement however quick comes after it.
  const uint64_t mark = sources_->avatar_mark();
  std::optional<INT_PTR> result = call("avatar", "/GetAvatarInformation", 0, reinterpret_cast<LPARAM>(&info));
  if (!result) return;
  EventSources::AvatarNews news;
  if (*result == GAIR_SUCCESS) {
    news.present = true;
    news.format = info.format;
    news.path.assign(info.filename, strnlen(info.filename, sizeof info.filename));
  } else if (*result == GAIR_WAITFOR) {
    view_.begin_wait("avatar", "fetching the picture of " + address);
    std::optional<EventSources::AvatarNews> came =
        sources_->wait_for_avatar(*contact, mark, std::chrono::steady_clock::now() + kPictureWait,
                                  [this] { return interrupt_ && *interrupt_; });
    view_.end_wait("avatar");
    if (!came) {
      if (interrupt_ && *interrupt_) return error("avatar", "cut short; the picture may still come");
      return error("avatar", "the plug-in said nothing more of the picture of " + address + " within " +
                                 std::to_string(kPictureWait.count()) + " s");
    }
    news = *came;
    sources_->flush();  // its avatar event first
  } else if (*result != GAIR_NOAVATAR) {
    return error("avatar", "the plug-in answered " + std::to_string(*result) + ", which means nothing here");
  }
  Event answer("ok");
  answer.set("command", "avatar").set("address", address);
  if (!news.present || news.path.empty()) return ok(answer.set("none", true));
  std::error_code failed;
  const uintmax_t size = std::filesystem::file_size(news.path, failed);
  if (failed)
    return error("avatar", "the plug-in named the file " + valid_utf8(news.path) +
                               ", which cannot be read: " + failed.message());
  ok(answer.set("path", valid_utf8(news.path))
         .set("format", avatar_format_name(news.format, news.path))
         .set("size", static_cast<int64_t>(size)));
}

bool Session::has_picture(hostsim::Handle contact, bool ask) {
  if (sources_->avatar_seen(contact) == true) return true;
  if (!ask) return false;
  AvatarInformation info{};
  info.size = sizeof info;
  info.contact = reinterpret_cast<HANDLE>(contact);
  return host_->call_service(module_ + "/GetAvatarInformation", 0, reinterpret_cast<LPARAM>(&info)) ==
         GAIR_SUCCESS;
}

void Session::authorization(const Command& command) {
  const std::string& name = command.name;
  std::optional<hostsim::Handle> contact = contact_of(name, command.args[0]);
  if (!contact) return;
  hostsim::Handle request = book_->last_auth_request(*contact);
  if (!request) {
    error(name, "no authorization request from " + command.args[0]);
    return;
  }
  if (name == "authorize" && !online_for(name)) return;
  view_.begin_wait(name,
                   name == "authorize" ? "authorizing " + command.args[0] : "refusing " + command.args[0]);
  std::optional<INT_PTR> result = name == "authorize"
                                      ? call(name, "/Authorize", request, 0)
                                      : call(name, "/AuthDeny", request, reinterpret_cast<LPARAM>(""));
  view_.end_wait(name);
  if (!result) return;
  if (*result != 0) {
    error(name, "the plug-in could not use the request of " + command.args[0]);
    return;
  }
  ok(Event("ok").set("command", name).set("address", command.args[0]));
}

void Session::request_authorization(const Command& command) {
  std::optional<hostsim::Handle> contact = contact_of("reqauth", command.args[0]);
  if (!contact || !online_for("reqauth")) return;
  view_.begin_wait("reqauth", "asking the server to add and authorize " + command.args[0]);
  std::optional<INT_PTR> result;
  std::vector<hostsim::Handle> listed =
      watching_list_numbers([&] { result = call("reqauth", "/ReqAuth", *contact, 0); });
  view_.end_wait("reqauth");
  if (!result) return;
  // The plug-in answers 0 whatever happened: its list number says whether the server listed
  // the contact; the authorization itself is never confirmed.
  bool on_server_list = std::find(listed.begin(), listed.end(), *contact) != listed.end();
  ok(Event("ok").set("command", "reqauth").set("address", command.args[0]).set("listed", on_server_list));
}

void Session::history(const Command& command) {
  mark_read(command.args[0]);
  // A deleted contact's history is kept: it is shown for its address as well.
  std::optional<hostsim::Handle> contact = book_->find(command.args[0]);
  std::vector<HistoryEntry> history = contact ? book_->history(*contact) : book_->history_of(command.args[0]);
  if (!contact && history.empty()) {
    contact_of("history", command.args[0]);
    return;
  }
  Value entries = Value::array();
  for (const HistoryEntry& entry : history) {
    entries.push_back(Value{{"time", entry.time},
                            {"direction", entry.outgoing ? "out" : "in"},
                            {"type", entry.auth_request ? "auth_request"
                                     : entry.post       ? "post"
                                                        : "message"},
                            {"text", entry.text}});
  }
  std::string address = contact ? book_->state(*contact).address : command.args[0];
  view_.show(Event("history").set("address", address).set("entries", std::move(entries)));
  ok(Event("ok").set("command", "history"));
}

void Session::wait(const Command& command) {
  double seconds = std::strtod(command.args[0].c_str(), nullptr);
  auto until = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
  while (std::chrono::steady_clock::now() < until && !(interrupt_ && *interrupt_))
    std::this_thread::sleep_until(
        std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
  sources_->flush();
  ok(Event("ok").set("command", "wait").set("milliseconds", static_cast<int64_t>(seconds * 1000)));
}

void Session::help(const Command& command) {
  std::string wanted = command.args.empty() ? "" : command.args[0];
  for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  Value commands = Value::array();
  for (const CommandInfo& entry : command_table()) {
    if (wanted.empty())
      commands.push_back(Value{{"usage", entry.usage}, {"description", entry.description}});
    else if (wanted == entry.name)
      commands.push_back(
          Value{{"usage", entry.usage}, {"description", entry.description}, {"details", entry.details}});
  }
  view_.show(Event("help").set("commands", std::move(commands)));
  ok(Event("ok").set("command", "help"));
}

}  // namespace console
