// Contact records: lookup and creation by address, presence, and the user's renames and
// deletions carried to the server through the host's setting-changed and deleted events.
#include "contacts/contact_records.h"

#include <gtest/gtest.h>

#include <thread>

#include "contacts/contact_index.h"
#include "contacts/modify.h"
#include "protocol/online.h"
#include "support/unit_host.h"

namespace {

using testsupport::as_handle;
using testsupport::Handle;
using testsupport::ModifyRequest;
using testsupport::read_modify;
using testsupport::Setting;
using testsupport::UnitHost;

class FindContact : public UnitHost {
 protected:
  void TearDown() override {
    contact_index_reset();  // built from this test's host
    UnitHost::TearDown();
  }
  // The hooks that keep the index true, as after the host has loaded every module: lookups
  // answer from the index instead of walking.
  void with_index_hooks() {
    contact_index_reset();
    host_.hook_event(ME_DB_CONTACT_SETTINGCHANGED, MRIM_SettingChanged);
    host_.hook_event(ME_DB_CONTACT_DELETED, MRIM_ContactDeleted);
    protocol_state.hook_setting_changed = as_handle(1);
    protocol_state.hook_contact_deleted = as_handle(1);
  }
};

TEST_F(FindContact, FirstMatchInTheHostsOrderWins) {
  Handle first = add_contact("kim@example.org");
  add_contact("kim@example.org");
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), as_handle(first));
}

// E-mail addresses: one contact whatever the case of its letters, and nothing looser.
TEST_F(FindContact, AddressesCompareWithoutRegardToCase) {
  Handle lower = add_contact("kim@example.org");
  EXPECT_EQ(mrim_find_contact("Kim@Example.ORG", 0, 0), as_handle(lower));
  EXPECT_EQ(mrim_find_contact("kim@example", 0, 0), NOT_FOUND);
  EXPECT_EQ(mrim_find_contact("kim@example.org ", 0, 0), NOT_FOUND);
}

// With the hooks in place the index answers without walking; an address written while it is
// being built (here, between two steps of its walk) must not be lost to the walk.
TEST_F(FindContact, AnAddressWrittenDuringTheIndexWalkIsKept) {
  with_index_hooks();
  Handle first = add_contact("old@example.org");
  Handle second = add_contact("other@example.org");
  bool written = false;
  hostsim::Host::Service next_of_host;
  next_of_host = host_.replace_service(MS_DB_CONTACT_FINDNEXT, [&](WPARAM w, LPARAM l) -> INT_PTR {
    if (!written) {
      written = true;  // the walk has read the first contact's old address by now
      host_.write_setting(first, "MRIM", "EMail", Setting::string("new@example.org"));
    }
    return next_of_host(w, l);
  });
  EXPECT_EQ(mrim_find_contact("other@example.org", 0, 0), as_handle(second));
  ASSERT_TRUE(written);
  EXPECT_EQ(mrim_find_contact("new@example.org", 0, 0), as_handle(first));
  EXPECT_EQ(mrim_find_contact("old@example.org", 0, 0), NOT_FOUND);
}

// A host that takes UTF-8 writes the address of a contact it makes so (its add window does).
TEST_F(FindContact, AnAddressTheHostWritesAsUtf8IsFound) {
  with_index_hooks();
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), NOT_FOUND);  // the index is built
  Handle made = add_contact("");
  host_.write_setting(made, "MRIM", "EMail", Setting::utf8("kim@example.org"));
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), as_handle(made));
}

TEST_F(FindContact, TheSecondContactOfASharedAddressIsFoundOnceTheFirstIsGone) {
  with_index_hooks();
  Handle first = add_contact("kim@example.org");
  Handle second = add_contact("KIM@example.org");
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), as_handle(first));
  host_.delete_contact(first);
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), as_handle(second));
}

TEST_F(FindContact, OtherProtocolsAndContactsWithoutAddressAreSkipped) {
  add_contact("kim@example.org", "OTHERPROTO");
  add_contact("kim@example.org", "MRIM2");
  Handle bare = add_contact("");
  seed(bare, "MRIM", "Nick", Setting::string("kim@example.org"));
  Handle not_text = add_contact("");
  seed(not_text, "MRIM", "EMail", Setting::dword(7));
  Handle no_protocol = host_.profile().add_contact();
  seed(no_protocol, "MRIM", "EMail", Setting::string("kim@example.org"));
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), NOT_FOUND);
  Handle ours = add_contact("kim@example.org");
  EXPECT_EQ(mrim_find_contact("kim@example.org", 0, 0), as_handle(ours));
}

TEST_F(FindContact, CreatesTemporaryOrPermanentContacts) {
  struct Case {
    const char* address;
    int on_list;
    BYTE not_on_list;
  };
  for (Case c :
       {Case{"temp@example.org", 0, 1}, Case{"list@example.org", 1, 0}, Case{"two@example.org", 2, 1}}) {
    SCOPED_TRACE(c.address);
    HANDLE created = mrim_find_contact(c.address, 1, c.on_list);
    ASSERT_NE(created, NOT_FOUND);
    ASSERT_NE(created, nullptr);
    auto contact = reinterpret_cast<Handle>(created);
    EXPECT_EQ(host_.profile().protocol(contact), "MRIM");
    EXPECT_EQ(text(contact, "EMail"), c.address);
    EXPECT_EQ(text(contact, "MyHandle", "CList"), c.address);
    EXPECT_EQ(setting(contact, "NotOnList", "CList"), Setting::byte(c.not_on_list));
    EXPECT_EQ(setting(contact, "Hidden", "CList"), Setting::byte(0));
    EXPECT_FALSE(setting(contact, "Number").has_value());
    EXPECT_EQ(mrim_find_contact(c.address, 1, c.on_list), created) << "found, not created again";
  }
  EXPECT_EQ(host_.profile().contacts().size(), 3u);
}

TEST_F(FindContact, CreationWritesInOrder) {
  host_.clear_records();
  auto contact = reinterpret_cast<Handle>(mrim_find_contact("kim", 1, 1));
  std::vector<std::string> writes;
  for (const auto& write : host_.setting_writes()) {
    EXPECT_EQ(write.contact, contact);
    writes.push_back(write.module + "/" + write.setting);
  }
  // The host writes the protocol itself when the contact is given to the account.
  EXPECT_EQ(writes, (std::vector<std::string>{"Protocol/p", "MRIM/EMail", "CList/NotOnList", "CList/MyHandle",
                                              "CList/Hidden"}));
}

TEST_F(FindContact, HostThatCannotCreateNeverWritesOnTheAccount) {
  make_contact_creation_fail();
  auto before = account_settings();
  host_.clear_records();
  EXPECT_EQ(mrim_find_contact("kim@example.org", 1, 1), NOT_FOUND);
  EXPECT_EQ(mrim_find_contact("kim@example.org", 1, 0), NOT_FOUND);
  EXPECT_TRUE(host_.setting_writes().empty());
  EXPECT_EQ(account_settings(), before);
}

TEST_F(FindContact, StatusGoesOnlyToExistingContacts) {
  Handle kim = add_contact("kim");
  EXPECT_EQ(mrim_set_contact_status("kim", MRIM_STATUS_INVISIBLE), as_handle(kim));
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_INVISIBLE));
  host_.clear_records();
  EXPECT_EQ(mrim_set_contact_status("nobody", MRIM_STATUS_ONLINE), NOT_FOUND);
  EXPECT_EQ(host_.profile().contacts(), std::vector<Handle>{kim});
  EXPECT_TRUE(host_.setting_writes().empty());
}

class ContactEdits : public UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    host_.hook_event(ME_DB_CONTACT_SETTINGCHANGED, MRIM_SettingChanged);
    host_.hook_event(ME_DB_CONTACT_DELETED, MRIM_ContactDeleted);
    seed(0, "MRIM", "Timeout", Setting::dword(1));  // for the cases where no answer comes
  }
  void rename(Handle contact, const std::string& name) {
    host_.write_setting(contact, "CList", "MyHandle", Setting::string(name));
  }
  std::vector<ModifyRequest> modifications() {
    std::vector<ModifyRequest> requests;
    for (const auto& packet : sent_with_code(MRIM_CS_MODIFY_CONTACT)) {
      auto request = read_modify(packet);
      EXPECT_TRUE(request.has_value());
      if (request) requests.push_back(*request);
    }
    return requests;
  }
};

TEST_F(ContactEdits, RenameSendsNumberFlagsAddressAndTheNewName) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "MRIM", "Number", Setting::dword(7));
  seed(kim, "MRIM", "Flags", Setting::dword(0x10));
  rename(kim, "Bob");
  EXPECT_EQ(modifications(), (std::vector<ModifyRequest>{{7, 0x10, 0, "kim@example.org", "Bob", 0}}));
  std::string log = log_text();
  EXPECT_NE(log.find("mrim_do_modify: started\r\n"), std::string::npos);
  EXPECT_NE(log.find("mrim_do_modify: MRIM_CS_MODIFY_CONTACT(7,16,0,kim@example.org,Bob) sended\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("mrim_do_modify: MRIM_CS_MODIFY_CONTACT_ACK received\r\n"), std::string::npos);
  EXPECT_NE(log.find("mrim_do_modify: MRIM_CS_MODIFY_CONTACT_ACK(CONTACT_OPER_SUCCESS)\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("mrim_do_modify: ok\r\n"), std::string::npos);
  EXPECT_NE(log.find("mrim_do_modify: ended\r\n"), std::string::npos);
}

TEST_F(ContactEdits, RenamesThatSendNothing) {
  Handle temporary = add_contact("temp@example.org");  // no "Number"
  rename(temporary, "Temp");
  Handle listed = add_contact("kim@example.org");
  seed(listed, "MRIM", "Number", Setting::dword(7));
  mrim_contact_list_applying(true);  // the server's own list, written on this thread
  rename(listed, "While loading");
  mrim_contact_list_applying(false);
  host_.write_setting(listed, "CList", "Group", Setting::string("Friends"));
  host_.write_setting(listed, "MRIM", "MyHandle", Setting::string("Other module"));
  Handle foreign = add_contact("kim@example.org", "OTHERPROTO");
  seed(foreign, "OTHERPROTO", "Number", Setting::dword(9));
  rename(foreign, "Foreign");
  host_.raise_event(ME_DB_CONTACT_SETTINGCHANGED, 0, 0);
  SettingWrite change{"CList", "MyHandle", {}};
  host_.raise_event(ME_DB_CONTACT_SETTINGCHANGED, 0, reinterpret_cast<LPARAM>(&change));
  EXPECT_TRUE(sent().empty());
}

// The server's list being applied on one thread keeps only that thread's writes from the
// server: the user renaming a contact on another thread meanwhile is told to the server.
TEST_F(ContactEdits, AUserEditDuringAListLoadOnAnotherThreadGoesOut) {
  Handle listed = add_contact("kim@example.org");
  seed(listed, "MRIM", "Number", Setting::dword(7));
  mrim_contact_list_applying(true);
  std::thread user([&] { rename(listed, "Renamed meanwhile"); });
  user.join();
  mrim_contact_list_applying(false);
  ASSERT_EQ(sent().size(), 1u);
  EXPECT_EQ(sent()[0].code, MRIM_CS_MODIFY_CONTACT);
}

TEST_F(ContactEdits, RenameOfAContactWhoseNameWasDeletedSendsNothing) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "MRIM", "Number", Setting::dword(7));
  SettingWrite change{"CList", "MyHandle", {}};
  host_.raise_event(ME_DB_CONTACT_SETTINGCHANGED, kim, reinterpret_cast<LPARAM>(&change));
  EXPECT_EQ(mrim_rename_contact(as_handle(kim)), 1);
  EXPECT_EQ(mrim_rename_contact(nullptr), 1);
  EXPECT_TRUE(sent().empty());
}

TEST_F(ContactEdits, DeletionTakesAListedContactOffTheServerList) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "MRIM", "Number", Setting::dword(21));
  host_.delete_contact(kim);
  EXPECT_EQ(modifications(),
            (std::vector<ModifyRequest>{{21, 1, 0, "kim@example.org", "kim@example.org", 0}}));
  std::string log = log_text();
  EXPECT_NE(log.find("mrim_do_remove: started\r\n"), std::string::npos);
  EXPECT_NE(log.find("mrim_do_remove: ended ok\r\n"), std::string::npos);
}

TEST_F(ContactEdits, DeletionsThatSendNothing) {
  host_.delete_contact(add_contact("temp@example.org"));
  Handle foreign = add_contact("kim@example.org", "OTHERPROTO");
  seed(foreign, "OTHERPROTO", "Number", Setting::dword(21));
  seed(foreign, "MRIM", "Number", Setting::dword(21));
  host_.delete_contact(foreign);
  Handle no_address = add_contact("");
  seed(no_address, "MRIM", "Number", Setting::dword(22));
  host_.delete_contact(no_address);
  EXPECT_TRUE(sent().empty());
}

TEST_F(ContactEdits, ModifyResultFollowsTheAcknowledgement) {
  EXPECT_EQ(mrim_do_modify(1, "a", 0, 0, "n"), 0);
  answer_modify_with(CONTACT_OPER_SUCCESS + 1);
  EXPECT_EQ(mrim_do_modify(1, "a", 0, 0, "n"), 1);
  answer_modify_with(0, MRIM_CS_ADD_CONTACT_ACK);
  EXPECT_EQ(mrim_do_modify(1, "a", 0, 0, "n"), 1);
  answer_modify_with(0);
  answer_modify_without_body();
  EXPECT_EQ(mrim_do_modify(1, "a", 0, 0, "n"), 1);
  EXPECT_EQ(mrim_do_remove("a", 1, 0), 1);
  EXPECT_EQ(testsupport::count_of(log_text(), "mrim_do_modify: ended\r\n"), 4);
  EXPECT_NE(log_text().find("mrim_do_remove: ended with error\r\n"), std::string::npos);
}

TEST_F(ContactEdits, NoAnswerOrNoConnectionIsAFailure) {
  answer_modify_with(std::nullopt);
  EXPECT_EQ(mrim_do_modify(1, "a", 0, 0, "n"), 1);
  EXPECT_EQ(mrim_do_remove("a", 1, 0), 1);
  answer_modify_with(0);
  protocol_state.connection = nullptr;
  EXPECT_EQ(mrim_do_modify(1, "a", 0, 0, "n"), 1);
  EXPECT_EQ(sent().size(), 2u);
}

TEST_F(ContactEdits, EveryRequestHasAFreshSequenceNumber) {
  mrim_do_modify(1, "a", 0, 0, "n");
  mrim_do_remove("a", 1, 0);
  auto requests = sent_with_code(MRIM_CS_MODIFY_CONTACT);
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].seq, 1u);
  EXPECT_EQ(requests[1].seq, 2u);
}

}  // namespace
