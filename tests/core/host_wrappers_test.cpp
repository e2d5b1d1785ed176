// The host wrappers against the host stand-in: defaults, widths, text settings, and marking
// contacts offline.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "core/host_services.h"
#include "core/protocol_state.h"
#include "hostsim/host.h"

namespace {

using hostsim::Setting;

class HostWrappers : public ::testing::Test {
 protected:
  void SetUp() override {
    protocol_state_reset();
    strcpy(protocol_state.module_name, "chat");
    plugin_link = const_cast<PluginLink*>(host_.plugin_link());
  }
  void TearDown() override { plugin_link = nullptr; }
  HANDLE contact(hostsim::Handle handle) { return reinterpret_cast<HANDLE>(handle); }

  hostsim::Host host_;
};

TEST_F(HostWrappers, NumericReadsGiveTheDefaultOnlyWhenMissing) {
  EXPECT_EQ(get_setting_dword(nullptr, "chat", "Timeout", 10), 10u);
  write_setting_dword(nullptr, "chat", "Timeout", 0);
  EXPECT_EQ(get_setting_dword(nullptr, "chat", "Timeout", 10), 0u);
  EXPECT_EQ(get_setting_byte(nullptr, "chat", "Missing", 7), 7);
  EXPECT_EQ(get_setting_word(nullptr, "chat", "Missing", 40071), 40071);
}

TEST_F(HostWrappers, NumericReadsTakeTheLowBitsOfWhateverWasStored) {
  write_setting_word(nullptr, "chat", "Value", 0x0102);
  EXPECT_EQ(get_setting_byte(nullptr, "chat", "Value", 0), 2);
  write_setting_dword(nullptr, "chat", "Big", 0x12345678);
  EXPECT_EQ(get_setting_word(nullptr, "chat", "Big", 0), 0x5678);
  EXPECT_EQ(get_setting_dword(nullptr, "chat", "Big", 0), 0x12345678u);
  write_setting_byte(nullptr, "chat", "Small", 0xFE);
  EXPECT_EQ(get_setting_dword(nullptr, "chat", "Small", 0), 0xFEu);
}

// A text where a number belongs (a hand-edited profile, another plug-in's setting) is no
// number: the default comes back and the host's copy of the text is released.
TEST_F(HostWrappers, NumericReadsOfATextGiveTheDefaultAndReleaseIt) {
  int released_texts = 0;
  host_.destroy_service(MS_DB_CONTACT_FREEVARIANT);
  host_.create_service(MS_DB_CONTACT_FREEVARIANT, [&](WPARAM, LPARAM l) -> INT_PTR {
    auto* variant = reinterpret_cast<SettingVariant*>(l);
    if (variant->type == DBVT_ASCIIZ) {
      free(variant->text);
      ++released_texts;
    }
    variant->type = DBVT_DELETED;
    return 0;
  });
  write_setting_string(nullptr, "chat", "Timeout", "30");
  EXPECT_EQ(get_setting_byte(nullptr, "chat", "Timeout", 7), 7);
  EXPECT_EQ(get_setting_word(nullptr, "chat", "Timeout", 40071), 40071);
  EXPECT_EQ(get_setting_dword(nullptr, "chat", "Timeout", 10), 10u);
  EXPECT_EQ(released_texts, 3);
}

TEST_F(HostWrappers, WritesStoreTheirTypeAndReachTheHostInOrder) {
  write_setting_byte(nullptr, "chat", "B", 1);
  write_setting_word(nullptr, "chat", "W", 2);
  write_setting_dword(nullptr, "chat", "D", 3);
  write_setting_string(nullptr, "chat", "T", "text");
  EXPECT_EQ(host_.setting(0, "chat", "B"), (Setting{DBVT_BYTE, 1, {}}));
  EXPECT_EQ(host_.setting(0, "chat", "W"), (Setting{DBVT_WORD, 2, {}}));
  EXPECT_EQ(host_.setting(0, "chat", "D"), (Setting{DBVT_DWORD, 3, {}}));
  EXPECT_EQ(host_.setting(0, "chat", "T"), (Setting{DBVT_ASCIIZ, 0, "text"}));
  std::vector<std::string> order;
  for (const auto& write : host_.setting_writes()) order.push_back(write.setting);
  EXPECT_EQ(order, (std::vector<std::string>{"B", "W", "D", "T"}));
}

TEST_F(HostWrappers, TextSettingsAreReadAndGivenBack) {
  write_setting_string(nullptr, "chat", "EMail", "kim@example.org");
  SettingVariant value{};
  ASSERT_EQ(get_setting(nullptr, "chat", "EMail", &value), 0);
  ASSERT_EQ(value.type, DBVT_ASCIIZ);
  EXPECT_STREQ(value.text, "kim@example.org");
  free_setting(&value);
  SettingVariant missing{};
  EXPECT_NE(get_setting(nullptr, "chat", "Password", &missing), 0);
}

TEST_F(HostWrappers, StatusAcknowledgementCarriesEveryField) {
  broadcast_ack("chat", nullptr, ACKTYPE_STATUS, ACKRESULT_SUCCESS,
                reinterpret_cast<HANDLE>(ID_STATUS_OFFLINE), ID_STATUS_ONLINE);
  auto acks = host_.acks();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].module, "chat");
  EXPECT_EQ(acks[0].contact, 0u);
  EXPECT_EQ(acks[0].type, ACKTYPE_STATUS);
  EXPECT_EQ(acks[0].result, ACKRESULT_SUCCESS);
  EXPECT_EQ(acks[0].process, static_cast<uintptr_t>(ID_STATUS_OFFLINE));
  EXPECT_EQ(acks[0].param, ID_STATUS_ONLINE);
}

TEST_F(HostWrappers, SetAllContactsOfflineTouchesOnlyOwnContactsThatAreNotOffline) {
  hostsim::Handle away = host_.add_contact("chat");
  hostsim::Handle unset = host_.add_contact("chat");
  hostsim::Handle foreign = host_.add_contact("chatter");  // a prefix of ours is not ours
  write_setting_word(contact(away), "chat", "Status", ID_STATUS_AWAY);
  write_setting_word(contact(foreign), "chat", "Status", ID_STATUS_ONLINE);
  host_.clear_records();
  set_all_contacts_offline();
  EXPECT_EQ(get_setting_word(contact(away), "chat", "Status", 0), ID_STATUS_OFFLINE);
  EXPECT_EQ(get_setting_word(contact(foreign), "chat", "Status", 0), ID_STATUS_ONLINE);
  EXPECT_FALSE(host_.setting(unset, "chat", "Status").has_value());
  ASSERT_EQ(host_.setting_writes().size(), 1u);
  EXPECT_EQ(host_.setting_writes()[0].contact, away);
}

}  // namespace
