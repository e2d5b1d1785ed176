// The quirks of a community server with the contact list and its edits: the Unicode flag added
// to stored flags, those who added the account in its list, empty URIs of offline contacts, and
// how adds, renames, group deletes and contact deletes are answered.
#include "community.h"

namespace serversim {
namespace {

using namespace testing_support;

const std::string kAmy = "amy@mail.example";
const std::string kBob = "bob@mail.example";
const std::string kKim = "kim@mail.example";
const std::string kNews = "news@list.example";

Bytes add_group(const std::string& name) {
  return Writer().ul(contact_flag::group).ul(0).lps("").lps(name).ul(0).take();
}

// The index of each group entry of a list (the top byte of its flags), and its name.
std::vector<std::pair<uint32_t, std::string>> groups_of(const DecodedList& list) {
  std::vector<std::pair<uint32_t, std::string>> out;
  for (const ListEntry& g : list.groups) out.emplace_back(g.numbers.at(0) >> 24, g.texts.at(0));
  return out;
}

class CommunityList : public CommunityTest {
 protected:
  std::optional<Packet> ask(Client& c, uint32_t request_code, const Bytes& body) {
    return c.read_reply(c.request(request_code, body));
  }
  // The list of a fresh log-in of the account.
  DecodedList list_of(const std::string& email, const std::string& password,
                      uint32_t version = kProtoVersion) {
    turn_on(&Behavior::send_after_login);
    latest = logged_in(email, password, mrim_status::online, version);
    std::optional<Packet> list = latest->read_code(code::contact_list2);
    EXPECT_TRUE(list);
    return list ? decode_list(*list) : DecodedList{};
  }
  std::unique_ptr<Client> latest;
};

TEST_F(CommunityList, TheUnicodeFlagIsAddedToTheFlagsAClientSends) {
  turn_on(&Behavior::unicode_flag_added);
  auto kim = logged_in(kKim, "kim-pw", mrim_status::online, revision::v1_19);
  // Echoed from its list, as a Unicode client might.
  EXPECT_EQ(status_of(ask(*kim, code::modify_contact,
                          modify_contact(20, contact_flag::unicode, kAmy, kim->text("Amy")))),
            kContactOperSuccess);
  EXPECT_EQ(status_of(ask(*kim, code::add_contact, add_contact(kNews))), kContactOperSuccess);
  // At 1.8 the list adds no flag of its own.
  DecodedList list = list_of(kKim, "kim-pw");
  ASSERT_EQ(list.contacts.size(), 3u);
  EXPECT_EQ(list.contacts[0].numbers.at(0), 0x400u);
  EXPECT_EQ(list.contacts[2].numbers.at(0), 0x200u);
}

TEST_F(CommunityList, ThoseWhoAddedTheAccountStandInItsListAfterItsContacts) {
  Account bob = *server->account(kBob);
  bob.contacts = {make_contact(kAmy, "Amy"), make_contact(kKim, "Kim")};  // kim lists bob already
  server->add_account(bob);
  turn_on(&Behavior::list_shows_adders);
  auto bob_online = logged_in(kBob, "bob-pw");
  DecodedList list = list_of(kAmy, "amy-pw");
  ASSERT_EQ(list.contacts.size(), 2u);
  EXPECT_EQ(list.contacts[1].texts, (std::vector<std::string>{kBob, "Bob", ""}));
  // Flags, group, server flags, status: offline though logged in.
  EXPECT_EQ(list.contacts[1].numbers, (std::vector<uint32_t>{0, 0, 1, mrim_status::offline}));
  // Numbered with the rest: adding bob finds the number the list gave.
  std::optional<Packet> ack = ask(*latest, code::add_contact, add_contact(kBob));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body, Writer().ul(kContactOperSuccess).ul(21).take());
}

TEST_F(CommunityList, OfflineContactsCarryAnEmptyStatusUri) {
  turn_on(&Behavior::offline_empty_uri);
  auto amy = logged_in(kAmy, "amy-pw");
  DecodedList list = list_of(kKim, "kim-pw", revision::v1_15);
  ASSERT_EQ(list.contacts.size(), 2u);
  // Address, nickname, phone, URI...
  EXPECT_EQ(list.contacts[0].texts.at(3), "STATUS_ONLINE");
  EXPECT_EQ(list.contacts[1].texts.at(3), "");
}

TEST_F(CommunityList, AnAddIsAnsweredWithIdZeroYetTheContactIsNumbered) {
  turn_on(&Behavior::add_ack_id_zero);
  auto amy = logged_in(kAmy, "amy-pw");
  std::optional<Packet> ack = ask(*amy, code::add_contact, add_contact(kBob));
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->body, Writer().ul(kContactOperSuccess).ul(0).take());
  EXPECT_EQ(status_of(ask(*amy, code::modify_contact, modify_contact(21, 0, kBob, "Bobby"))),
            kContactOperSuccess);
  DecodedList list = list_of(kAmy, "amy-pw");
  ASSERT_EQ(list.contacts.size(), 2u);
  EXPECT_EQ(list.contacts[1].texts.at(1), "Bobby");
}

TEST_F(CommunityList, AddErrorsComeInPairsAndAnAddNeedsAnAccount) {
  turn_on(&Behavior::error_pairs, &Behavior::add_needs_account);
  auto amy = logged_in(kAmy, "amy-pw");
  const Bytes refused = Writer().ul(kContactOperError).ul(kAddErrorNumber).take();
  for (const Bytes& add : {add_contact("nobody@mail.example"), add_contact(""), add_group("")}) {
    std::optional<Packet> ack = ask(*amy, code::add_contact, add);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->body, refused);
  }
  EXPECT_EQ(server->account(kAmy)->contacts.size(), 1u);
  EXPECT_EQ(status_of(ask(*amy, code::add_contact, add_contact(kBob))), kContactOperSuccess);
}

TEST_F(CommunityList, AGroupIsRenamedFromTheAddressField) {
  turn_on(&Behavior::rename_from_address);
  auto kim = logged_in(kKim, "kim-pw");
  EXPECT_EQ(
      status_of(ask(*kim, code::modify_contact, modify_contact(0, contact_flag::group, "Pals", "Chums"))),
      kContactOperSuccess);
  EXPECT_EQ(status_of(ask(*kim, code::modify_contact, modify_contact(0, contact_flag::group, "", "Mates"))),
            kContactOperInvalidInfo);
  DecodedList list = list_of(kKim, "kim-pw");
  EXPECT_EQ(groups_of(list), (std::vector<std::pair<uint32_t, std::string>>{{0, "Pals"}}));
}

// Groups 0 to 3, amy in the last.
class GroupDelete : public CommunityList {
 protected:
  void SetUp() override {
    CommunityList::SetUp();
    kim = logged_in(kKim, "kim-pw");
    for (const char* name : {"A", "B", "C"}) ask(*kim, code::add_contact, add_group(name));
    ASSERT_EQ(status_of(ask(*kim, code::modify_contact, modify_contact(20, 0, kAmy, "Amy", 3))),
              kContactOperSuccess);
  }
  uint32_t remove(uint32_t index) {
    return status_of(ask(*kim, code::modify_contact,
                         modify_contact(index, contact_flag::group | contact_flag::removed, "", "")));
  }
  std::unique_ptr<Client> kim;
};

TEST_F(GroupDelete, RemovesAnEmptyGroupAndTheOthersKeepTheirIndices) {
  Behavior keeping = server->behavior();
  keeping.groups_renumbered = false;
  server->set_behavior(keeping);
  EXPECT_EQ(remove(3), kContactOperError);  // amy is in it
  EXPECT_EQ(remove(0), kContactOperError);
  EXPECT_EQ(remove(7), kContactOperError);
  EXPECT_EQ(remove(1), kContactOperSuccess);
  std::optional<Packet> created = ask(*kim, code::add_contact, add_group("D"));
  ASSERT_TRUE(created);
  EXPECT_EQ(created->body, Writer().ul(kContactOperSuccess).ul(4).take());
  DecodedList list = list_of(kKim, "kim-pw");
  EXPECT_EQ(groups_of(list),
            (std::vector<std::pair<uint32_t, std::string>>{{0, "Friends"}, {2, "B"}, {3, "C"}, {4, "D"}}));
  EXPECT_EQ(list.contacts.at(0).numbers.at(1), 3u);
}

TEST_F(GroupDelete, RenumbersTheLaterGroupsAndTheirContacts) {
  EXPECT_EQ(remove(1), kContactOperSuccess);
  std::optional<Packet> created = ask(*kim, code::add_contact, add_group("D"));
  ASSERT_TRUE(created);
  EXPECT_EQ(created->body, Writer().ul(kContactOperSuccess).ul(3).take());
  DecodedList list = list_of(kKim, "kim-pw");
  EXPECT_EQ(groups_of(list),
            (std::vector<std::pair<uint32_t, std::string>>{{0, "Friends"}, {1, "B"}, {2, "C"}, {3, "D"}}));
  EXPECT_EQ(list.contacts.at(0).numbers.at(1), 2u);
}

TEST_F(CommunityList, DeletesAndEditsOfStrangersAreCarriedOutUnanswered) {
  Account kim_account = *server->account(kKim);
  kim_account.contacts.push_back(make_contact(kNews, "News"));
  server->add_account(kim_account);
  turn_on(&Behavior::unanswered_edits);
  auto kim = logged_in(kKim, "kim-pw");
  uint32_t renamed = kim->request(code::modify_contact, modify_contact(22, 0, kNews, "Newsletter"));
  uint32_t removed = kim->request(code::modify_contact, modify_contact(20, contact_flag::removed, kAmy, ""));
  uint32_t answered = kim->request(code::modify_contact, modify_contact(21, 0, kBob, "Bob"));
  EXPECT_EQ(status_of(kim->read_reply(answered)), kContactOperSuccess);
  // Answered in order: the two before would be here already.
  EXPECT_FALSE(kim->read_reply(renamed, milliseconds(0)));
  EXPECT_FALSE(kim->read_reply(removed, milliseconds(0)));
  std::vector<Contact> contacts = server->account(kKim)->contacts;
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(contacts[0].nickname, "Bob");
  EXPECT_EQ(contacts[1].nickname, "Newsletter");
}

TEST_F(CommunityList, AfterADeleteTheRemoverShowsOfflineUntilItsNextStatus) {
  turn_on(&Behavior::delete_shows_offline);
  auto amy = logged_in(kAmy, "amy-pw");
  auto kim = logged_in(kKim, "kim-pw");
  auto status_to_amy = [&](Client& c) {
    std::optional<Packet> p = c.read_code(code::user_status);
    return p ? p->body : Bytes{};
  };
  EXPECT_EQ(status_to_amy(*amy), Writer().ul(mrim_status::online).lps(kKim).take());
  EXPECT_EQ(status_of(ask(*kim, code::modify_contact, modify_contact(21, contact_flag::removed, kBob, ""))),
            kContactOperSuccess);
  EXPECT_EQ(status_to_amy(*amy), Writer().ul(mrim_status::offline).lps(kKim).take());
  // So too in a list sent meanwhile.
  DecodedList list = list_of(kAmy, "amy-pw");
  ASSERT_EQ(list.contacts.size(), 1u);
  EXPECT_EQ(list.contacts[0].numbers.at(3), mrim_status::offline);
  kim->request(code::change_status, Writer().ul(mrim_status::away).take());
  EXPECT_EQ(status_to_amy(*latest), Writer().ul(mrim_status::away).lps(kKim).take());
}

}  // namespace
}  // namespace serversim
