// The console's event sources in-process, fed by the host stand-in as the plug-in would feed
// it: what a message acknowledgement turns into, for a delivery and for a failure with the
// plug-in's reason; the history a deleted contact leaves behind; contacts' pictures; and
// microblog posts, a contact's and our own.
#include "event_sources.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "contact_book.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "view.h"

namespace {

using console::Event;

class RecordingView : public console::View {
 public:
  void show(const Event& event) override {
    std::lock_guard lock(mu_);
    shown_.push_back(event);
  }
  void begin_wait(const std::string&, const std::string&) override {}
  void end_wait(const std::string&) override {}
  std::vector<Event> of_kind(const std::string& kind) {
    std::lock_guard lock(mu_);
    std::vector<Event> found;
    for (const Event& e : shown_)
      if (e.kind() == kind) found.push_back(e);
    return found;
  }

 private:
  std::mutex mu_;
  std::vector<Event> shown_;
};

class EventSources : public ::testing::Test {
 protected:
  void SetUp() override {
    contact = host.add_contact("MRIM");
    host.write_setting(contact, "MRIM", "EMail", hostsim::Setting::string("amy@mail.example"));
    sources.start();
  }
  void TearDown() override { sources.stop(); }

  void acknowledge(intptr_t ack, int result, const char* reason) {
    AckData data{sizeof(AckData),
                 "MRIM",
                 reinterpret_cast<HANDLE>(contact),
                 ACKTYPE_MESSAGE,
                 result,
                 reinterpret_cast<HANDLE>(ack),
                 reinterpret_cast<LPARAM>(reason)};
    host.call_service(MS_PROTO_BROADCASTACK, 0, reinterpret_cast<LPARAM>(&data));
    sources.flush();
  }

  hostsim::Host host;
  console::ContactBook book{host, "MRIM"};
  RecordingView view;
  console::EventSources sources{host, book, view};
  hostsim::Handle contact = 0;
};

TEST_F(EventSources, AFailedMessageShowsThePlugInsReasonADeliveredOneEntersTheHistory) {
  {
    auto hold = sources.hold_acks();
    sources.message_sent(7, contact, "lost", 0);
    // As sent to a plug-in on a host that takes UTF-8: "héllo 🙂".
    sources.message_sent(8, contact, "h\xC3\xA9llo \xF0\x9F\x99\x82", DBEF_UTF8);
  }
  // "сервер не ответил" ("the server did not answer") in code page 1251.
  acknowledge(7, ACKRESULT_FAILED, "\xF1\xE5\xF0\xE2\xE5\xF0 \xED\xE5 \xEE\xF2\xE2\xE5\xF2\xE8\xEB");
  acknowledge(8, ACKRESULT_SUCCESS, nullptr);
  std::vector<Event> delivered = view.of_kind("delivered");
  ASSERT_EQ(delivered.size(), 2u);
  const console::Value& failed = delivered[0].fields;
  EXPECT_EQ(console::number_of(failed, "ack"), 7);
  EXPECT_EQ(console::text_of(failed, "to"), "amy@mail.example");
  EXPECT_FALSE(console::flag_of(failed, "delivered"));
  EXPECT_EQ(console::text_of(failed, "reason"),
            "\xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB5\xD1\x80 \xD0\xBD\xD0\xB5 "
            "\xD0\xBE\xD1\x82\xD0\xB2\xD0\xB5\xD1\x82\xD0\xB8\xD0\xBB");
  EXPECT_TRUE(console::flag_of(delivered[1].fields, "delivered"));
  EXPECT_FALSE(delivered[1].fields.contains("reason"));
  // Only the delivered one is in the history, marked as UTF-8 and read so.
  std::vector<console::HistoryEntry> history = book.history(contact);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].text, "h\xC3\xA9llo \xF0\x9F\x99\x82");
  EXPECT_TRUE(history[0].outgoing);
  ASSERT_EQ(host.profile().events(contact).size(), 1u);
  EXPECT_EQ(host.profile().events(contact)[0].flags, console::kEventSent | DBEF_UTF8);
}

TEST_F(EventSources, ADeletedContactsHistoryIsKeptForItsAddressAndNotShownAgain) {
  // What the console's session does for every deletion.
  host.hook_event(ME_DB_CONTACT_DELETED, [this](WPARAM deleted, LPARAM) -> INT_PTR {
    book.keep_history(deleted);
    return 0;
  });
  auto receive = [&](hostsim::Handle to, std::string text, DWORD flags) {
    EventInfo info{sizeof(EventInfo),
                   "MRIM",
                   1700000000,
                   flags,
                   EVENTTYPE_MESSAGE,
                   static_cast<DWORD>(text.size() + 1),
                   reinterpret_cast<BYTE*>(text.data())};
    host.call_service(MS_DB_EVENT_ADD, to, reinterpret_cast<LPARAM>(&info));
  };
  receive(contact, "\xCF\xF0\xE8\xE2\xE5\xF2", 0);  // "Привет" in code page 1251
  sources.flush();
  ASSERT_EQ(view.of_kind("message").size(), 1u);
  // Not yet looked at when the contact goes: kept, and not shown as news from nobody.
  receive(contact, "unseen", 0);
  ASSERT_TRUE(host.delete_contact(contact));
  sources.flush();
  EXPECT_EQ(view.of_kind("message").size(), 1u);
  EXPECT_EQ(view.of_kind("contact_removed").size(), 1u);
  EXPECT_TRUE(book.contacts().empty());  // the keeper is no contact of the account
  std::vector<console::HistoryEntry> kept = book.history_of("Amy@mail.example");
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].text, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(kept[1].text, "unseen");

  // Added again, the address's history goes on where it stopped; deleted again, it is all kept.
  hostsim::Handle again = host.add_contact("MRIM");
  host.write_setting(again, "MRIM", "EMail", hostsim::Setting::string("amy@mail.example"));
  receive(again, "back \xF0\x9F\x99\x82", DBEF_UTF8);
  sources.flush();
  EXPECT_EQ(view.of_kind("message").size(), 2u);
  std::vector<std::string> texts;
  for (const console::HistoryEntry& entry : book.history(again)) texts.push_back(entry.text);
  EXPECT_EQ(texts, (std::vector<std::string>{kept[0].text, "unseen", "back \xF0\x9F\x99\x82"}));
  ASSERT_TRUE(host.delete_contact(again));
  sources.flush();
  EXPECT_EQ(book.history_of("amy@mail.example").size(), 3u);
  EXPECT_EQ(view.of_kind("message").size(), 2u);
}

// A picture's record lives for its acknowledgement's call only: what it said is read then.
// Only a picture that came is shown; one that is gone or could not be had is noted.
TEST_F(EventSources, APictureIsReadDuringItsAcknowledgementAndOnlyOneThatCameIsShown) {
  auto picture = [&](int result, const char* path) {
    AvatarInformation info{};
    info.size = sizeof info;
    info.contact = reinterpret_cast<HANDLE>(contact);
    info.format = PA_FORMAT_JPEG;
    std::snprintf(info.filename, sizeof info.filename, "%s", path);
    AckData data{sizeof(AckData),
                 "MRIM",
                 reinterpret_cast<HANDLE>(contact),
                 ACKTYPE_AVATAR,
                 result,
                 reinterpret_cast<HANDLE>(&info),
                 0};
    host.call_service(MS_PROTO_BROADCASTACK, 0, reinterpret_cast<LPARAM>(&data));
    std::memset(&info, 0xEE, sizeof info);
  };
  const auto now = std::chrono::steady_clock::now;
  EXPECT_FALSE(sources.avatar_seen(contact).has_value());
  const uint64_t before = sources.avatar_mark();
  picture(ACKRESULT_SUCCESS, "/pictures/amy.jpg");
  std::optional<console::EventSources::AvatarNews> came = sources.wait_for_avatar(contact, before, now(), {});
  ASSERT_TRUE(came);
  EXPECT_TRUE(came->present);
  EXPECT_EQ(came->path, "/pictures/amy.jpg");
  EXPECT_EQ(came->format, PA_FORMAT_JPEG);
  EXPECT_EQ(sources.avatar_seen(contact), true);
  // Nothing newer than the mark: the wait ends at its deadline.
  EXPECT_FALSE(sources.wait_for_avatar(contact, sources.avatar_mark(), now(), {}));

  const uint64_t later = sources.avatar_mark();
  picture(ACKRESULT_FAILED, "");
  std::optional<console::EventSources::AvatarNews> gone = sources.wait_for_avatar(contact, later, now(), {});
  ASSERT_TRUE(gone);
  EXPECT_FALSE(gone->present);
  EXPECT_EQ(sources.avatar_seen(contact), false);

  sources.flush();
  std::vector<Event> shown = view.of_kind("avatar");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(console::text_of(shown[0].fields, "address"), "amy@mail.example");
  EXPECT_EQ(console::text_of(shown[0].fields, "path"), "/pictures/amy.jpg");
  EXPECT_EQ(console::text_of(shown[0].fields, "format"), "jpeg");
}

// A contact's post comes as an event of its own kind, kept in its history apart from messages.
// Our own post's acknowledgement carries the reason in host text; it may come before the
// wait for it begins, and one that comes after the wait gave up is shown by itself.
TEST_F(EventSources, PostsAreShownKeptAndAcknowledged) {
  std::string text = "Back from the hills \xF0\x9F\x8F\x94";
  EventInfo info{sizeof(EventInfo),
                 "MRIM",
                 1800000000,
                 DBEF_UTF8,
                 EVENTTYPE_MICROBLOG,
                 static_cast<DWORD>(text.size() + 1),
                 reinterpret_cast<BYTE*>(text.data())};
  host.call_service(MS_DB_EVENT_ADD, contact, reinterpret_cast<LPARAM>(&info));
  sources.flush();
  EXPECT_TRUE(view.of_kind("message").empty());
  std::vector<Event> posts = view.of_kind("post");
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(console::text_of(posts[0].fields, "address"), "amy@mail.example");
  EXPECT_EQ(console::text_of(posts[0].fields, "text"), text);
  EXPECT_EQ(console::number_of(posts[0].fields, "time"), 1800000000);
  std::vector<console::HistoryEntry> history = book.history(contact);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_TRUE(history[0].post);
  EXPECT_FALSE(history[0].outgoing);

  auto acknowledge_post = [&](intptr_t id, int result, const char* reason) {
    AckData data{sizeof(AckData),
                 "MRIM",
                 nullptr,
                 ACKTYPE_MICROBLOG,
                 result,
                 reinterpret_cast<HANDLE>(id),
                 reinterpret_cast<LPARAM>(reason)};
    host.call_service(MS_PROTO_BROADCASTACK, 0, reinterpret_cast<LPARAM>(&data));
  };
  const auto now = std::chrono::steady_clock::now;
  // "слишком часто" ("too often") as a UTF-8 host is given it.
  acknowledge_post(3, ACKRESULT_FAILED,
                   "\xD1\x81\xD0\xBB\xD0\xB8\xD1\x88\xD0\xBA\xD0\xBE\xD0\xBC "
                   "\xD1\x87\xD0\xB0\xD1\x81\xD1\x82\xD0\xBE");
  acknowledge_post(4, ACKRESULT_SUCCESS, nullptr);
  std::optional<console::EventSources::PostNews> refused = sources.wait_for_post(3, "one", now(), {});
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->stored);
  EXPECT_EQ(refused->reason,
            "\xD1\x81\xD0\xBB\xD0\xB8\xD1\x88\xD0\xBA\xD0\xBE\xD0\xBC "
            "\xD1\x87\xD0\xB0\xD1\x81\xD1\x82\xD0\xBE");
  std::optional<console::EventSources::PostNews> stored = sources.wait_for_post(4, "two", now(), {});
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->stored);
  // Taken once: a second wait for the same number finds nothing.
  EXPECT_FALSE(sources.wait_for_post(4, "two", now(), {}));
  sources.flush();
  EXPECT_TRUE(view.of_kind("posted").empty());

  EXPECT_FALSE(sources.wait_for_post(5, "late one", now(), {}));
  acknowledge_post(5, ACKRESULT_SUCCESS, nullptr);
  sources.flush();
  std::vector<Event> late = view.of_kind("posted");
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(console::number_of(late[0].fields, "id"), 5);
  EXPECT_EQ(console::text_of(late[0].fields, "text"), "late one");
  EXPECT_TRUE(console::flag_of(late[0].fields, "posted"));
}

}  // namespace
