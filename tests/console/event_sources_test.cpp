// The console's event sources in-process, fed by the host stand-in as the plug-in would feed
// it: what a message acknowledgement turns into, for a delivery and for a failure with the
// plug-in's reason.
#include "event_sources.h"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "contact_book.h"
#include "hostsim/host.h"
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
    sources.message_sent(7, contact, "lost");
    sources.message_sent(8, contact, "hello");
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
  // Only the delivered one is in the history.
  std::vector<console::HistoryEntry> history = book.history(contact);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].text, "hello");
  EXPECT_TRUE(history[0].outgoing);
}

}  // namespace
