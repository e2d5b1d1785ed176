// The host stand-in's profile in SQLite (hostsim::ProfileStore), which the console's --profile
// uses: what is saved comes back whole, under the same contact handles, byte for byte.
#include "hostsim/profile_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "console_process.h"
#include "hostsim/profile.h"

namespace {

using hostsim::Handle;
using hostsim::Profile;
using hostsim::ProfileStore;
using hostsim::Setting;
using hostsim::StoredEvent;

StoredEvent event(Handle contact, WORD type, const std::string& blob, DWORD flags = 0) {
  StoredEvent e;
  e.contact = contact;
  e.module = "MRIM";
  e.timestamp = 1700000000;
  e.flags = flags;
  e.type = type;
  e.blob.assign(blob.begin(), blob.end());
  return e;
}

std::unique_ptr<ProfileStore> open(const std::string& path) {
  std::string error;
  std::unique_ptr<ProfileStore> store = ProfileStore::open(path, error);
  EXPECT_TRUE(store) << error;
  return store;
}

TEST(ProfileStore, WhatIsSavedComesBackUnderTheSameHandles) {
  consoletest::TempFolder folder;
  std::string path = folder.file("profile.sqlite");
  Profile original;
  Handle amy = original.add_contact();
  Handle gone = original.add_contact();
  Handle bob = original.add_contact();
  original.delete_contact(gone);  // a gap in the handles
  original.set_protocol(amy, "MRIM");
  original.set_protocol(bob, "OTHERPROTO");
  original.write_setting(0, "MRIM", "EMail", Setting::string("kim@mail.example"));
  original.write_setting(0, "MRIM", "NMNotify", Setting::byte(1));
  original.write_setting(amy, "MRIM", "Status", Setting::word(40072));
  original.write_setting(amy, "MRIM", "Number", Setting::dword(0xFFFFFFFF));
  original.write_setting(amy, "CList", "MyHandle", Setting::string("\xC0\xEC\xE8"));  // code page 1251
  original.write_setting(bob, "OTHERPROTO", "Nick", Setting::string(""));
  original.write_setting(amy, "MRIM", "StatusTitle",
                         Setting::utf8("\xF0\x9F\x99\x82 gym"));  // UTF-8 stays so
  // An authorization request names its contact by handle inside the blob.
  std::string blob("\0\0\0\0\x01\0\0\0amy\0\0\0amy\0hi\0", 21);
  original.add_event(event(amy, 1001, blob));
  original.add_event(event(amy, 0, std::string("hello\0", 6), 2));

  {
    std::unique_ptr<ProfileStore> store = open(path);
    std::string error;
    ASSERT_TRUE(store->save(original, error)) << error;
  }
  // It holds the encoded password: the user's alone, whatever the umask lets through.
  struct stat made {};
  ASSERT_EQ(stat(path.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0600u);
  std::unique_ptr<ProfileStore> store = open(path);
  Profile loaded;
  std::string error;
  ASSERT_TRUE(store->load(loaded, error)) << error;

  EXPECT_EQ(loaded.contacts(), (std::vector<Handle>{amy, bob}));
  EXPECT_EQ(loaded.protocol(amy), "MRIM");
  EXPECT_EQ(loaded.protocol(bob), "OTHERPROTO");
  for (Handle contact : {Handle(0), amy, bob})
    EXPECT_EQ(loaded.settings(contact), original.settings(contact));
  std::vector<StoredEvent> events = loaded.events(amy);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, 1001);
  EXPECT_EQ(std::string(events[0].blob.begin(), events[0].blob.end()), blob);
  EXPECT_EQ(events[1].flags, 2u);
  EXPECT_EQ(events[1].timestamp, 1700000000u);
  EXPECT_EQ(events[1].module, "MRIM");
  // New contacts continue after the restored ones.
  EXPECT_GT(loaded.add_contact(), bob);
}

TEST(ProfileStore, ASaveReplacesThePreviousOneAndMemoryKeepsNothing) {
  consoletest::TempFolder folder;
  std::string path = folder.file("profile.sqlite");
  std::string error;
  {
    Profile first;
    first.set_protocol(first.add_contact(), "MRIM");
    first.set_protocol(first.add_contact(), "MRIM");
    first.add_event(event(1, 0, std::string("a\0", 2)));
    ASSERT_TRUE(open(path)->save(first, error)) << error;
    Profile second;
    second.set_protocol(second.add_contact(), "MRIM");
    ASSERT_TRUE(open(path)->save(second, error)) << error;
  }
  Profile loaded;
  ASSERT_TRUE(open(path)->load(loaded, error)) << error;
  EXPECT_EQ(loaded.contacts().size(), 1u);
  EXPECT_TRUE(loaded.events(1).empty());

  Profile memory_profile;
  memory_profile.add_contact();
  ASSERT_TRUE(open(":memory:")->save(memory_profile, error)) << error;
  Profile fresh;
  ASSERT_TRUE(open(":memory:")->load(fresh, error)) << error;
  EXPECT_TRUE(fresh.contacts().empty());
}

TEST(ProfileStore, AFileThatIsNoProfileIsRefusedAndLeftAlone) {
  consoletest::TempFolder folder;
  std::string path = folder.file("notes.txt");
  const std::string text = "these are my notes, not a database\n";
  std::ofstream(path) << text;
  std::string error;
  EXPECT_FALSE(ProfileStore::open(path, error));
  EXPECT_FALSE(error.empty());
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);

  // Loading into a profile that already has contacts would mix two profiles: refused.
  Profile busy;
  busy.add_contact();
  EXPECT_FALSE(open(folder.file("empty.sqlite"))->load(busy, error));
}

}  // namespace
