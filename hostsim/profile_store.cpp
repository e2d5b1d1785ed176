// The host stand-in's profile in an SQLite file (see profile_store.h).
//
// Texts (module and setting names, setting values, event modules) are stored as BLOBs: the
// host keeps the plug-in's bytes as they are (code page 1251 and others), and SQLite's TEXT
// would invite a conversion. A save rewrites every table; a profile is a few hundred rows, and
// a whole snapshot per transaction means the file never holds half an update.
#include "hostsim/profile_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "hostsim/profile.h"

namespace hostsim {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS contacts (handle INTEGER PRIMARY KEY, protocol BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS settings (contact INTEGER NOT NULL, module BLOB NOT NULL,"
    "  name BLOB NOT NULL, type INTEGER NOT NULL, number INTEGER NOT NULL, text BLOB NOT NULL,"
    "  PRIMARY KEY (contact, module, name));"
    "CREATE TABLE IF NOT EXISTS events (id INTEGER PRIMARY KEY, contact INTEGER NOT NULL,"
    "  module BLOB NOT NULL, timestamp INTEGER NOT NULL, flags INTEGER NOT NULL,"
    "  type INTEGER NOT NULL, blob BLOB NOT NULL);";

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  void bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  void bind(int index, const std::string& bytes) {
    // An empty BLOB must still be a BLOB, not NULL: the columns are NOT NULL.
    sqlite3_bind_blob(stmt_, index, bytes.empty() ? "" : bytes.data(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
  }
  void bind(int index, const std::vector<BYTE>& bytes) {
    sqlite3_bind_blob(stmt_, index, bytes.empty() ? static_cast<const void*>("") : bytes.data(),
                      static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
  }
  // One step of a query: true while it yields a row.
  bool row() { return sqlite3_step(stmt_) == SQLITE_ROW; }
  // Runs an insert; true when it completed. The statement is then ready for the next row.
  bool run() {
    bool done = sqlite3_step(stmt_) == SQLITE_DONE;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return done;
  }
  int64_t number(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string bytes(int column) {
    auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
    int size = sqlite3_column_bytes(stmt_, column);
    return data && size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

bool exec(sqlite3* db, const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

bool prepared(sqlite3* db, const Statement& statement, std::string& error) {
  if (!statement.ok()) error = sqlite3_errmsg(db);
  return statement.ok();
}

bool stored_type(int64_t type) {
  return type == DBVT_BYTE || type == DBVT_WORD || type == DBVT_DWORD || type == DBVT_ASCIIZ ||
         type == DBVT_UTF8;
}

}  // namespace

std::unique_ptr<ProfileStore> ProfileStore::open(const std::string& path, std::string& error) {
  // The profile holds the encoded password: a new one is the user's alone, made so before
  // SQLite writes into it (its journals take the file's mode). One there already keeps its mode.
  if (path != ":memory:") {
    int made = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made >= 0) ::close(made);
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    error = db ? sqlite3_errmsg(db) : "cannot open " + path;
    sqlite3_close(db);
    return nullptr;
  }
  // The plug-in writes from several threads while a save runs; a second process on the same
  // file (a mistake, but a likely one) gets a clear "database is locked" after a while rather
  // than at once.
  sqlite3_busy_timeout(db, 2000);
  if (!exec(db, kSchema, error)) {
    error = path + ": " + error;
    sqlite3_close(db);
    return nullptr;
  }
  return std::unique_ptr<ProfileStore>(new ProfileStore(db, path));
}

ProfileStore::~ProfileStore() { sqlite3_close(db_); }

bool ProfileStore::load(Profile& profile, std::string& error) {
  if (!profile.contacts().empty()) {
    error = "the profile already holds contacts";
    return false;
  }
  std::vector<std::pair<Handle, std::string>> contacts;
  {
    Statement query(db_, "SELECT handle, protocol FROM contacts ORDER BY handle");
    if (!prepared(db_, query, error)) return false;
    while (query.row()) {
      int64_t handle = query.number(0);
      if (handle <= 0) continue;
      contacts.emplace_back(static_cast<Handle>(handle), query.bytes(1));
    }
  }
  // The profile hands out handles in order from 1: make contacts up to each stored handle and
  // drop the ones in between, so that every contact comes back under its own handle.
  std::vector<Handle> gaps;
  for (const auto& [handle, protocol] : contacts) {
    for (;;) {
      Handle made = profile.add_contact();
      if (made == handle) break;
      if (made > handle) {
        error = "cannot give contact " + std::to_string(handle) + " its handle";
        return false;
      }
      gaps.push_back(made);
    }
    if (!protocol.empty()) profile.set_protocol(handle, protocol);
  }
  for (Handle gap : gaps) profile.delete_contact(gap);

  {
    Statement query(db_, "SELECT contact, module, name, type, number, text FROM settings");
    if (!prepared(db_, query, error)) return false;
    while (query.row()) {
      int64_t type = query.number(3);
      if (!stored_type(type)) continue;
      Setting value;
      value.type = static_cast<BYTE>(type);
      value.number = static_cast<DWORD>(query.number(4));
      if (value.is_text()) value.text = query.bytes(5);
      // Settings of contacts that are not in the file any more are left behind quietly.
      profile.write_setting(static_cast<Handle>(query.number(0)), query.bytes(1), query.bytes(2), value);
    }
  }
  {
    Statement query(db_, "SELECT contact, module, timestamp, flags, type, blob FROM events ORDER BY id");
    if (!prepared(db_, query, error)) return false;
    while (query.row()) {
      StoredEvent event;
      event.contact = static_cast<Handle>(query.number(0));
      event.module = query.bytes(1);
      event.timestamp = static_cast<DWORD>(query.number(2));
      event.flags = static_cast<DWORD>(query.number(3));
      event.type = static_cast<WORD>(query.number(4));
      std::string blob = query.bytes(5);
      event.blob.assign(blob.begin(), blob.end());
      profile.add_event(std::move(event));
    }
  }
  return true;
}

bool ProfileStore::save(const Profile& profile, std::string& error) {
  if (!exec(db_, "BEGIN IMMEDIATE", error)) return false;
  auto fail = [&] {
    std::string ignored;
    exec(db_, "ROLLBACK", ignored);
    return false;
  };
  auto fail_step = [&] {
    error = sqlite3_errmsg(db_);
    return fail();
  };
  if (!exec(db_, "DELETE FROM contacts; DELETE FROM settings; DELETE FROM events;", error)) return fail();

  Statement add_contact(db_, "INSERT INTO contacts (handle, protocol) VALUES (?, ?)");
  Statement add_setting(db_,
                        "INSERT INTO settings (contact, module, name, type, number, text) "
                        "VALUES (?, ?, ?, ?, ?, ?)");
  Statement add_event(db_,
                      "INSERT INTO events (id, contact, module, timestamp, flags, type, blob) "
                      "VALUES (?, ?, ?, ?, ?, ?, ?)");
  if (!prepared(db_, add_contact, error) || !prepared(db_, add_setting, error) ||
      !prepared(db_, add_event, error))
    return fail();

  std::vector<Handle> handles = profile.contacts();
  handles.insert(handles.begin(), 0);  // the account's own settings
  std::vector<StoredEvent> events;
  for (Handle contact : handles) {
    if (contact != 0) {
      add_contact.bind(1, static_cast<int64_t>(contact));
      add_contact.bind(2, profile.protocol(contact).value_or(""));
      if (!add_contact.run()) return fail_step();
    }
    for (const auto& [key, value] : profile.settings(contact)) {
      add_setting.bind(1, static_cast<int64_t>(contact));
      add_setting.bind(2, key.first);
      add_setting.bind(3, key.second);
      add_setting.bind(4, static_cast<int64_t>(value.type));
      add_setting.bind(5, static_cast<int64_t>(value.number));
      add_setting.bind(6, value.text);
      if (!add_setting.run()) return fail_step();
    }
    for (StoredEvent& event : profile.events(contact)) events.push_back(std::move(event));
  }
  // Event handles grow with every addition: their order is the order of the history.
  std::sort(events.begin(), events.end(),
            [](const StoredEvent& a, const StoredEvent& b) { return a.handle < b.handle; });
  for (const StoredEvent& event : events) {
    add_event.bind(1, static_cast<int64_t>(event.handle));
    add_event.bind(2, static_cast<int64_t>(event.contact));
    add_event.bind(3, event.module);
    add_event.bind(4, static_cast<int64_t>(event.timestamp));
    add_event.bind(5, static_cast<int64_t>(event.flags));
    add_event.bind(6, static_cast<int64_t>(event.type));
    add_event.bind(7, event.blob);
    if (!add_event.run()) return fail_step();
  }
  if (!exec(db_, "COMMIT", error)) return fail();
  return true;
}

}  // namespace hostsim
