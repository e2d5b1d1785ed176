// Keeps the host stand-in's profile (contacts with their protocol, typed settings, database
// events) in an SQLite file, so that a program built on the stand-in finds the same contacts,
// account and history at its next start. Linux only: hostsim is built without it where SQLite
// is not available (the Windows check program keeps its profile in memory).
#pragma once

#include <memory>
#include <string>

struct sqlite3;

namespace hostsim {

class Profile;

class ProfileStore {
 public:
  // Opens the file, creating it and its tables when needed. ":memory:" gives a store that
  // keeps nothing beyond the process. Null on failure, with SQLite's reason in `error`.
  static std::unique_ptr<ProfileStore> open(const std::string& path, std::string& error);
  ~ProfileStore();
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  // Fills a profile that holds no contacts yet from the file. Contacts keep their handles
  // (authorization-request events name their contact by handle); events get fresh handles
  // in their stored order. The account's settings (contact 0) are loaded too.
  bool load(Profile& profile, std::string& error);
  // Replaces the file's contents with the profile as it is now, in one transaction, so the
  // file always holds one whole profile.
  bool save(const Profile& profile, std::string& error);

  const std::string& path() const { return path_; }

 private:
  ProfileStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  sqlite3* db_;
  std::string path_;
};

}  // namespace hostsim
