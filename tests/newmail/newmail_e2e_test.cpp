// New mail end to end: the server changes the unread count of two accounts of the real plug-in;
// one announces it by a tray balloon, the other by its mailbox contact. The notifier looks
// every 4 seconds, so the waits are long.
#include <gtest/gtest.h>

#include "outgoing/two_accounts.h"

namespace {

using twoaccounts::address_of;
using twoaccounts::Handle;
using twoaccounts::kAlice;
using twoaccounts::kBob;
using twoaccounts::kWaitMs;
using twoaccounts::Setting;
using twoaccounts::TwoAccounts;

class NewMailEndToEnd : public TwoAccounts {
 protected:
  void SetUp() override {
    TwoAccounts::SetUp();
    // Alice wants balloons, Bob the mailbox contact.
    account_number(kAlice, "NMNotify", Setting::byte(1));
    account_number(kAlice, "NMPN", Setting::dword(1));
    account_number(kBob, "NMNotify", Setting::byte(1));
    account_number(kBob, "NMPN", Setting::dword(0));
  }
};

TEST_F(NewMailEndToEnd, AnnouncedByBalloonAndByTheMailboxContact) {
  go_online(kAlice);
  go_online(kBob);
  ASSERT_TRUE(server_->set_unread(address_of(kAlice), 3));
  ASSERT_TRUE(server_->set_unread(address_of(kBob), 2));

  ASSERT_TRUE(host_.wait_until([&] { return !host_.tray_notices().empty(); }, kWaitMs));
  hostsim::TrayNotice notice = host_.tray_notices()[0];
  EXPECT_EQ(notice.protocol, kAlice);
  EXPECT_EQ(notice.title, address_of(kAlice) + " Mailbox");
  EXPECT_EQ(notice.text, "3 New Messages");
  EXPECT_EQ(notice.info_flags, 1u);
  EXPECT_EQ(notice.timeout, 3000u);

  const std::string mailbox = address_of(kBob) + " Mailbox";
  ASSERT_TRUE(
      host_.wait_until([&] { return !events_from(kBob, mailbox, EVENTTYPE_MESSAGE).empty(); }, kWaitMs));
  std::vector<hostsim::StoredEvent> events = events_from(kBob, mailbox, EVENTTYPE_MESSAGE);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(text_of(events[0]), "2 New Messages");
  Handle contact = contact_of(kBob, mailbox).value();
  EXPECT_EQ(host_.profile().setting(contact, kBob, "Status"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(host_.profile().setting(contact, "CList", "NotOnList"), Setting::byte(0));
  // Every notice is Alice's: Bob's style makes none.
  for (const hostsim::TrayNotice& n : host_.tray_notices()) EXPECT_EQ(n.protocol, kAlice);
  EXPECT_FALSE(contact_of(kAlice, address_of(kAlice) + " Mailbox").has_value());
}

}  // namespace
