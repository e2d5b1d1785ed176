// The e-mail search, adding a found user, the "Authorization.." command, granting and refusing
// authorization requests: the requests on the wire, what reaches the host, inputs longer than
// their buffers, and the single buffers used from several host threads at once.
#include "contacts/list_editing.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>

#include "contacts/contact_records.h"
#include "contacts/search.h"
#include "support/unit_host.h"

namespace {

using testsupport::Ack;
using testsupport::as_handle;
using testsupport::Bytes;
using testsupport::Handle;
using testsupport::Packet;
using testsupport::Reader;
using testsupport::RequestHost;
using testsupport::Setting;
using testsupport::Writer;
namespace code = serversim::code;

// A directory reply: status, field count, row count, time, names, then the rows' values.
Packet directory_reply(uint32_t seq, uint32_t status, const std::vector<std::string>& names,
                       const std::vector<std::vector<std::string>>& rows) {
  Writer w;
  w.ul(status).ul(static_cast<uint32_t>(names.size())).ul(static_cast<uint32_t>(rows.size())).ul(1234567);
  for (const auto& name : names) w.lps(name);
  for (const auto& row : rows)
    for (const auto& value : row) w.lps(value);
  return Packet{code::directory_info, seq, w.take()};
}

class Search : public RequestHost {
 protected:
  INT_PTR search(const char* address) { return MRIM_SearchByEmail(0, reinterpret_cast<LPARAM>(address)); }
  std::vector<Ack> search_acks() {
    std::vector<Ack> found;
    for (const Ack& ack : acks())
      if (ack.type == ACKTYPE_SEARCH) found.push_back(ack);
    return found;
  }
  // Waits for the closing acknowledgement of the search and for its thread's end.
  void wait_closed(INT_PTR id) {
    ASSERT_TRUE(eventually([&] {
      for (const Ack& ack : search_acks())
        if (ack.process == static_cast<uintptr_t>(id) && ack.result == ACKRESULT_SUCCESS) return true;
      return false;
    })) << log_text();
    ASSERT_TRUE(wait_for_log("MRIM_SearchThread: ended"));
  }
  void answer_directory(std::function<Packet(const Packet&)> reply) {
    serve([reply](const Packet& request) -> std::vector<Packet> {
      if (request.code != code::directory_request) return {};
      return {reply(request)};
    });
  }
  static std::pair<std::string, std::string> read_request(const Packet& packet) {
    Reader reader(packet.body);
    EXPECT_EQ(reader.ul(), 0u);
    auto user = reader.lps();
    EXPECT_EQ(reader.ul(), 1u);
    auto domain = reader.lps();
    EXPECT_TRUE(reader.at_end());
    return {user.value_or("?"), domain.value_or("?")};
  }
};

TEST_F(Search, FoundAddressGivesOneHitThenTheClosingAcknowledgement) {
  answer_directory([](const Packet& request) {
    return directory_reply(request.seq, 1, {"Username", "Domain", "Nickname"},
                           {{"kim", "example.org", "Kim"}});
  });
  INT_PTR id = search("kim@example.org");
  ASSERT_NE(id, 0);
  wait_closed(id);

  std::vector<Packet> requests = sent_with_code(code::directory_request);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body.size(), 30u);
  EXPECT_EQ(read_request(requests[0]), std::make_pair(std::string("kim"), std::string("example.org")));
  EXPECT_NE(requests[0].seq, static_cast<uint32_t>(id)) << "the request has a number of its own";

  std::vector<Ack> found = search_acks();
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].result, ACKRESULT_DATA);
  EXPECT_EQ(found[0].contact, 0u);
  EXPECT_EQ(found[0].module, "MRIM");
  EXPECT_EQ(found[0].process, static_cast<uintptr_t>(id));
  EXPECT_EQ(found[0].record_size, MRIM_SEARCH_RESULT_SIZE);
  EXPECT_EQ(found[0].nick, "Kim");
  EXPECT_EQ(found[0].email, "kim@example.org");
  EXPECT_EQ(found[0].first_name, std::nullopt);
  EXPECT_EQ(found[0].last_name, std::nullopt);
  EXPECT_TRUE(found[0].reserved_zero);
  EXPECT_EQ(found[1].result, ACKRESULT_SUCCESS);
  EXPECT_EQ(found[1].process, static_cast<uintptr_t>(id));
  EXPECT_EQ(found[1].text, "Ok.");
}

// The fields after the host's own in a hit as the host keeps it.
MrimSearchResult extended(const Ack& ack) {
  MrimSearchResult result{};
  EXPECT_EQ(ack.record.size(), sizeof result);
  memcpy(&result, ack.record.data(), std::min(ack.record.size(), sizeof result));
  return result;
}

TEST_F(Search, ANameSearchHandsEveryRowWithCityAgeAndStatusAndSaysWhenThereIsMore) {
  std::vector<std::vector<std::string>> rows = {
      {"ivan", "mail.example", "Ваня", "Иван", "Moscow", "1990-01-01", "1"},
      {"", "", "nobody", "", "", "", ""},  // no address: nobody to add
      {"olga", "mail.example", "", "", "", "", "2"}};
  answer_directory([&](const Packet& request) {
    return directory_reply(
        request.seq, 1,
        {"Username", "Domain", "Nickname", "FirstName", "Location", "Birthday", "mrim_status"}, rows);
  });
  std::string nick = "Ваня";
  SearchByName names{nick.data(), nullptr, nullptr};
  INT_PTR id = MRIM_SearchByName(0, reinterpret_cast<LPARAM>(&names));
  wait_closed(id);
  std::vector<Packet> requests = sent_with_code(code::directory_request);
  ASSERT_EQ(requests.size(), 1u);  // a name search is asked once, found or not
  Reader request(requests[0].body);
  EXPECT_EQ(request.ul(), MRIM_SEARCH_KEY_NICKNAME);
  EXPECT_EQ(request.lps(), nick);
  EXPECT_TRUE(request.at_end());

  std::vector<Ack> found = search_acks();
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].email, "ivan@mail.example");
  EXPECT_EQ(found[0].nick, "Ваня");
  EXPECT_EQ(found[0].first_name, "Иван");
  MrimSearchResult ivan = extended(found[0]);
  EXPECT_STREQ(ivan.city, "Moscow");
  EXPECT_GE(ivan.age, 36u);
  EXPECT_EQ(ivan.status, static_cast<DWORD>(ID_STATUS_ONLINE));
  EXPECT_EQ(found[1].nick, "olga@mail.example");  // no nickname: the address stands for it
  EXPECT_EQ(extended(found[1]).age, 0u);
  EXPECT_EQ(extended(found[1]).status, static_cast<DWORD>(ID_STATUS_AWAY));
  EXPECT_EQ(found[2].text, "Ok.");

  // A full page says that there is more; a refusal says why, as a failure.
  rows.assign(SEARCH_PAGE_ROWS, {"u", "mail.example", "", "", "", "", "0"});
  id = MRIM_SearchByName(0, reinterpret_cast<LPARAM>(&names));
  wait_closed(id);
  EXPECT_EQ(search_acks().back().text, "More.");
  answer_directory([](const Packet& request) { return directory_reply(request.seq, 3, {}, {}); });
  int ended = log_count("MRIM_SearchThread: ended\r\n");
  id = MRIM_SearchByName(0, reinterpret_cast<LPARAM>(&names));
  ASSERT_TRUE(wait_for_log("MRIM_SearchThread: ended", ended + 1));
  EXPECT_EQ(search_acks().back().result, ACKRESULT_FAILED);
  EXPECT_EQ(search_acks().back().text, "Too many searches; try again in a few minutes.");
  // Nothing to look for: no request, and the search ends at once.
  SearchByName empty{nullptr, nullptr, nullptr};
  size_t asked = sent_with_code(code::directory_request).size();
  wait_closed(MRIM_SearchByName(0, reinterpret_cast<LPARAM>(&empty)));
  EXPECT_EQ(sent_with_code(code::directory_request).size(), asked);
}

TEST_F(Search, NoHitWhenTheServerDoesNotFindOrDoesNotAnswer) {
  struct Case {
    const char* name;
    std::function<std::vector<Packet>(const Packet&)> server;
  };
  std::vector<Case> cases = {
      {"status 0", [](const Packet& r) { return std::vector<Packet>{directory_reply(r.seq, 0, {}, {})}; }},
      {"status 2",
       [](const Packet& r) { return std::vector<Packet>{directory_reply(r.seq, 2, {"a"}, {{"b"}})}; }},
      {"wrong code",
       [](const Packet& r) {
         return std::vector<Packet>{Packet{code::add_contact_ack, r.seq, Writer().ul(1).take()}};
       }},
      {"empty body",
       [](const Packet& r) {
         return std::vector<Packet>{Packet{code::directory_info, r.seq, {}}};
       }},
      {"time-out", [](const Packet&) { return std::vector<Packet>{}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    serve(c.server);
    int ended = log_count("MRIM_SearchThread: ended\r\n");
    size_t before = search_acks().size();
    INT_PTR id = search("kim@example.org");
    ASSERT_TRUE(wait_for_log("MRIM_SearchThread: ended", ended + 1));
    std::vector<Ack> found = search_acks();
    ASSERT_EQ(found.size(), before + 1);
    EXPECT_EQ(found.back().result, ACKRESULT_SUCCESS);
    EXPECT_EQ(found.back().process, static_cast<uintptr_t>(id));
  }
}

TEST_F(Search, AnyShapeOfFoundReplyStillGivesExactlyOneHit) {
  std::string long_value(5000, 'v');
  std::vector<std::function<Packet(const Packet&)>> replies = {
      [](const Packet& r) { return directory_reply(r.seq, 1, {}, {}); },
      [&](const Packet& r) { return directory_reply(r.seq, 1, {"Location"}, {{long_value}}); },
      // Counts that promise far more than the body holds.
      [](const Packet& r) {
        return Packet{code::directory_info, r.seq, Writer().ul(1).ul(0xFFFFFFFF).take()};
      },
      [](const Packet& r) {
        return Packet{code::directory_info, r.seq, Writer().ul(1).ul(3).ul(1).ul(0).lps("a").ul(999).take()};
      },
  };
  for (size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(i);
    answer_directory(replies[i]);
    INT_PTR id = search("kim@example.org");
    wait_closed(id);
    int hits = 0;
    for (const Ack& ack : search_acks())
      if (ack.process == static_cast<uintptr_t>(id) && ack.result == ACKRESULT_DATA) ++hits;
    EXPECT_EQ(hits, 1);
  }
}

TEST_F(Search, TextWithoutAtGivesAnIdentifierAndNothingElse) {
  INT_PTR first = search("no-at-sign");
  INT_PTR second = search(nullptr);
  EXPECT_NE(first, 0);
  EXPECT_NE(second, 0);
  EXPECT_NE(first, second);
  // A real search afterwards ends; nothing came for the two before it.
  answer_directory([](const Packet& r) { return directory_reply(r.seq, 0, {}, {}); });
  wait_closed(search("kim@example.org"));
  EXPECT_EQ(sent().size(), 2u);  // nobody found is asked for once more
  EXPECT_EQ(search_acks().size(), 1u);
  EXPECT_EQ(log_count("MRIM_SearchThread: started\r\n"), 1);
}

TEST_F(Search, DomainIsEverythingAfterTheFirstAt) {
  answer_directory([](const Packet& r) { return directory_reply(r.seq, 0, {}, {}); });
  wait_closed(search("kim@x@example.org"));
  EXPECT_EQ(read_request(sent_with_code(code::directory_request).at(0)),
            std::make_pair(std::string("kim"), std::string("x@example.org")));
}

TEST_F(Search, LongestPartsFitAndLongerOnesEndTheSearchWithoutAskingTheServer) {
  answer_directory([](const Packet& r) { return directory_reply(r.seq, 1, {}, {}); });
  std::string user(199, 'u');
  std::string domain(199, 'd');
  std::string longest = user + "@" + domain;
  INT_PTR id = search(longest.c_str());
  wait_closed(id);
  ASSERT_EQ(sent_with_code(code::directory_request).size(), 1u);
  EXPECT_EQ(read_request(sent_with_code(code::directory_request)[0]), std::make_pair(user, domain));
  EXPECT_EQ(search_acks().at(0).nick, longest);

  for (const std::string& address :
       {user + "u@d", std::string("u@") + domain + "d", user + "u@" + domain + "d"}) {
    SCOPED_TRACE(address.size());
    size_t acks_before = search_acks().size();
    int ended = log_count("MRIM_SearchThread: ended\r\n");
    INT_PTR too_long = search(address.c_str());
    ASSERT_TRUE(wait_for_log("MRIM_SearchThread: ended", ended + 1));
    std::vector<Ack> found = search_acks();
    ASSERT_EQ(found.size(), acks_before + 1) << "only the closing acknowledgement";
    EXPECT_EQ(found.back().result, ACKRESULT_SUCCESS);
    EXPECT_EQ(found.back().process, static_cast<uintptr_t>(too_long));
  }
  EXPECT_EQ(sent_with_code(code::directory_request).size(), 1u);
}

TEST_F(Search, SeveralSearchesRunAtOnce) {
  set_timeout(10);
  std::map<INT_PTR, std::string> searches;
  for (int i = 0; i < 3; ++i) {
    std::string address = "user" + std::to_string(i) + "@example.org";
    searches[search(address.c_str())] = address;
  }
  // Written one at a time, each once the one before has its answer; the one found nowhere is
  // asked for once more.
  for (size_t answered = 0; answered < 4; ++answered) {
    ASSERT_TRUE(eventually([&] { return sent_with_code(code::directory_request).size() == answered + 1; }));
    Packet request = sent_with_code(code::directory_request).back();
    queue(directory_reply(request.seq, read_request(request).first == "user1" ? 0 : 1, {}, {}));
  }
  for (const auto& [id, address] : searches) wait_closed(id);
  ASSERT_TRUE(wait_for_log("MRIM_SearchThread: ended", 3));
  std::map<uintptr_t, std::string> hits;
  for (const Ack& ack : search_acks())
    if (ack.result == ACKRESULT_DATA) hits[ack.process] = ack.email.value_or("");
  std::map<uintptr_t, std::string> expected;
  for (const auto& [id, address] : searches)
    if (address != "user1@example.org") expected[static_cast<uintptr_t>(id)] = address;
  EXPECT_EQ(hits, expected);
}

class ListEditing : public RequestHost {
 protected:
  void SetUp() override {
    RequestHost::SetUp();
    // The server adds every contact with the number 25, or answers as set below.
    serve([this](const Packet& request) -> std::vector<Packet> {
      if (request.code != code::add_contact || !add_reply_) return {};
      return {(*add_reply_)(request)};
    });
    answer_add(0, 25);
  }
  void answer_add(uint32_t status, uint32_t number, uint32_t reply_code = code::add_contact_ack) {
    add_reply_ = [=](const Packet& request) {
      return Packet{reply_code, request.seq, Writer().ul(status).ul(number).take()};
    };
  }
  void answer_add_with(std::function<Packet(const Packet&)> reply) { add_reply_ = std::move(reply); }
  void no_answer() { add_reply_.reset(); }

  INT_PTR add(const char* address, int size = sizeof(SearchResult)) {
    SearchResult result{};
    result.size = size;
    result.nick = const_cast<char*>(address);
    result.email = const_cast<char*>(address);
    return MRIM_AddToList(0, reinterpret_cast<LPARAM>(&result));
  }
  static std::optional<std::string> add_address(const Packet& packet) {
    Reader reader(packet.body);
    auto flags = reader.ul(), group = reader.ul();
    auto address = reader.lps(), name = reader.lps();
    auto last = reader.ul();
    if (flags != 0u || group != 0u || !address || !name || last != 0u || !reader.at_end())
      return std::nullopt;
    return address;
  }
  static std::optional<std::string> authorize_address(const Packet& packet) {
    Reader reader(packet.body);
    auto address = reader.lps();
    if (!reader.at_end()) return std::nullopt;
    return address;
  }
  std::vector<Handle> contacts_with(const std::string& email) {
    std::vector<Handle> found;
    for (Handle contact : host_.profile().contacts())
      if (setting(contact, "EMail") == Setting::string(email)) found.push_back(contact);
    return found;
  }

  // An authorization request as the dispatcher stores it: number 0, the contact, the address as
  // nickname, empty first and last names, the address as e-mail, the reason.
  Handle request_event(Handle contact, const std::string& address, WORD type = EVENTTYPE_AUTHREQUEST,
                       const std::string& module = kModule) {
    Bytes blob(8, 0);
    uint32_t word = static_cast<uint32_t>(contact);
    memcpy(blob.data() + 4, &word, 4);
    for (const std::string& text :
         {address, std::string(), std::string(), address, std::string("let me in")}) {
      blob.insert(blob.end(), text.begin(), text.end());
      blob.push_back(0);
    }
    return event_with_blob(contact, blob, type, module);
  }
  Handle event_with_blob(Handle contact, const Bytes& blob, WORD type = EVENTTYPE_AUTHREQUEST,
                         const std::string& module = kModule) {
    hostsim::StoredEvent event;
    event.contact = contact;
    event.module = module;
    event.type = type;
    event.blob = blob;
    return host_.profile().add_event(event);
  }
  std::vector<uint32_t> codes() {
    std::vector<uint32_t> found;
    for (const Packet& packet : sent()) found.push_back(packet.code);
    return found;
  }

 private:
  std::optional<std::function<Packet(const Packet&)>> add_reply_;
};

TEST_F(ListEditing, AddToListMakesAListContactWithTheServersNumber) {
  Handle contact = static_cast<Handle>(add("kim@example.org"));
  ASSERT_NE(contact, 0u);
  EXPECT_EQ(contacts_with("kim@example.org"), std::vector<Handle>{contact});
  EXPECT_EQ(setting(contact, "NotOnList", "CList"), Setting::byte(0));
  EXPECT_EQ(setting(contact, "Number"), Setting::dword(25));
  std::vector<Packet> adds = sent_with_code(code::add_contact);
  ASSERT_EQ(adds.size(), 1u);
  EXPECT_EQ(add_address(adds[0]), "kim@example.org");
  EXPECT_EQ(adds[0].body.size(), 4u + 4 + 19 + 19 + 4);
}

TEST_F(ListEditing, AddToListTakesAnExistingTemporaryContactOntoTheList) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "CList", "NotOnList", Setting::byte(1));
  EXPECT_EQ(static_cast<Handle>(add("kim@example.org")), kim);
  EXPECT_EQ(setting(kim, "NotOnList", "CList"), Setting::byte(0));
  EXPECT_EQ(contacts_with("kim@example.org").size(), 1u);
}

TEST_F(ListEditing, AddToListRefusesOtherRecords) {
  EXPECT_EQ(add("kim@example.org", 28), 0);
  EXPECT_EQ(add(""), 0);
  EXPECT_EQ(add(nullptr), 0);
  EXPECT_EQ(MRIM_AddToList(0, 0), 0);
  EXPECT_TRUE(host_.profile().contacts().empty());
  EXPECT_TRUE(sent().empty());
}

// The host hears of an add only through the list number, so the user is told in the tray why
// there is none.
TEST_F(ListEditing, FailedAddLeavesTheContactWithoutNumberAndTellsWhy) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    const char* reason;
    bool refused = false;       // the server said no: the user is told that it was not added
    bool off_the_list = false;  // and so the host shows the contact as not on the list
  };
  std::vector<Case> cases = {
      {"no such user", [&] { answer_add(3, 0); }, "There is no such user.", true, true},
      {"on the list already", [&] { answer_add(5, 0); }, "It is on the list already.", true},
      {"wrong code", [&] { answer_add(0, 25, code::modify_contact_ack); }, "did not answer"},
      {"no number",
       [&] {
         answer_add_with([](const Packet& r) {
           return Packet{code::add_contact_ack, r.seq, Writer().ul(0).take()};
         });
       },
       "could not be read"},
      {"empty body",
       [&] { answer_add_with([](const Packet& r) {
               return Packet{code::add_contact_ack, r.seq, {}};
             }); },
       "could not be read"},
      {"time-out", [&] { no_answer(); }, "did not answer"},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    std::string address = "user" + std::to_string(i++) + "@example.org";
    Handle contact = static_cast<Handle>(add(address.c_str()));
    ASSERT_NE(contact, 0u);
    EXPECT_EQ(setting(contact, "NotOnList", "CList"), Setting::byte(c.off_the_list ? 1 : 0));
    EXPECT_EQ(setting(contact, "Number"), std::nullopt);
    ASSERT_EQ(host_.tray_notices().size(), static_cast<size_t>(i));
    const hostsim::TrayNotice notice = host_.tray_notices().back();
    EXPECT_EQ(notice.info_flags, NIIF_WARNING);
    // Only a refusal says the add was not made; without an answer it may have been.
    const std::string said =
        c.refused ? address + " was not added" : "not known whether " + address + " was added";
    EXPECT_NE(notice.text.find(said), std::string::npos) << notice.text;
    EXPECT_NE(notice.text.find(c.reason), std::string::npos) << notice.text;
  }
  EXPECT_EQ(log_count("mrim_do_addcontact: ended with error\r\n"), 6);
}

TEST_F(ListEditing, AddRequestAddressLimit) {
  std::string longest(2038, 'a');
  std::string too_long(2039, 'a');
  uint32_t number = 0;
  EXPECT_EQ(mrim_do_addcontact(longest.c_str(), 0, &number), 0);
  EXPECT_EQ(number, 25u);
  number = 0;
  EXPECT_EQ(mrim_do_addcontact(too_long.c_str(), 0, &number), 1);
  EXPECT_EQ(number, 0u);
  std::vector<Packet> adds = sent_with_code(code::add_contact);
  ASSERT_EQ(adds.size(), 1u);
  EXPECT_EQ(adds[0].body.size(), 4096u) << "the longest request fills the buffer exactly";
  EXPECT_EQ(add_address(adds[0]), longest);
  EXPECT_TRUE(logged("mrim_do_addcontact: address too long"));
}

TEST_F(ListEditing, AuthorizeRequestAddressLimit) {
  std::string longest(1020, 'a');
  std::string too_long(1021, 'a');
  EXPECT_EQ(mrim_do_authorize(longest.c_str()), 0);
  EXPECT_EQ(mrim_do_authorize(too_long.c_str()), 0);
  std::vector<Packet> grants = sent_with_code(code::authorize);
  ASSERT_EQ(grants.size(), 1u);
  EXPECT_EQ(grants[0].body.size(), 1024u);
  EXPECT_EQ(authorize_address(grants[0]), longest);
  EXPECT_TRUE(logged("mrim_do_authorize: address too long"));
}

// The list name is the nickname once the server's list is loaded; the requests go to the address.
TEST_F(ListEditing, ReqAuthAddsAndAuthorizesTheAddressNotTheListName) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "CList", "MyHandle", Setting::string("Kim Lee"));
  EXPECT_EQ(MRIM_ReqAuth(reinterpret_cast<WPARAM>(as_handle(kim)), 0), 0);
  EXPECT_EQ(codes(), (std::vector<uint32_t>{code::add_contact, code::authorize}));
  EXPECT_EQ(add_address(sent()[0]), "kim@example.org");
  EXPECT_EQ(authorize_address(sent()[1]), "kim@example.org");
  EXPECT_EQ(setting(kim, "Number"), Setting::dword(25));
}

TEST_F(ListEditing, ReqAuthAuthorizesEvenWhenTheAddFails) {
  answer_add(1, 0);
  Handle kim = add_contact("kim@example.org");
  seed(kim, "CList", "MyHandle", Setting::string("kim@example.org"));
  EXPECT_EQ(MRIM_ReqAuth(reinterpret_cast<WPARAM>(as_handle(kim)), 0), 0);
  EXPECT_EQ(codes(), (std::vector<uint32_t>{code::add_contact, code::authorize}));
  EXPECT_EQ(setting(kim, "Number"), std::nullopt);
}

TEST_F(ListEditing, ReqAuthDoesNothingWithoutContactOrAddress) {
  Handle kim = add_contact("");
  seed(kim, "CList", "MyHandle", Setting::string("Kim Lee"));
  Handle numbered = add_contact("");
  seed(numbered, kModule, "EMail", Setting::dword(5));
  EXPECT_EQ(MRIM_ReqAuth(0, 0), 0);
  EXPECT_EQ(MRIM_ReqAuth(reinterpret_cast<WPARAM>(as_handle(kim)), 0), 0);
  EXPECT_EQ(MRIM_ReqAuth(reinterpret_cast<WPARAM>(as_handle(numbered)), 0), 0);
  EXPECT_TRUE(sent().empty());
}

TEST_F(ListEditing, AuthorizeGrantsTheAskingContact) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "CList", "MyHandle", Setting::string("Kim Lee"));
  seed(kim, "CList", "NotOnList", Setting::byte(1));
  Handle event = request_event(kim, "kim@example.org");
  EXPECT_EQ(MRIM_Authorize(event, 0), 0);
  EXPECT_EQ(setting(kim, "NotOnList", "CList"), Setting::byte(0));
  EXPECT_EQ(codes(), (std::vector<uint32_t>{code::add_contact, code::authorize}));
  EXPECT_EQ(add_address(sent()[0]), "kim@example.org");
  EXPECT_EQ(authorize_address(sent()[1]), "kim@example.org");
  EXPECT_EQ(setting(kim, "Number"), Setting::dword(25));
}

TEST_F(ListEditing, AuthDenyMakesTheAskerTemporaryAndSendsNothing) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "CList", "NotOnList", Setting::byte(0));
  EXPECT_EQ(MRIM_AuthDeny(request_event(kim, "kim@example.org"), 0), 0);
  EXPECT_EQ(setting(kim, "NotOnList", "CList"), Setting::byte(1));
  EXPECT_TRUE(sent().empty());
}

TEST_F(ListEditing, UnusableEventsChangeNothing) {
  Handle kim = add_contact("kim@example.org");
  seed(kim, "CList", "MyHandle", Setting::string("kim@example.org"));
  struct Case {
    const char* name;
    Handle event;
  };
  std::vector<Case> cases = {
      {"message event", request_event(kim, "kim@example.org", EVENTTYPE_MESSAGE)},
      {"other account", request_event(kim, "kim@example.org", EVENTTYPE_AUTHREQUEST, "OTHERPROTO")},
      {"no such event", 9999},
      {"blob too short", event_with_blob(kim, Bytes{0, 0, 0, 0, 1})},
      {"empty blob", event_with_blob(kim, Bytes{})},
      {"names no contact", request_event(0, "kim@example.org")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MRIM_Authorize(c.event, 0), 1);
    EXPECT_EQ(MRIM_AuthDeny(c.event, 0), 1);
  }
  EXPECT_TRUE(sent().empty());
  EXPECT_EQ(setting(kim, "NotOnList", "CList"), std::nullopt);
  EXPECT_EQ(setting(0, "NotOnList", "CList"), std::nullopt);
}

TEST_F(ListEditing, AddsFromSeveralHostThreadsEachGetTheirOwnReply) {
  // The number tells the address apart: 100 + the digit in it.
  answer_add_with([](const Packet& request) {
    std::string address = add_address(request).value_or("?");
    return Packet{code::add_contact_ack, request.seq, Writer().ul(0).ul(100 + (address[4] - '0')).take()};
  });
  constexpr int kPerThread = 50;
  std::atomic<int> wrong{0};
  auto adder = [&](char digit) {
    std::string address = std::string("user") + digit + "@example.org";
    for (int i = 0; i < kPerThread; ++i) {
      uint32_t number = 0;
      if (mrim_do_addcontact(address.c_str(), 0, &number) != 0 || number != 100u + (digit - '0')) ++wrong;
    }
  };
  std::thread a(adder, '1');
  std::thread b(adder, '2');
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(sent_with_code(code::add_contact).size(), 2u * kPerThread);
}

TEST_F(ListEditing, AuthorizationsFromSeveralHostThreadsSendWholeRequests) {
  constexpr int kPerThread = 200;
  auto granter = [](const std::string& address) {
    for (int i = 0; i < kPerThread; ++i) mrim_do_authorize(address.c_str());
  };
  std::thread a(granter, std::string("a@example.org"));
  std::thread b(granter, std::string("someone.with.a.longer.name@example.org"));
  a.join();
  b.join();
  std::vector<Packet> grants = sent_with_code(code::authorize);
  ASSERT_EQ(grants.size(), 2u * kPerThread);
  int to_a = 0;
  std::set<uint32_t> seqs;
  for (const Packet& grant : grants) {
    auto address = authorize_address(grant);
    ASSERT_TRUE(address);
    EXPECT_TRUE(*address == "a@example.org" || *address == "someone.with.a.longer.name@example.org")
        << *address;
    to_a += *address == "a@example.org";
    seqs.insert(grant.seq);
  }
  EXPECT_EQ(to_a, kPerThread);
  EXPECT_EQ(seqs.size(), grants.size());
}

}  // namespace
