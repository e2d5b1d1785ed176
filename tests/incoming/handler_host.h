// The fixture of the handler and contact tests: the plug-in's code linked in, a host stand-in
// behind plugin_link, the diagnostic log in a private folder, a connection whose sends are
// recorded (and answered, for MRIM_CS_MODIFY_CONTACT, straight into the reply queue as a
// server would), and packets built with the codec and handed to MRIM_HSP in buffers exactly as
// long as the packet, so that a read past the body is a read past the allocation.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "incoming/dispatcher.h"
#include "plugin/log.h"
#include "plugin/protocol_state.h"
#include "protocol/codec.h"
#include "protocol/receive.h"
#include "serversim/wire.h"
#include "support/support.h"

namespace handlertest {

using hostsim::Handle;
using hostsim::Setting;
using serversim::Bytes;

inline HANDLE as_handle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

inline int count_of(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

// A packet body built item by item with the plug-in's codec; raw() adds bytes as they are, for
// items cut short or lying about their length.
class PacketBuilder {
 public:
  explicit PacketBuilder(uint32_t code, uint32_t seq = 0) : packet_(std::make_shared<MrimPacket>()) {
    mrim_packet_init(packet_.get(), code, seq);
  }
  PacketBuilder& ul(uint32_t value) {
    EXPECT_EQ(mrim_append_ul(packet_.get(), value), 0);
    return *this;
  }
  PacketBuilder& lps(const std::string& text) {
    EXPECT_EQ(mrim_append_lps(packet_.get(), text.c_str()), 0);
    return *this;
  }
  // An LPS whose text may hold NUL bytes.
  PacketBuilder& lps_bytes(const std::string& bytes) {
    ul(static_cast<uint32_t>(bytes.size()));
    return raw(Bytes(bytes.begin(), bytes.end()));
  }
  PacketBuilder& raw(const Bytes& bytes) {
    memcpy(packet_->body + packet_->dlen, bytes.data(), bytes.size());
    packet_->dlen += static_cast<uint32_t>(bytes.size());
    return *this;
  }
  // The packet in a buffer of exactly 44 + dlen bytes.
  Bytes bytes() const {
    const BYTE* start = reinterpret_cast<const BYTE*>(packet_.get());
    return Bytes(start, start + MRIM_HEADER_SIZE + packet_->dlen);
  }

 private:
  std::shared_ptr<MrimPacket> packet_;  // copies share the packet being built
};

class HandlerHost : public ::testing::Test {
 protected:
  static constexpr const char* kModule = "MRIM";

  void SetUp() override {
    protocol_state_reset();
    pending_queue_clear();
    strcpy(protocol_state.module_name, kModule);
    plugin_link = const_cast<PluginLink*>(host_.plugin_link());
    log_init(kModule);
    host_.destroy_service(MS_NETLIB_SEND);
    host_.create_service(MS_NETLIB_SEND, [this](WPARAM, LPARAM l) { return on_send(l); });
    host_.destroy_service(MS_PROTO_CONTACTISTYPING);
    host_.create_service(MS_PROTO_CONTACTISTYPING, [this](WPARAM contact, LPARAM seconds) -> INT_PTR {
      note("typing " + std::to_string(contact) + " " + std::to_string(seconds));
      return 0;
    });
    host_.destroy_service(MS_DB_EVENT_ADD);
    host_.create_service(MS_DB_EVENT_ADD, [this](WPARAM contact, LPARAM l) { return on_event(contact, l); });
    protocol_state.connection = kConnection;
    work_ = std::make_unique<ListenerWorkArea>();
  }

  void TearDown() override {
    protocol_state.connection = nullptr;
    pending_queue_clear();
    plugin_link = nullptr;
  }

  // Hands the packet to the dispatcher in a buffer of its own length.
  void dispatch(const PacketBuilder& builder) { dispatch_bytes(builder.bytes()); }
  void dispatch_bytes(const Bytes& bytes) {
    std::vector<BYTE> exact(bytes.begin(), bytes.end());
    EXPECT_EQ(MRIM_HSP(reinterpret_cast<const MrimPacket*>(exact.data()), work_.get()), 0);
  }

  // The typing notices, sends and events the handlers made, in order: "typing C S",
  // "send 0xCODE", "event C TYPE".
  std::vector<std::string> order() {
    std::lock_guard lock(mutex_);
    return order_;
  }
  std::vector<hostsim::StoredEvent> events() {
    std::vector<hostsim::StoredEvent> all;
    for (Handle contact : host_.profile().contacts()) {
      for (auto& event : host_.profile().events(contact)) all.push_back(event);
    }
    for (auto& event : host_.profile().events(0)) all.push_back(event);
    return all;
  }
  static std::string blob_text(const hostsim::StoredEvent& event) {
    return std::string(event.blob.begin(), event.blob.end());
  }

  std::vector<serversim::Packet> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::vector<serversim::Packet> sent_with_code(uint32_t code) {
    std::vector<serversim::Packet> found;
    for (const auto& packet : sent())
      if (packet.code == code) found.push_back(packet);
    return found;
  }
  // The answer to every MRIM_CS_MODIFY_CONTACT: the status, or no answer at all.
  void answer_modify_with(std::optional<uint32_t> status, uint32_t code = MRIM_CS_MODIFY_CONTACT_ACK) {
    modify_status_ = status;
    modify_code_ = code;
  }
  void answer_modify_without_body() { modify_without_body_ = true; }

  std::string log_text() { return testsupport::read_file(folder_.file(std::string(kModule) + ".dbg")); }

  Handle add_contact(const std::string& email, const std::string& protocol = kModule) {
    Handle contact = host_.profile().add_contact();
    host_.profile().set_protocol(contact, protocol);
    if (!email.empty()) host_.profile().write_setting(contact, protocol, "EMail", Setting::string(email));
    return contact;
  }
  void seed(Handle contact, const std::string& module, const std::string& name, const Setting& value) {
    host_.profile().write_setting(contact, module, name, value);
  }
  std::optional<Setting> setting(Handle contact, const std::string& name,
                                 const std::string& module = kModule) {
    return host_.profile().setting(contact, module, name);
  }
  std::optional<std::string> text(Handle contact, const std::string& name,
                                  const std::string& module = kModule) {
    auto value = setting(contact, name, module);
    if (!value || value->type != DBVT_ASCIIZ) return std::nullopt;
    return value->text;
  }
  // The contacts of the account whose "EMail" is the address, in the host's order.
  std::vector<Handle> contacts_with(const std::string& email) {
    std::vector<Handle> found;
    for (Handle contact : host_.profile().contacts()) {
      if (host_.profile().protocol(contact) != kModule) continue;
      auto value = text(contact, "EMail");
      if (value && *value == email) found.push_back(contact);
    }
    return found;
  }
  // The account's own settings (contact 0), to show that nothing fell on them.
  std::map<hostsim::Profile::SettingKey, Setting> account_settings() { return host_.profile().settings(0); }

  // Makes "DB/Contact/Add" fail as a host that cannot create contacts does.
  void make_contact_creation_fail() {
    host_.destroy_service(MS_DB_CONTACT_ADD);
    host_.create_service(MS_DB_CONTACT_ADD, [](WPARAM, LPARAM) -> INT_PTR { return 0; });
  }

  static inline const HANDLE kConnection = reinterpret_cast<HANDLE>(uintptr_t{0x7001});

  testsupport::WorkFolder folder_;
  hostsim::Host host_;
  std::unique_ptr<ListenerWorkArea> work_;

 private:
  INT_PTR on_send(LPARAM l) {
    auto* buffer = reinterpret_cast<const NetlibBuffer*>(l);
    auto frame = serversim::cut_frame(reinterpret_cast<const uint8_t*>(buffer->data),
                                      static_cast<size_t>(buffer->length), MRIM_BODY_CAPACITY);
    EXPECT_EQ(frame.kind, serversim::Frame::Kind::packet);
    EXPECT_EQ(frame.consumed, static_cast<size_t>(buffer->length));
    {
      std::lock_guard lock(mutex_);
      sent_.push_back(frame.packet);
    }
    note("send " + serversim::code_name(frame.packet.code));
    if (frame.packet.code == MRIM_CS_MODIFY_CONTACT && modify_status_) {
      PacketBuilder reply(modify_code_, frame.packet.seq);
      if (!modify_without_body_) reply.ul(*modify_status_);
      Bytes bytes = reply.bytes();
      auto packet = std::make_unique<MrimPacket>();
      memcpy(packet.get(), bytes.data(), bytes.size());
      pending_queue_add(packet.get());
    }
    return buffer->length;
  }

  INT_PTR on_event(WPARAM contact, LPARAM l) {
    auto* info = reinterpret_cast<const EventInfo*>(l);
    EXPECT_EQ(info->size, 28);
    hostsim::StoredEvent event;
    event.contact = contact;
    event.module = info->module ? info->module : "";
    event.timestamp = info->timestamp;
    event.flags = info->flags;
    event.type = info->event_type;
    event.blob.assign(info->blob, info->blob + info->blob_size);
    note("event " + std::to_string(contact) + " " + std::to_string(info->event_type));
    return static_cast<INT_PTR>(host_.profile().add_event(std::move(event)));
  }
  void note(const std::string& what) {
    std::lock_guard lock(mutex_);
    order_.push_back(what);
  }

  std::mutex mutex_;
  std::vector<std::string> order_;
  std::vector<serversim::Packet> sent_;
  std::optional<uint32_t> modify_status_ = 0;
  uint32_t modify_code_ = MRIM_CS_MODIFY_CONTACT_ACK;
  bool modify_without_body_ = false;
};

// The items of a sent body, read with the server stand-in's reader (not the plug-in's codec).
struct ModifyRequest {
  uint32_t number = 0, flags = 0, group = 0;
  std::string address, name;
  uint32_t last = 0xFFFFFFFF;
  bool operator==(const ModifyRequest&) const = default;
};
inline std::optional<ModifyRequest> read_modify(const serversim::Packet& packet) {
  serversim::Reader reader(packet.body);
  ModifyRequest request;
  auto number = reader.ul(), flags = reader.ul(), group = reader.ul();
  auto address = reader.lps(), name = reader.lps();
  auto last = reader.ul();
  if (!number || !flags || !group || !address || !name || !last || !reader.at_end()) return std::nullopt;
  return ModifyRequest{*number, *flags, *group, *address, *name, *last};
}

inline std::ostream& operator<<(std::ostream& out, const ModifyRequest& r) {
  return out << "(" << r.number << "," << r.flags << "," << r.group << "," << r.address << "," << r.name
             << "," << r.last << ")";
}

}  // namespace handlertest
