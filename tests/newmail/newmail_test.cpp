// The new-mail notifier poll by poll: when it announces unread mail, in which style, how often,
// with which texts (cut to their buffers, translations used as formats safely), and the thread
// that runs the polls until the plug-in is unloaded.
#include "incoming/newmail.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"

namespace {

using hostsim::Handle;
using hostsim::Setting;

class NewMail : public ::testing::Test {
 protected:
  static constexpr const char* kModule = "MRIM";

  void SetUp() override {
    protocol_state_reset();
    threads_reset();
    strcpy(protocol_state.module_name, kModule);
    plugin_link = const_cast<PluginLink*>(host_.plugin_link());
    // Filled with a pattern so that a text written past its end would show in the neighbour.
    memset(context_.get(), 0xAB, sizeof(NewMailContext));
  }
  void TearDown() override {
    threads_stop_all(nullptr);
    threads_reset();
    newmail_set_poll_period(0);
    plugin_link = nullptr;
  }

  void account(const std::string& name, const Setting& value) {
    host_.profile().write_setting(0, kModule, name, value);
  }
  void notify(bool on, bool balloon) {
    account("NMNotify", Setting::byte(on ? 1 : 0));
    account("NMPN", Setting::dword(balloon ? 1 : 0));
  }
  void poll(uint32_t unread) {
    protocol_state.unread_mail = unread;
    newmail_poll(context_.get(), &state_);
  }
  // The polls (1-based) at which a balloon was shown.
  std::vector<int> balloons_over(const std::vector<uint32_t>& counts) {
    std::vector<int> shown;
    for (size_t i = 0; i < counts.size(); ++i) {
      size_t before = host_.tray_notices().size();
      poll(counts[i]);
      if (host_.tray_notices().size() > before) shown.push_back(static_cast<int>(i + 1));
    }
    return shown;
  }
  std::vector<Handle> contacts_named(const std::string& title) {
    std::vector<Handle> found;
    for (Handle contact : host_.profile().contacts())
      if (host_.profile().setting(contact, kModule, "EMail") == Setting::string(title))
        found.push_back(contact);
    return found;
  }
  std::vector<std::string> event_texts(Handle contact) {
    std::vector<std::string> texts;
    for (const auto& event : host_.profile().events(contact)) {
      EXPECT_EQ(event.type, EVENTTYPE_MESSAGE);
      EXPECT_EQ(event.module, kModule);
      EXPECT_EQ(event.flags, 0u);
      EXPECT_FALSE(event.blob.empty());
      EXPECT_EQ(event.blob.back(), 0) << "the text goes with its NUL";
      texts.emplace_back(event.blob.begin(), event.blob.end() - 1);
    }
    return texts;
  }
  // The context bytes after a text must still hold the fill pattern up to the next member.
  bool untouched_after(const char* text, size_t size) {
    size_t length = strlen(text);
    if (length >= size) return false;
    for (size_t i = length + 1; i < size; ++i)
      if (static_cast<unsigned char>(text[i]) != 0xAB) return false;
    return true;
  }

  hostsim::Host host_;
  std::unique_ptr<NewMailContext> context_ = std::make_unique<NewMailContext>();
  NewMailState state_;
};

TEST_F(NewMail, NothingWhileNotificationIsOff) {
  account("EMail", Setting::string("kim"));
  for (uint32_t count : {3u, 3u, 0u, 7u}) poll(count);
  account("NMNotify", Setting::byte(0));
  account("NMPN", Setting::dword(1));
  for (uint32_t count : {3u, 5u}) poll(count);
  EXPECT_TRUE(host_.tray_notices().empty());
  EXPECT_TRUE(host_.profile().contacts().empty());
}

TEST_F(NewMail, BalloonAtTheFirstPollAndEveryTwelfthAfter) {
  account("EMail", Setting::string("kim"));
  notify(true, true);
  std::vector<uint32_t> counts(25, 3);
  EXPECT_EQ(balloons_over(counts), (std::vector<int>{1, 13, 25}));
  hostsim::TrayNotice notice = host_.tray_notices().at(0);
  EXPECT_EQ(notice.protocol, "MRIM");
  EXPECT_EQ(notice.title, "kim Mailbox");
  EXPECT_EQ(notice.text, "3 New Messages");
  EXPECT_EQ(notice.info_flags, 1u);
  EXPECT_EQ(notice.timeout, 3000u);
  EXPECT_EQ(context_->balloon.size, static_cast<int>(sizeof(SystrayNotify)));
  EXPECT_TRUE(host_.profile().contacts().empty()) << "no mailbox contact in balloon style";
}

TEST_F(NewMail, PauseRunsOnWhileNoMailIsUnread) {
  account("EMail", Setting::string("kim"));
  notify(true, true);
  // Shown at 1; the pause runs out during the empty spell, so the new mail shows at once.
  std::vector<uint32_t> counts = {3};
  counts.insert(counts.end(), 12, 0);
  counts.push_back(1);
  EXPECT_EQ(balloons_over(counts), (std::vector<int>{1, 14}));
  // Mail that comes back while the pause still runs waits for it.
  EXPECT_EQ(balloons_over({0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}), (std::vector<int>{12}));
}

TEST_F(NewMail, RefusedBalloonIsTriedAgainAtTheNextPoll) {
  account("EMail", Setting::string("kim"));
  notify(true, true);
  host_.set_tray_available(true, 1);
  EXPECT_EQ(balloons_over({3, 3}), (std::vector<int>{1, 2}));
  host_.set_tray_available(true, 0);
  EXPECT_EQ(balloons_over({3, 3}), (std::vector<int>{1}));
}

TEST_F(NewMail, BalloonStyleWithoutTheTrayShowsNothingAtAll) {
  account("EMail", Setting::string("kim"));
  notify(true, true);
  host_.set_tray_available(false);
  for (int i = 0; i < 3; ++i) poll(3);
  EXPECT_TRUE(host_.tray_notices().empty());
  EXPECT_TRUE(host_.profile().contacts().empty());
}

TEST_F(NewMail, MailboxContactGetsOneEventPerSpellOfUnreadMail) {
  account("EMail", Setting::string("kim"));
  notify(true, false);
  poll(3);
  std::vector<Handle> mailbox = contacts_named("kim Mailbox");
  ASSERT_EQ(mailbox.size(), 1u);
  Handle contact = mailbox[0];
  EXPECT_EQ(host_.profile().protocol(contact), "MRIM");
  EXPECT_EQ(host_.profile().setting(contact, "CList", "MyHandle"), Setting::string("kim Mailbox"));
  EXPECT_EQ(host_.profile().setting(contact, "CList", "NotOnList"), Setting::byte(0));
  EXPECT_EQ(host_.profile().setting(contact, kModule, "Status"), Setting::word(ID_STATUS_ONLINE));
  ASSERT_EQ(host_.profile().events(contact).size(), 1u);
  EXPECT_EQ(host_.profile().events(contact)[0].blob.size(), 15u);
  EXPECT_EQ(event_texts(contact), std::vector<std::string>{"3 New Messages"});

  for (uint32_t count : {3u, 5u, 5u}) poll(count);  // a rise adds nothing
  poll(0);
  poll(2);
  EXPECT_EQ(event_texts(contact), (std::vector<std::string>{"3 New Messages", "2 New Messages"}));
  EXPECT_EQ(contacts_named("kim Mailbox").size(), 1u) << "found again, not made twice";
  EXPECT_TRUE(host_.tray_notices().empty());
}

TEST_F(NewMail, FailedEventIsAddedAtTheNextPoll) {
  account("EMail", Setting::string("kim"));
  notify(true, false);
  host_.destroy_service(MS_DB_EVENT_ADD);
  int attempts = 0;
  host_.create_service(MS_DB_EVENT_ADD, [&](WPARAM, LPARAM) -> INT_PTR { return ++attempts < 3 ? 0 : 77; });
  for (int i = 0; i < 5; ++i) poll(4);
  EXPECT_EQ(attempts, 3);
}

TEST_F(NewMail, ChangingStyleOrSwitchingOffAndOnActsAtTheNextPoll) {
  account("EMail", Setting::string("kim"));
  notify(true, true);
  EXPECT_EQ(balloons_over({3, 3}), (std::vector<int>{1}));
  notify(true, false);
  poll(3);
  Handle contact = contacts_named("kim Mailbox").at(0);
  EXPECT_EQ(event_texts(contact).size(), 1u);
  notify(true, true);
  EXPECT_EQ(balloons_over({3}), (std::vector<int>{1})) << "the pause was cleared by the change";
  notify(false, true);
  poll(3);
  notify(true, true);
  EXPECT_EQ(balloons_over({3}), (std::vector<int>{1})) << "switching off and on clears the pause";
  notify(true, false);
  poll(3);
  notify(false, false);
  poll(3);
  notify(true, false);
  poll(3);
  EXPECT_EQ(event_texts(contact).size(), 3u) << "switching off and on clears the event mark";
}

TEST_F(NewMail, TitleWithoutAddressIsMailbox) {
  notify(true, true);
  poll(1);
  ASSERT_EQ(host_.tray_notices().size(), 1u);
  EXPECT_EQ(host_.tray_notices()[0].title, "Mailbox");
  EXPECT_EQ(host_.tray_notices()[0].text, "1 New Messages");
}

TEST_F(NewMail, TranslationsAreUsedAsFormats) {
  account("EMail", Setting::string("kim@mail.example"));
  host_.load_translations({{"%lu New Messages", "Neue Nachrichten: %lu (100%%)"},
                           {"%s Mailbox", "Postfach von %s"},
                           {"Mailbox", "Postfach"}});
  notify(true, true);
  poll(4294967295u);
  ASSERT_EQ(host_.tray_notices().size(), 1u);
  EXPECT_EQ(host_.tray_notices()[0].title, "Postfach von kim@mail.example");
  EXPECT_EQ(host_.tray_notices()[0].text, "Neue Nachrichten: 4294967295 (100%)");
}

TEST_F(NewMail, ConversionsOtherThanTheOneExpectedStayAsText) {
  account("EMail", Setting::string("kim"));
  host_.load_translations({{"%lu New Messages", "%s %n %lu %lu %x"}, {"%s Mailbox", "%d %s %s %n"}});
  notify(true, true);
  poll(3);
  ASSERT_EQ(host_.tray_notices().size(), 1u);
  EXPECT_EQ(host_.tray_notices()[0].text, "%s %n 3 %lu %x");
  EXPECT_EQ(host_.tray_notices()[0].title, "%d kim %s %n");
}

TEST_F(NewMail, LongAddressIsCutSoThatTheWordsAroundItStay) {
  std::string address = std::string(100, 'k') + "@mail.example";
  account("EMail", Setting::string(address));
  notify(true, false);
  poll(3);
  std::string title = address.substr(0, 69 - strlen(" Mailbox")) + " Mailbox";
  ASSERT_EQ(title.size(), 69u);
  EXPECT_EQ(contacts_named(title).size(), 1u);
  EXPECT_TRUE(untouched_after(context_->title, sizeof context_->title));
  poll(0);
  poll(3);
  EXPECT_EQ(contacts_named(title).size(), 1u) << "the cut name finds the same contact again";
}

TEST_F(NewMail, LongTranslationsAreCutAtTheirBuffers) {
  std::string long_words(300, 'w');
  account("EMail", Setting::string("kim"));
  host_.load_translations({{"%lu New Messages", long_words + " %lu"},
                           {"%s Mailbox", long_words + "%s"},
                           {"Mailbox", long_words}});
  notify(true, true);
  poll(3);
  ASSERT_EQ(host_.tray_notices().size(), 1u);
  EXPECT_EQ(host_.tray_notices()[0].text, std::string(49, 'w'));
  EXPECT_EQ(host_.tray_notices()[0].title, std::string(69, 'w'));
  // Balloon style leaves the member after the texts alone: nothing ran past the title.
  const auto* after = reinterpret_cast<const unsigned char*>(&context_->mailbox_contact);
  EXPECT_TRUE(std::all_of(after, after + sizeof(HANDLE), [](unsigned char b) { return b == 0xAB; }));

  // Without an address the plain "Mailbox" translation is cut the same way.
  host_.profile().delete_setting(0, kModule, "EMail");
  poll(0);
  for (int i = 0; i < 12; ++i) poll(3);
  EXPECT_EQ(host_.tray_notices().back().title, std::string(69, 'w'));
}

TEST_F(NewMail, StyleAccessors) {
  EXPECT_EQ(newmail_balloon_enabled(), 0);
  account("NMPN", Setting::dword(7));
  EXPECT_EQ(newmail_balloon_enabled(), 1);
  newmail_set_balloon(0);
  EXPECT_EQ(host_.profile().setting(0, kModule, "NMPN"), Setting::dword(0));
  EXPECT_EQ(newmail_balloon_enabled(), 0);
  newmail_set_balloon(5);
  EXPECT_EQ(host_.profile().setting(0, kModule, "NMPN"), Setting::dword(1));
  EXPECT_EQ(newmail_balloon_enabled(), 1);
}

TEST_F(NewMail, ThreadPollsUntilTheStopRequest) {
  account("EMail", Setting::string("kim"));
  notify(true, true);
  protocol_state.unread_mail = 2;
  newmail_set_poll_period(10);
  auto* block = static_cast<NewMailContext*>(calloc(1, NEWMAIL_BLOCK_SIZE));
  ASSERT_EQ(thread_start_long(NewMailThread, block), 0);
  EXPECT_TRUE(host_.wait_until([&] { return !host_.tray_notices().empty(); }, 10000));
  threads_stop_all(nullptr);  // returns only once the thread has ended, so the block may go
  EXPECT_EQ(host_.tray_notices()[0].text, "2 New Messages");
  free(block);
}

}  // namespace
