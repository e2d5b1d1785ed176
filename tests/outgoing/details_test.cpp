// Contact details: the directory request, the first row of the reply stored as the contact's
// settings, the details acknowledgement, and replies that are short, long, lying or absent.
#include "contacts/details.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "support/unit_host.h"

namespace {

using testsupport::Ack;
using testsupport::as_handle;
using testsupport::Handle;
using testsupport::Packet;
using testsupport::Reader;
using testsupport::RequestHost;
using testsupport::Setting;
using testsupport::Writer;
namespace code = serversim::code;

using Fields = std::vector<std::pair<std::string, std::string>>;

class Details : public RequestHost {
 protected:
  void SetUp() override {
    RequestHost::SetUp();
    kim = add_contact("kim@example.org");
    serve([this](const Packet& request) -> std::vector<Packet> {
      if (request.code != code::directory_request || !reply_) return {};
      return {reply_(request)};
    });
  }

  // The server finds the address and answers with these fields (a second row when given).
  void answer(const Fields& fields, const std::vector<std::string>& second_row = {}) {
    reply_ = [=](const Packet& request) {
      Writer w;
      w.ul(1).ul(static_cast<uint32_t>(fields.size())).ul(second_row.empty() ? 1 : 2).ul(1234567);
      for (const auto& field : fields) w.lps(field.first);
      for (const auto& field : fields) w.lps(field.second);
      for (const auto& value : second_row) w.lps(value);
      return Packet{code::directory_info, request.seq, w.take()};
    };
  }
  void answer_body(serversim::Bytes body, uint32_t reply_code = code::directory_info) {
    reply_ = [=](const Packet& request) { return Packet{reply_code, request.seq, body}; };
  }
  void no_answer() { reply_ = nullptr; }

  INT_PTR get_info(Handle contact) {
    ProtocolCall call{as_handle(contact), "MRIM/GetInfo", 0, 0};
    return MRIM_GetInfo(0, reinterpret_cast<LPARAM>(&call));
  }
  std::vector<Ack> details_acks() {
    std::vector<Ack> found;
    for (const Ack& ack : acks())
      if (ack.type == ACKTYPE_GETINFO) found.push_back(ack);
    return found;
  }
  void expect_one_ack(int result) {
    std::vector<Ack> found = details_acks();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].module, "MRIM");
    EXPECT_EQ(found[0].contact, kim);
    EXPECT_EQ(found[0].result, result);
    EXPECT_EQ(found[0].process, 1u);
    EXPECT_FALSE(found[0].has_param);
  }
  // The contact's settings under the account's module, other than its "EMail".
  std::map<std::string, Setting> written() {
    std::map<std::string, Setting> found;
    for (const auto& [key, value] : host_.profile().settings(kim))
      if (key.first == kModule && key.second != "EMail") found[key.second] = value;
    return found;
  }

  Handle kim = 0;

 private:
  std::function<Packet(const Packet&)> reply_;
};

TEST_F(Details, StoresTheKnownFieldsAndAcknowledges) {
  answer({{"Nickname", "kim"}, {"Sex", "2"}, {"Birthday", "1990-07-15"}});
  EXPECT_EQ(get_info(kim), 0);

  std::vector<Packet> requests = sent_with_code(code::directory_request);
  ASSERT_EQ(requests.size(), 1u);
  Reader reader(requests[0].body);
  EXPECT_EQ(reader.ul(), 0u);
  EXPECT_EQ(reader.lps(), "kim");
  EXPECT_EQ(reader.ul(), 1u);
  EXPECT_EQ(reader.lps(), "example.org");
  EXPECT_TRUE(reader.at_end());

  std::map<std::string, Setting> expected = {{"e-mail", Setting::string("kim@example.org")},
                                             {"Nick", Setting::string("kim")},
                                             {"Gender", Setting::byte(70)},
                                             {"BirthYear", Setting::word(1990)},
                                             {"BirthMonth", Setting::byte(7)},
                                             {"BirthDay", Setting::byte(15)}};
  EXPECT_EQ(written(), expected);
  expect_one_ack(ACKRESULT_SUCCESS);
}

TEST_F(Details, EveryFieldOfTheTable) {
  answer({{"FirstName", "Kim"},
          {"LastName", "Lee"},
          {"Location", "Riga"},
          {"Phone", "+371 555"},
          {"Zodiac", "5"},
          {"City_id", "77"},
          {"Country_id", "24"},
          {"BDay", " 31"},
          {"BMonth", "+12"},
          {"Sex", "1"}});
  EXPECT_EQ(get_info(kim), 0);
  std::map<std::string, Setting> expected = {{"e-mail", Setting::string("kim@example.org")},
                                             {"FirstName", Setting::string("Kim")},
                                             {"LastName", Setting::string("Lee")},
                                             {"Location", Setting::string("Riga")},
                                             {"Phone", Setting::string("+371 555")},
                                             {"Zodiac", Setting::string("5")},
                                             {"City_id", Setting::string("77")},
                                             {"Country_id", Setting::string("24")},
                                             {"BirthDay", Setting::byte(31)},
                                             {"BirthMonth", Setting::byte(12)},
                                             {"Gender", Setting::byte(77)}};
  EXPECT_EQ(written(), expected);
}

TEST_F(Details, NumbersAndCodesOfOddValues) {
  struct Case {
    Fields fields;
    std::map<std::string, Setting> settings;  // besides "e-mail"
  };
  std::vector<Case> cases = {
      {{{"BDay", "none"}}, {{"BirthDay", Setting::byte(0)}}},
      {{{"BDay", "-1"}}, {{"BirthDay", Setting::byte(255)}}},
      {{{"BDay", "99999999999999999999"}}, {{"BirthDay", Setting::byte(255)}}},
      {{{"Sex", "0"}}, {{"Gender", Setting::byte(0)}}},
      {{{"Sex", "1 "}}, {{"Gender", Setting::byte(0)}}},
      {{{"Birthday", "1990-07"}}, {}},
      {{{"Birthday", "1990 -07-15"}}, {}},
      {{{"Birthday", "next year"}}, {}},
      {{{"Birthday", " 2001-1-2 and more"}},
       {{"BirthYear", Setting::word(2001)},
        {"BirthMonth", Setting::byte(1)},
        {"BirthDay", Setting::byte(2)}}},
      {{{"Birthday", "70000-300-258"}},
       {{"BirthYear", Setting::word(70000 & 0xFFFF)},
        {"BirthMonth", Setting::byte(300 & 0xFF)},
        {"BirthDay", Setting::byte(2)}}},
      {{{"Email", "x@y"}, {"nickname", "kim"}, {"NICKNAME", "kim"}}, {}},
      {{{"Nickname", "first"}, {"Nickname", "second"}}, {{"Nick", Setting::string("second")}}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    for (const auto& [name, value] : written()) host_.profile().delete_setting(kim, kModule, name);
    answer(cases[i].fields);
    EXPECT_EQ(get_info(kim), 0);
    std::map<std::string, Setting> expected = cases[i].settings;
    expected["e-mail"] = Setting::string("kim@example.org");
    EXPECT_EQ(written(), expected);
  }
  EXPECT_EQ(details_acks().size(), cases.size());
}

TEST_F(Details, NoFieldsStillSucceeds) {
  answer({});
  EXPECT_EQ(get_info(kim), 0);
  EXPECT_EQ(written(), (std::map<std::string, Setting>{{"e-mail", Setting::string("kim@example.org")}}));
  expect_one_ack(ACKRESULT_SUCCESS);
}

TEST_F(Details, OnlyTheFirstRowIsUsed) {
  answer({{"Nickname", "kim"}, {"Location", "Riga"}}, {"other", "Oslo"});
  EXPECT_EQ(get_info(kim), 0);
  EXPECT_EQ(setting(kim, "Nick"), Setting::string("kim"));
  EXPECT_EQ(setting(kim, "Location"), Setting::string("Riga"));
}

TEST_F(Details, ReplyLongerThanTheRequestBufferIsTakenWhole) {
  std::string location(3000, 'L');
  std::string phone(2000, '5');
  answer({{"Nickname", "kim"}, {"Location", location}, {"Phone", phone}, {"Zodiac", "3"}});
  EXPECT_EQ(get_info(kim), 0);
  EXPECT_EQ(setting(kim, "Location"), Setting::string(location));
  EXPECT_EQ(setting(kim, "Phone"), Setting::string(phone));
  EXPECT_EQ(setting(kim, "Zodiac"), Setting::string("3"));
  expect_one_ack(ACKRESULT_SUCCESS);
}

TEST_F(Details, FailuresGiveTheFailureAcknowledgementAfterTheAddress) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
  };
  std::vector<Case> cases = {
      {"not found", [&] { answer_body(Writer().ul(0).ul(0).ul(0).ul(0).take()); }},
      {"status 2", [&] { answer_body(Writer().ul(2).ul(0).ul(0).ul(0).take()); }},
      {"wrong code", [&] { answer_body(Writer().ul(1).ul(0).ul(1).ul(0).take(), code::add_contact_ack); }},
      {"empty body", [&] { answer_body({}); }},
      {"no time", [&] { answer_body(Writer().ul(1).ul(0).ul(1).take()); }},
      {"values missing",
       [&] { answer_body(Writer().ul(1).ul(2).ul(1).ul(0).lps("Nickname").lps("Phone").lps("kim").take()); }},
      {"lying count",
       [&] { answer_body(Writer().ul(1).ul(0xFFFFFFFF).ul(1).ul(0).lps("Nickname").lps("kim").take()); }},
      {"item past the end",
       [&] { answer_body(Writer().ul(1).ul(1).ul(1).ul(0).lps("Nickname").ul(500).take()); }},
      {"time-out", [&] { no_answer(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, value] : written()) host_.profile().delete_setting(kim, kModule, name);
    size_t before = details_acks().size();
    c.arrange();
    EXPECT_EQ(get_info(kim), 0);
    ASSERT_EQ(details_acks().size(), before + 1);
    EXPECT_EQ(details_acks().back().result, ACKRESULT_FAILED);
    EXPECT_EQ(written(), (std::map<std::string, Setting>{{"e-mail", Setting::string("kim@example.org")}}));
  }
  EXPECT_EQ(log_count("mrim_do_getinfo: ended with error\r\n"), static_cast<int>(cases.size()));
}

TEST_F(Details, AddressWithoutAtIsNotLookedUp) {
  Handle odd = add_contact("no-at-sign");
  kim = odd;
  answer({{"Nickname", "kim"}});
  EXPECT_EQ(get_info(odd), 0);
  EXPECT_TRUE(sent().empty());
  expect_one_ack(ACKRESULT_FAILED);
  EXPECT_EQ(setting(odd, "e-mail"), Setting::string("no-at-sign"));
}

TEST_F(Details, NoAddressNoAcknowledgement) {
  Handle nameless = add_contact("");
  EXPECT_EQ(get_info(nameless), 1);
  EXPECT_EQ(MRIM_GetInfo(0, 0), 1);
  EXPECT_TRUE(details_acks().empty());
  EXPECT_TRUE(sent().empty());
}

TEST_F(Details, AddressTooLongForAnyRequestFailsBeforeSending) {
  std::string address = std::string(70000, 'a') + "@example.org";
  seed(kim, kModule, "EMail", Setting::string(address));
  answer({{"Nickname", "kim"}});
  EXPECT_EQ(get_info(kim), 0);
  EXPECT_TRUE(sent().empty());
  expect_one_ack(ACKRESULT_FAILED);
}

TEST_F(Details, ListHoldsNamesAndValuesInReplyOrder) {
  answer({{"Username", "kim"}, {"Empty", ""}, {"Nickname", "Kim K"}});
  DetailsList* list = mrim_do_getinfo("kim@example.org");
  ASSERT_NE(list, nullptr);
  std::string expected("Username\0kim\0Empty\0\0Nickname\0Kim K\0\0\0\0", 38);
  EXPECT_EQ(std::string(list, expected.size()), expected);
  free(list);
}

TEST_F(Details, HostThreadsFetchingAtOnceEachGetTheirOwnDetails) {
  set_timeout(10);
  // The nickname the server gives is the user part of the address asked for.
  serve([](const Packet& request) -> std::vector<Packet> {
    Reader reader(request.body);
    reader.ul();
    std::string user = reader.lps().value_or("?");
    Writer w;
    w.ul(1).ul(1).ul(1).ul(0).lps("Nickname").lps(user);
    return {Packet{code::directory_info, request.seq, w.take()}};
  });
  Handle amy = add_contact("amy@example.org");
  std::atomic<int> wrong{0};
  auto fetch = [&](Handle contact, const char* nick) {
    for (int i = 0; i < 30; ++i) {
      if (get_info(contact) != 0 || setting(contact, "Nick") != Setting::string(nick)) ++wrong;
    }
  };
  std::thread a(fetch, kim, "kim");
  std::thread b(fetch, amy, "amy");
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(details_acks().size(), 60u);
}

}  // namespace
