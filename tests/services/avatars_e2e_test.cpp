// Contacts' pictures end to end: the real MRIM.so in the host stand-in, the server stand-in's
// MRIM and picture services on loopback. What the host is told, what lands in the cache folder,
// and what the picture service is asked, for good, missing, slow, broken and hostile pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "hostsim/netlib.h"
#include "serversim/server.h"
#include "services/avatars.h"
#include "support/plugin_session.h"
#include "support/server_routes.h"

namespace {

using serversim::AvatarKind;
using testsupport::PluginSession;
namespace fs = std::filesystem;

constexpr int kWaitMs = 60000;
const char* const kEmail = "kim@mrim.example";
const char* const kServerName = "mrim.test";

struct Pictured {
  const char* address;
  AvatarKind kind;
};
const Pictured kContacts[] = {
    {"ann@mrim.example", AvatarKind::picture}, {"ivan@mrim.example", AvatarKind::none},
    {"bad@mrim.example", AvatarKind::broken},  {"away@mrim.example", AvatarKind::redirect},
    {"big@mrim.example", AvatarKind::huge},    {"page@mrim.example", AvatarKind::html},
    {"slow1@mrim.example", AvatarKind::slow},  {"slow2@mrim.example", AvatarKind::slow},
    {"slow3@mrim.example", AvatarKind::slow},  {"late@mrim.example", AvatarKind::none},
};

class Avatars : public ::testing::Test {
 protected:
  void SetUp() override {
    serversim::Settings settings;
    settings.behavior = testsupport::test_server_behavior();
    settings.behavior.address_reply = std::string(kServerName) + ":443\r\n";
    settings.behavior.avatar_delay = std::chrono::milliseconds(400);
    serversim::Account account;
    account.email = kEmail;
    account.password = "kim-pw";
    account.nickname = "kim";
    account.groups.push_back(serversim::Group{0, "Friends"});
    for (const Pictured& contact : kContacts)
      account.contacts.push_back(
          serversim::Contact{contact.address, 0, 0, serversim::mrim_status::online, contact.address});
    settings.accounts = {account};
    server = std::make_unique<serversim::Server>(settings);
    server->start();
    for (const Pictured& contact : kContacts) server->set_avatar(contact.address, contact.kind);

    session = std::make_unique<PluginSession>("MRIM");
    testsupport::route_plugin_to(host().netlib(), *server, kServerName);
    session->set_account_text("EMail", kEmail);
    session->set_account_password("kim-pw");
    session->set_account_text("AvatarServer", "127.0.0.1:" + std::to_string(server->avatar_port()));
    ASSERT_TRUE(session->load());
  }

  void TearDown() override {
    session.reset();
    server->stop();
  }

  hostsim::Host& host() { return session->host(); }

  void go(int status) {
    const size_t before = host().acks().size();
    session->call("/SetStatus", static_cast<WPARAM>(status));
    ASSERT_TRUE(host().wait_until(
        [&] {
          auto acks = host().acks();
          return std::any_of(
              acks.begin() + static_cast<std::ptrdiff_t>(before), acks.end(),
              [&](const hostsim::AckRecord& a) { return a.type == ACKTYPE_STATUS && a.param == status; });
        },
        kWaitMs));
  }

  int requests_for(const std::string& address) {
    return server->avatar_requests("/mrim/" + address.substr(0, address.find('@')) + "/_mrimavatar");
  }

  bool all_asked_once() {
    return host().wait_until(
        [&] {
          return std::all_of(std::begin(kContacts), std::end(kContacts),
                             [&](const Pictured& c) { return requests_for(c.address) == 1; });
        },
        kWaitMs);
  }

  hostsim::Handle contact(const std::string& address) {
    for (hostsim::Handle handle : host().profile().contacts()) {
      auto email = host().setting(handle, "MRIM", "EMail");
      if (email && email->text == address) return handle;
    }
    return 0;
  }

  bool wait_for_contacts() {
    return host().wait_until(
        [&] {
          return std::all_of(std::begin(kContacts), std::end(kContacts),
                             [&](const Pictured& c) { return contact(c.address) != 0; });
        },
        kWaitMs);
  }

  std::optional<hostsim::AckRecord> avatar_ack(hostsim::Handle handle, size_t from = 0) {
    auto acks = host().acks();
    for (size_t i = from; i < acks.size(); ++i)
      if (acks[i].type == ACKTYPE_AVATAR && acks[i].contact == handle) return acks[i];
    return std::nullopt;
  }

  INT_PTR ask(hostsim::Handle handle, AvatarInformation* information, WPARAM flags = 0) {
    *information = AvatarInformation{};
    information->size = sizeof *information;
    information->contact = reinterpret_cast<HANDLE>(handle);
    return session->call("/GetAvatarInformation", flags, reinterpret_cast<LPARAM>(information));
  }

  std::set<std::string> cache_files() {
    std::set<std::string> names;
    fs::path folder = fs::path(host().profile_folder()) / "MRIM-avatars";
    if (fs::exists(folder))
      for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
  }

  std::unique_ptr<serversim::Server> server;
  std::unique_ptr<PluginSession> session;
};

bool is_jpeg_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[3] = {};
  in.read(head, 3);
  return in && static_cast<unsigned char>(head[0]) == 0xFF && static_cast<unsigned char>(head[1]) == 0xD8;
}

TEST_F(Avatars, OnlineContactsBringTheirPicturesAndHostileAnswersLeaveNothing) {
  EXPECT_NE(session->call("/GetCaps", PFLAGNUM_4) & PF4_AVATARS, 0);
  go(ID_STATUS_ONLINE);
  ASSERT_TRUE(wait_for_contacts());
  const hostsim::Handle ann = contact("ann@mrim.example");
  ASSERT_TRUE(host().wait_until([&] { return avatar_ack(ann).has_value(); }, kWaitMs));
  const hostsim::AckRecord announced = *avatar_ack(ann);
  EXPECT_EQ(announced.result, ACKRESULT_SUCCESS);
  EXPECT_EQ(announced.avatar_format, PA_FORMAT_JPEG);
  ASSERT_TRUE(announced.avatar_path.has_value());
  EXPECT_EQ(fs::path(*announced.avatar_path).parent_path().parent_path(), fs::path(host().profile_folder()));
  EXPECT_TRUE(is_jpeg_file(*announced.avatar_path));

  // From the cache at once, the same file.
  AvatarInformation information;
  ASSERT_EQ(ask(ann, &information), GAIR_SUCCESS);
  EXPECT_EQ(std::string(information.filename), *announced.avatar_path);
  EXPECT_EQ(information.format, PA_FORMAT_JPEG);

  // Every online contact was asked for once, never more than two at a time, slow ones too.
  ASSERT_TRUE(all_asked_once());
  for (const char* slow : {"slow1@mrim.example", "slow2@mrim.example", "slow3@mrim.example"})
    EXPECT_TRUE(host().wait_until([&] { return avatar_ack(contact(slow)).has_value(); }, kWaitMs)) << slow;
  EXPECT_LE(host().netlib().peak_connections_to("127.0.0.1:" + std::to_string(server->avatar_port())),
            AVATAR_FETCHES_AT_ONCE);

  // "No picture" is believed; the broken and hostile answers were not, and left no file.
  const hostsim::Handle ivan = contact("ivan@mrim.example");
  EXPECT_TRUE(host().wait_until([&] { return ask(ivan, &information) == GAIR_NOAVATAR; }, kWaitMs));
  for (const char* hostile :
       {"bad@mrim.example", "away@mrim.example", "big@mrim.example", "page@mrim.example"}) {
    const hostsim::Handle handle = contact(hostile);
    const size_t before = host().acks().size();
    ASSERT_EQ(ask(handle, &information), GAIR_WAITFOR) << hostile;
    ASSERT_TRUE(host().wait_until([&] { return avatar_ack(handle, before).has_value(); }, kWaitMs))
        << hostile;
    EXPECT_EQ(avatar_ack(handle, before)->result, ACKRESULT_FAILED) << hostile;
  }
  std::set<std::string> files = cache_files();
  const size_t pictures = std::count_if(files.begin(), files.end(), [](const std::string& n) {
    return n.size() > 4 && n.compare(n.size() - 4, 4, ".jpg") == 0;
  });
  EXPECT_EQ(pictures, 4u);  // ann and the three slow ones
  EXPECT_EQ(files.size(), 6u) << "and the two marks of no picture";

  // An address that could change the request is never asked for.
  hostsim::Handle evil = host().add_contact("MRIM");
  host().write_setting(evil, "MRIM", "EMail", hostsim::Setting::string("x\r\nHost: 192.0.2.1@mrim.example"));
  const int requests = server->avatar_requests();
  EXPECT_EQ(ask(evil, &information), GAIR_NOAVATAR);
  EXPECT_EQ(server->avatar_requests(), requests);
}

TEST_F(Avatars, ASecondLogInFetchesOnlyWhatTheCacheNoLongerHolds) {
  go(ID_STATUS_ONLINE);
  ASSERT_TRUE(wait_for_contacts());
  ASSERT_TRUE(all_asked_once());
  // Everything the first session fetched is stored before the second begins.
  for (const char* slow : {"slow1@mrim.example", "slow2@mrim.example", "slow3@mrim.example"})
    ASSERT_TRUE(host().wait_until([&] { return avatar_ack(contact(slow)).has_value(); }, kWaitMs)) << slow;
  const hostsim::Handle late = contact("late@mrim.example");
  AvatarInformation information;
  for (hostsim::Handle absent : {late, contact("ivan@mrim.example")})
    ASSERT_TRUE(host().wait_until([&] { return ask(absent, &information) == GAIR_NOAVATAR; }, kWaitMs));
  const int requests_before = server->avatar_requests();
  go(ID_STATUS_OFFLINE);

  // late's mark of no picture has expired meanwhile, and it has one now; nothing else changed.
  server->set_avatar("late@mrim.example", AvatarKind::picture);
  host().write_setting(late, "MRIM", "AvatarExpires", hostsim::Setting::dword(1));
  const size_t acks_before = host().acks().size();
  go(ID_STATUS_ONLINE);
  ASSERT_TRUE(host().wait_until([&] { return avatar_ack(late, acks_before).has_value(); }, kWaitMs));
  EXPECT_EQ(avatar_ack(late, acks_before)->result, ACKRESULT_SUCCESS);
  // The broken and hostile ones are asked again (nothing of theirs was kept); the rest is not.
  EXPECT_EQ(server->avatar_requests() - requests_before, 5);
  EXPECT_EQ(server->avatar_requests("/mrim/ann/_mrimavatar"), 1);
}

TEST_F(Avatars, OffMeansNoPicturesAndNoRequests) {
  session->set_account_text("AvatarServer", "off");
  go(ID_STATUS_ONLINE);
  ASSERT_TRUE(wait_for_contacts());
  AvatarInformation information;
  EXPECT_EQ(ask(contact("ann@mrim.example"), &information), GAIR_NOAVATAR);
  go(ID_STATUS_OFFLINE);
  EXPECT_EQ(server->avatar_requests(), 0);
}

}  // namespace
