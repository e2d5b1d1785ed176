// Presence, the server contact list, account information, the mailbox counter, forced log-out
// and the keep-alive period through MRIM_HSP; masks and texts that do not fit; the hand-over of
// every other code to the reply queue.
#include "incoming/presence.h"

#include <gtest/gtest.h>

#include <ctime>

#include "contacts/contact_records.h"
#include "contacts/groups.h"
#include "incoming/events.h"
#include "protocol/online.h"
#include "support/support.h"
#include "support/unit_host.h"

namespace {

using testsupport::Handle;
using testsupport::PacketBuilder;
using testsupport::Setting;
using testsupport::UnitHost;

class Presence : public UnitHost {};

TEST_F(Presence, StatusNoticeWritesTheHostStatusOfAKnownContact) {
  Handle kim = add_contact("kim@example.org");
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).ul(MRIM_STATUS_AWAY).lps("kim@example.org"));
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_AWAY));
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).ul(MRIM_STATUS_ONLINE).lps("kim@example.org"));
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_ONLINE));
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).ul(MRIM_STATUS_OFFLINE).lps("kim@example.org"));
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_OFFLINE));
  std::string log = log_text();
  EXPECT_EQ(testsupport::count_of(log, "MRIM_HSP: MRIM_CS_USER_STATUS received\r\n"), 3);
  EXPECT_EQ(testsupport::count_of(log, "MRIM_HSP: MRIM_CS_USER_STATUS handled\r\n"), 3);
}

TEST_F(Presence, StrangersAndCutNoticesChangeNothing) {
  Handle kim = add_contact("kim@example.org");
  host_.clear_records();
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).ul(1).lps("stranger@example.org"));
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).ul(1));
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).ul(1).ul(15).raw({'k', 'i', 'm'}));
  dispatch(PacketBuilder(MRIM_CS_USER_STATUS).raw({1, 0}));
  EXPECT_EQ(host_.profile().contacts(), std::vector<Handle>{kim});
  EXPECT_TRUE(host_.setting_writes().empty());
}

class ContactList : public UnitHost {
 protected:
  // Records contact_list_loading at every setting write the host reports.
  void watch_loading_flag() {
    host_.hook_event(ME_DB_CONTACT_SETTINGCHANGED, [this](WPARAM, LPARAM) -> INT_PTR {
      flag_seen_.push_back(protocol_state.contact_list_loading.load());
      return 0;
    });
  }
  PacketBuilder list(const std::string& group_mask, const std::string& contact_mask, uint32_t groups = 0) {
    PacketBuilder packet(MRIM_CS_CONTACT_LIST2);
    packet.ul(0).ul(groups).lps(group_mask).lps(contact_mask);
    return packet;
  }
  Handle only(const std::string& email) {
    auto found = contacts_with(email);
    EXPECT_EQ(found.size(), 1u) << email;
    return found.empty() ? 0 : found[0];
  }
  std::vector<int> flag_seen_;
};

TEST_F(ContactList, ExampleOfTwoGroupsAndTwoContacts) {
  watch_loading_flag();
  auto packet = list("us", "uussuu", 2);
  packet.ul(0).lps("Friends").ul(0).lps("Work");
  packet.ul(0).ul(0).lps("amy").lps("Amy").ul(0).ul(MRIM_STATUS_ONLINE);
  packet.ul(0).ul(0).lps("kim").lps("").ul(0).ul(MRIM_STATUS_OFFLINE);
  dispatch(packet);

  Handle amy = only("amy"), kim = only("kim");
  EXPECT_EQ(setting(amy, "Number"), Setting::dword(20));
  EXPECT_EQ(text(amy, "MyHandle", "CList"), "Amy");
  EXPECT_EQ(setting(amy, "Status"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(setting(kim, "Number"), Setting::dword(21));
  EXPECT_EQ(text(kim, "MyHandle", "CList"), "kim");
  EXPECT_EQ(setting(kim, "Status"), Setting::word(ID_STATUS_OFFLINE));
  for (Handle contact : {amy, kim}) {
    EXPECT_EQ(setting(contact, "NotOnList", "CList"), Setting::byte(0));
    EXPECT_EQ(setting(contact, "Hidden", "CList"), Setting::byte(0));
  }
  EXPECT_EQ(host_.profile().contacts().size(), 2u);  // no groups reach the host
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
  ASSERT_FALSE(flag_seen_.empty());
  EXPECT_EQ(std::count(flag_seen_.begin(), flag_seen_.end(), 0), 0) << "every write happens while loading";

  std::string log = log_text();
  EXPECT_NE(log.find("MRIM_HSP: MRIM_CS_CONTACT_LIST2 received\r\n"), std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: Contact #20 (Amy) received and added\r\n"), std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: Contact #21 (kim) received and added\r\n"), std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled\r\n"), std::string::npos);
}

TEST_F(ContactList, ListLoadSendsNoRenamesBack) {
  host_.hook_event(ME_DB_CONTACT_SETTINGCHANGED, MRIM_SettingChanged);
  Handle amy = add_contact("amy");
  seed(amy, "MRIM", "Number", Setting::dword(20));
  auto packet = list("", "uussuu");
  packet.ul(0).ul(0).lps("amy").lps("Amy Pond").ul(0).ul(1);
  dispatch(packet);
  EXPECT_EQ(text(amy, "MyHandle", "CList"), "Amy Pond");
  EXPECT_TRUE(sent().empty());
}

TEST_F(ContactList, RefusedListWritesNothing) {
  auto packet = PacketBuilder(MRIM_CS_CONTACT_LIST2).ul(1).ul(0).lps("").lps("uussuu");
  packet.ul(0).ul(0).lps("amy").lps("Amy").ul(0).ul(1);
  dispatch(packet);
  EXPECT_TRUE(host_.profile().contacts().empty());
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
  EXPECT_NE(log_text().find("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled\r\n"), std::string::npos);
}

TEST_F(ContactList, EntryWithoutAddressIsSkippedWithoutAGapInTheNumbers) {
  auto packet = list("", "uussuu");
  packet.ul(0).ul(0).lps("amy").lps("").ul(0).ul(0);
  packet.ul(0).ul(0).lps("").lps("Nobody").ul(0).ul(0);
  packet.ul(0).ul(0).lps("kim").lps("").ul(0).ul(0);
  dispatch(packet);
  EXPECT_EQ(setting(only("amy"), "Number"), Setting::dword(20));
  EXPECT_EQ(setting(only("kim"), "Number"), Setting::dword(21));
  EXPECT_EQ(host_.profile().contacts().size(), 2u);
}

TEST_F(ContactList, MaskWithoutTextAtPositionTwoAddsNothing) {
  auto packet = list("", "uuuuuu");
  for (int i = 0; i < 12; ++i) packet.ul(i);
  dispatch(packet);
  EXPECT_TRUE(host_.profile().contacts().empty());
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
}

TEST_F(ContactList, EmptyContactMaskEndsTheList) {
  auto packet = list("us", "", 1);
  packet.ul(0).lps("Group");
  packet.ul(0).ul(0).lps("amy").lps("Amy").ul(0).ul(1);
  dispatch(packet);
  EXPECT_TRUE(host_.profile().contacts().empty());
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
  EXPECT_NE(log_text().find("MRIM_HSP: MRIM_CS_CONTACT_LIST2 handled\r\n"), std::string::npos);
}

TEST_F(ContactList, HugeGroupCountWithEmptyGroupMaskReadsNoGroups) {
  auto packet = list("", "uussuu", 0xFFFFFFFF);
  packet.ul(0).ul(0).lps("amy").lps("Amy").ul(0).ul(1);
  dispatch(packet);
  EXPECT_EQ(setting(only("amy"), "Number"), Setting::dword(20));
}

TEST_F(ContactList, GroupsRunningPastTheBodyEndTheList) {
  auto packet = list("us", "uussuu", 5);
  packet.ul(0).lps("One");
  dispatch(packet);
  EXPECT_TRUE(host_.profile().contacts().empty());
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
}

TEST_F(ContactList, MasksOfNinetyNineLettersAreReadLongerOnesRefuseTheList) {
  std::string mask99 = "uussuu" + std::string(93, 'u');
  auto fits = list("", mask99);
  for (int entry = 0; entry < 2; ++entry) {
    fits.ul(0).ul(0).lps(entry == 0 ? "amy" : "kim").lps("").ul(0).ul(0);
    for (int i = 0; i < 93; ++i) fits.ul(i);
  }
  dispatch(fits);
  EXPECT_EQ(setting(only("amy"), "Number"), Setting::dword(20));
  EXPECT_EQ(setting(only("kim"), "Number"), Setting::dword(21));

  std::string mask100 = mask99 + "u";
  auto too_long = list("", mask100);
  too_long.ul(0).ul(0).lps("zed").lps("").ul(0).ul(0);
  for (int i = 0; i < 94; ++i) too_long.ul(i);
  dispatch(too_long);
  auto long_group = PacketBuilder(MRIM_CS_CONTACT_LIST2).ul(0).ul(0).lps(std::string(100, 'u')).lps("uussuu");
  long_group.ul(0).ul(0).lps("zed").lps("").ul(0).ul(0);
  dispatch(long_group);
  EXPECT_TRUE(contacts_with("zed").empty());
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
}

TEST_F(ContactList, EntryCutShortIsNotAppliedButEarlierOnesStay) {
  auto packet = list("", "uussuu");
  packet.ul(0).ul(0).lps("amy").lps("Amy").ul(0).ul(1);
  packet.ul(0).ul(0).lps("kim").lps("Kim").ul(0);  // the status is missing
  dispatch(packet);
  EXPECT_EQ(setting(only("amy"), "Number"), Setting::dword(20));
  EXPECT_TRUE(contacts_with("kim").empty());
  EXPECT_EQ(protocol_state.contact_list_loading.load(), 0u);
}

TEST_F(ContactList, LongAddressAndNicknameAreCutToTheirBuffers) {
  auto packet = list("", "uussuu");
  packet.ul(0).ul(0).lps(std::string(600, 'a')).lps(std::string(150, 'N')).ul(0).ul(1);
  dispatch(packet);
  Handle contact = only(std::string(511, 'a'));
  EXPECT_EQ(text(contact, "MyHandle", "CList"), std::string(150, 'N'));
  auto longer = list("", "uussuu");
  longer.ul(0).ul(0).lps("b").lps(std::string(300, 'M')).ul(0).ul(1);
  dispatch(longer);
  EXPECT_EQ(text(only("b"), "MyHandle", "CList"), std::string(MRIM_NAME_MAX, 'M'))
      << "the limit of group names too";
}

TEST_F(ContactList, ExistingContactsKeepTheirOtherSettings) {
  Handle kim = add_contact("kim");
  seed(kim, "CList", "NotOnList", Setting::byte(1));
  seed(kim, "CList", "Hidden", Setting::byte(1));
  seed(kim, "MRIM", "Nick", Setting::string("Kimmy"));
  auto packet = list("", "uussuu");
  packet.ul(0).ul(0).lps("kim").lps("Kim").ul(0).ul(1);
  dispatch(packet);
  EXPECT_EQ(only("kim"), kim);
  EXPECT_EQ(setting(kim, "NotOnList", "CList"), Setting::byte(0)) << "the server's list has it";
  EXPECT_EQ(setting(kim, "Hidden", "CList"), Setting::byte(1));
  EXPECT_EQ(text(kim, "Nick"), "Kimmy");
  EXPECT_EQ(text(kim, "MyHandle", "CList"), "Kim");
  EXPECT_EQ(setting(kim, "Number"), Setting::dword(20));
}

TEST_F(ContactList, NumbersStartAfreshWithEveryList) {
  for (int round = 0; round < 2; ++round) {
    auto packet = list("", "uussuu");
    packet.ul(0).ul(0).lps(round == 0 ? "amy" : "kim").lps("").ul(0).ul(0);
    dispatch(packet);
  }
  // Number 20 now names kim: amy, left out of the fresh list, loses it and is not on the list.
  EXPECT_EQ(setting(only("amy"), "Number"), Setting::dword(0));
  EXPECT_EQ(setting(only("amy"), "NotOnList", "CList"), Setting::byte(1));
  EXPECT_EQ(setting(only("kim"), "Number"), Setting::dword(20));
}

TEST_F(ContactList, FlagsGiveTheApparentMode) {
  auto packet = list("", "uussuu");
  packet.ul(0x08).ul(0).lps("vis").lps("").ul(0).ul(0);
  packet.ul(0x04).ul(0).lps("inv").lps("").ul(0).ul(0);
  packet.ul(0x10000).ul(0).lps("none").lps("").ul(0).ul(0);
  dispatch(packet);
  EXPECT_EQ(setting(only("vis"), "ApparentMode"), Setting::word(ID_STATUS_ONLINE));
  EXPECT_EQ(setting(only("vis"), "Flags"), Setting::dword(8));
  EXPECT_EQ(setting(only("inv"), "ApparentMode"), Setting::word(ID_STATUS_OFFLINE));
  EXPECT_FALSE(setting(only("none"), "ApparentMode").has_value());
  EXPECT_EQ(setting(only("none"), "Flags"), Setting::dword(0x10000)) << "the server's own bits as they came";
}

TEST_F(ContactList, HostThatCannotCreateContactsKeepsTheNumbersAndTheAccountUntouched) {
  Handle kim = add_contact("kim");
  make_contact_creation_fail();
  auto before = account_settings();
  auto packet = list("", "uussuu");
  packet.ul(0x08).ul(0).lps("amy").lps("Amy").ul(0).ul(1);
  packet.ul(0).ul(0).lps("kim").lps("Kim").ul(0).ul(1);
  dispatch(packet);
  EXPECT_EQ(account_settings(), before);
  EXPECT_EQ(setting(kim, "Number"), Setting::dword(21));
}

TEST_F(ContactList, EveryLetterOtherThanSReadsANumber) {
  auto packet = list("xs", "zXssyq", 1);
  packet.ul(0).lps("Group");
  packet.ul(0x08).ul(0).lps("amy").lps("Amy").ul(0).ul(MRIM_STATUS_AWAY);
  dispatch(packet);
  Handle amy = only("amy");
  EXPECT_EQ(setting(amy, "Status"), Setting::word(ID_STATUS_AWAY));
  EXPECT_EQ(setting(amy, "Flags"), Setting::dword(8));
}

class AccountNotices : public UnitHost {};

TEST_F(AccountNotices, UserInfoExampleGivesThree) {
  dispatch(PacketBuilder(MRIM_CS_USER_INFO).lps("MESSAGES.TOTAL").lps("12").lps("MESSAGES.UNREAD").lps("3"));
  EXPECT_EQ(protocol_state.unread_mail.load(), 3u);
  EXPECT_NE(log_text().find("MRIM_HSP: MRIM_CS_USER_INFO handled\r\n"), std::string::npos);
}

TEST_F(AccountNotices, UserInfoOfTodaysServersInAnyOrder) {
  dispatch(PacketBuilder(MRIM_CS_USER_INFO)
               .lps("MRIM.NICKNAME")
               .lps("Kim")
               .lps("MESSAGES.TOTAL")
               .lps("40")
               .lps("MESSAGES.UNREAD")
               .lps("7")
               .lps("client.endpoint")
               .lps("192.0.2.10:5555"));
  EXPECT_EQ(protocol_state.unread_mail.load(), 7u);
  dispatch(PacketBuilder(MRIM_CS_USER_INFO).lps("MESSAGES.UNREAD").lps("4").lps("MESSAGES.TOTAL").lps("9"));
  EXPECT_EQ(protocol_state.unread_mail.load(), 4u);
}

TEST_F(AccountNotices, UserInfoWithoutTheCountLeavesItAlone) {
  protocol_state.unread_mail = 5;
  dispatch(PacketBuilder(MRIM_CS_USER_INFO).lps("MESSAGES.TOTAL").lps("12"));
  dispatch(PacketBuilder(MRIM_CS_USER_INFO).lps("messages.unread").lps("1"));
  dispatch(PacketBuilder(MRIM_CS_USER_INFO).lps("MESSAGES.TOTAL").lps("12").lps("MESSAGES.UNREAD"));
  dispatch(PacketBuilder(MRIM_CS_USER_INFO).lps("MESSAGES.UNREAD").ul(10).raw({'1'}));
  dispatch(PacketBuilder(MRIM_CS_USER_INFO));
  EXPECT_EQ(protocol_state.unread_mail.load(), 5u);
}

TEST_F(AccountNotices, CountsAreReadAsDecimalNumbers) {
  EXPECT_EQ(mrim_parse_count("3"), 3u);
  EXPECT_EQ(mrim_parse_count("  \t+42 mails"), 42u);
  EXPECT_EQ(mrim_parse_count("007"), 7u);
  EXPECT_EQ(mrim_parse_count(""), 0u);
  EXPECT_EQ(mrim_parse_count("x1"), 0u);
  EXPECT_EQ(mrim_parse_count("-3"), 0u);
  EXPECT_EQ(mrim_parse_count("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(mrim_parse_count("99999999999999999999999"), 0xFFFFFFFFu);
}

TEST_F(AccountNotices, MailboxStatusSetsTheCount) {
  dispatch(PacketBuilder(MRIM_CS_MAILBOX_STATUS).ul(6));
  EXPECT_EQ(protocol_state.unread_mail.load(), 6u);
  dispatch(PacketBuilder(MRIM_CS_MAILBOX_STATUS).raw({1, 2}));
  dispatch(PacketBuilder(MRIM_CS_MAILBOX_STATUS));
  EXPECT_EQ(protocol_state.unread_mail.load(), 6u);
  EXPECT_EQ(testsupport::count_of(log_text(), "MRIM_HSP: MRIM_CS_MAILBOX_STATUS handled\r\n"), 3);
}

TEST_F(AccountNotices, LogoutTakesTheAccountOffline) {
  protocol_state.status = ID_STATUS_ONLINE;
  dispatch(PacketBuilder(MRIM_CS_LOGOUT).ul(0x10));
  EXPECT_EQ(protocol_state.status.load(), ID_STATUS_OFFLINE);
  EXPECT_EQ(protocol_state.connection.load(), nullptr);
  // First the log-in failure the host shows for a session taken over elsewhere, then the status.
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_EQ(acks[0].type, ACKTYPE_LOGIN);
  EXPECT_EQ(acks[0].result, ACKRESULT_FAILED);
  EXPECT_EQ(acks[0].param, LOGINERR_OTHERLOCATION);
  EXPECT_EQ(acks[1].type, ACKTYPE_STATUS);
  EXPECT_EQ(acks[1].param, ID_STATUS_OFFLINE);
  EXPECT_NE(log_text().find("MRIM_HSP: reason == 16\r\n"), std::string::npos);
}

TEST_F(AccountNotices, LogoutWithoutReasonDoesNothing) {
  protocol_state.status = ID_STATUS_ONLINE;
  dispatch(PacketBuilder(MRIM_CS_LOGOUT));
  dispatch(PacketBuilder(MRIM_CS_LOGOUT).raw({1}));
  EXPECT_EQ(protocol_state.status.load(), ID_STATUS_ONLINE);
  EXPECT_TRUE(host_.acks().empty());
}

TEST_F(AccountNotices, ConnectionParamsSetThePingPeriod) {
  ping_period = MRIM_DEFAULT_PING_PERIOD;
  dispatch(PacketBuilder(MRIM_CS_CONNECTION_PARAMS).ul(45));
  EXPECT_EQ(ping_period.load(), 45u);
  dispatch(PacketBuilder(MRIM_CS_CONNECTION_PARAMS).raw({7}));
  EXPECT_EQ(ping_period.load(), 45u);
  ping_period = MRIM_DEFAULT_PING_PERIOD;
}

class Dispatch : public UnitHost {};

TEST_F(Dispatch, EveryOtherCodeGoesToTheReplyQueue) {
  dispatch(PacketBuilder(MRIM_CS_MODIFY_CONTACT_ACK, 0x42).ul(0));
  dispatch(PacketBuilder(0x7777, 0x43));
  EXPECT_EQ(pending_queue_length(), 2);
  auto reply = std::make_unique<MrimPacket>();
  ASSERT_EQ(MRIM_receivepacket(reply.get(), sizeof(MrimPacket), 0x42, 1), 0);
  EXPECT_EQ(reply->msg, MRIM_CS_MODIFY_CONTACT_ACK);
  EXPECT_EQ(reply->dlen, 4u);
  std::string log = log_text();
  EXPECT_NE(
      log.find("MRIM_HSP: unhandled packet id(00007777) seq(00000043) in MRIM_HSP. storing to queue\r\n"),
      std::string::npos);
  EXPECT_NE(log.find("MRIM_HSP: malloc() ok\r\n"), std::string::npos);
}

TEST_F(Dispatch, HandledCodesNeverReachTheQueue) {
  for (uint32_t code :
       {MRIM_CS_MESSAGE_ACK, MRIM_CS_OFFLINE_MESSAGE_ACK, MRIM_CS_MAILBOX_STATUS, MRIM_CS_USER_STATUS,
        MRIM_CS_CONTACT_LIST2, MRIM_CS_USER_INFO, MRIM_CS_LOGOUT, MRIM_CS_CONNECTION_PARAMS}) {
    dispatch(PacketBuilder(code, 9));
  }
  EXPECT_EQ(pending_queue_length(), 0);
  std::string log = log_text();
  EXPECT_EQ(testsupport::count_of(log, "MRIM_HSP: started.\r\n"), 8);
  EXPECT_EQ(testsupport::count_of(log, "MRIM_HSP: ended.\r\n"), 8);
}

TEST_F(Dispatch, EventClockIsSecondsSince1970) {
  uint32_t before = testsupport::unix_seconds_now();
  uint32_t now = unix_time_now();
  uint32_t after = testsupport::unix_seconds_now();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

}  // namespace
