// The fixture of the unit tests that link the plug-in's code straight in (beside PluginSession,
// which loads the built plug-in into the full host stand-in): a host stand-in behind
// plugin_link, the diagnostic log in a private folder, and a pretend connection (kConnection)
// whose sends are recorded and may be answered by the test's "server" straight into the reply
// queue, as the listener would hand the replies over; sends on any other handle go to the host
// stand-in's real network library (see tcp_peer.h for a peer at the other end). The host keeps
// every service call the plug-in makes once a test switches host_.record_calls on. Packets
// built with the codec are handed to MRIM_HSP in buffers exactly as long as the packet, so that
// a read past the body is a read past the allocation. Threads started by the code under test
// are stopped before each test ends.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "incoming/dispatcher.h"
#include "protocol/codec.h"
#include "protocol/online.h"
#include "protocol/receive.h"
#include "protocol/send.h"
#include "protocol/session.h"
#include "protocol/status.h"
#include "protocol/tls_link.h"
#include "serversim/wire.h"
#include "support/support.h"
#include "support/tcp_peer.h"

namespace testsupport {

using hostsim::Handle;
using hostsim::Setting;
using serversim::Bytes;
using serversim::Packet;
using serversim::Reader;
using serversim::Writer;

inline HANDLE as_handle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// A packet's wire bytes, built by the server stand-in's codec rather than the plug-in's.
inline Bytes wire_bytes(uint32_t code, uint32_t seq, const Bytes& body = {}) {
  return serversim::encode({code, seq, body});
}
inline Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

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
    if (bytes.empty()) return *this;  // an empty vector may have no storage to copy from
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

// An acknowledgement as the host received it (the host stand-in's record); a search hit's
// record is copied whole.
struct Ack {
  Handle contact = 0;
  std::string module;
  int type = 0;
  int result = 0;
  uintptr_t process = 0;
  std::string text;                    // message and closing search acks
  const char* text_pointer = nullptr;  // as given: a host may read it after the broadcast
  bool has_param = false;
  int record_size = 0;
  std::optional<std::string> nick, first_name, last_name, email;
  bool reserved_zero = false;
  std::vector<BYTE> record;  // a search hit as the host keeps it
};

class UnitHost : public ::testing::Test {
 protected:
  static constexpr const char* kModule = "MRIM";

  void SetUp() override {
    protocol_state_reset();
    host_version = 0;  // a host of code page texts unless a test says otherwise
    pending_queue_clear();
    threads_reset();
    // As Load wires it.
    session_reset();
    session_install(SessionHooks{mrim_go_online, mrim_announce_status});
    strcpy(protocol_state.module_name, kModule);
    plugin_link = const_cast<PluginLink*>(host_.plugin_link());
    log_init(kModule);
    network_send_ =
        host_.replace_service(MS_NETLIB_SEND, [this](WPARAM w, LPARAM l) { return on_send(w, l); });
    host_.replace_service(MS_PROTO_CONTACTISTYPING, [this](WPARAM contact, LPARAM seconds) -> INT_PTR {
      note("typing " + std::to_string(contact) + " " + std::to_string(seconds));
      return 0;
    });
    host_.replace_service(MS_DB_EVENT_ADD, [this](WPARAM contact, LPARAM l) { return on_event(contact, l); });
    // The pretend connection is a session in clear.
    tls_link_prepare(kConnection, "mrim.test", 0);
    protocol_state.connection = kConnection;
    work_ = std::make_unique<ListenerWorkArea>();
    // The gap between writes passes on a clock of the tests' own the moment it is waited for:
    // unit tests do not wait for real time between sends.
    mrim_send_set_clock([] { return send_tick.load(); },
                        [](DWORD milliseconds) { send_tick += milliseconds; });
  }

  void TearDown() override {
    mrim_send_set_clock(nullptr, nullptr);
    threads_stop_all(pending_queue_wake_all);
    threads_reset();
    protocol_state.connection = nullptr;
    tls_link_reset();
    pending_queue_clear();
    plugin_link = nullptr;
  }

  // The reply wait's time-out in seconds. 0 scans the queue once: a reply the server gives on
  // the sending thread is there already, a missing one fails at once.
  void set_timeout(DWORD seconds) { seed(0, kModule, "Timeout", Setting::dword(seconds)); }

  // The test's server: called on the sending thread for each packet; the replies it returns
  // are queued before the sender starts waiting. Without one, every MRIM_CS_MODIFY_CONTACT is
  // answered as answer_modify_with says (success by default).
  using Server = std::function<std::vector<Packet>(const Packet&)>;
  void serve(Server server) {
    std::lock_guard lock(mutex_);
    server_ = std::move(server);
  }
  void answer_modify_with(std::optional<uint32_t> status, uint32_t code = MRIM_CS_MODIFY_CONTACT_ACK) {
    modify_status_ = status;
    modify_code_ = code;
  }
  void answer_modify_without_body() { modify_without_body_ = true; }
  // Makes every "Netlib/Send" fail as a broken connection does: nothing sent, -1.
  void fail_sends(bool fail) { sends_fail_ = fail; }

  // Queues a reply as the listener would, from whichever thread calls it.
  static void queue(const Packet& packet) {
    Bytes bytes = serversim::encode(packet);
    auto buffer = std::make_unique<MrimPacket>();
    memcpy(buffer.get(), bytes.data(), bytes.size());
    pending_queue_add(buffer.get());
  }

  // Hands the packet to the dispatcher in a buffer of its own length.
  void dispatch(const PacketBuilder& builder) { dispatch_bytes(builder.bytes()); }
  void dispatch_bytes(const Bytes& bytes) {
    std::vector<BYTE> exact(bytes.begin(), bytes.end());
    EXPECT_EQ(MRIM_HSP(reinterpret_cast<const MrimPacket*>(exact.data()), work_.get()), 0);
  }

  std::vector<Packet> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  std::vector<Packet> sent_with_code(uint32_t code) {
    std::vector<Packet> found;
    for (const Packet& packet : sent())
      if (packet.code == code) found.push_back(packet);
    return found;
  }
  // The typing notices, sends and events the code made, in order: "typing C S", "send 0xCODE",
  // "event C TYPE".
  std::vector<std::string> order() {
    std::lock_guard lock(mutex_);
    return order_;
  }
  // The plug-in's calls of one service, in order (host_.record_calls(true) first).
  std::vector<hostsim::ServiceCall> calls_of(const std::string& service) {
    std::vector<hostsim::ServiceCall> found;
    for (auto& call : host_.calls())
      if (call.service == service) found.push_back(std::move(call));
    return found;
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
  std::vector<Ack> acks() {
    std::vector<Ack> all;
    for (const hostsim::AckRecord& record : host_.acks()) {
      Ack ack;
      ack.contact = record.contact;
      ack.module = record.module;
      ack.type = record.type;
      ack.result = record.result;
      ack.process = record.process;
      ack.text = record.param_text;
      bool text_param = record.param != 0 &&
                        (record.type == ACKTYPE_MESSAGE || record.type == ACKTYPE_SEARCH) &&
                        !(record.type == ACKTYPE_SEARCH && record.result == ACKRESULT_DATA);
      if (text_param) ack.text_pointer = reinterpret_cast<const char*>(record.param);
      ack.has_param = record.param != 0;
      ack.record_size = record.search_record_size;
      ack.nick = record.search_nick;
      ack.first_name = record.search_first_name;
      ack.last_name = record.search_last_name;
      ack.email = record.search_email;
      ack.reserved_zero = record.search_reserved_zero;
      ack.record = record.search_record;
      all.push_back(ack);
    }
    return all;
  }

  // Waits (generously) for a condition that a plug-in thread brings about.
  bool eventually(const std::function<bool()>& condition, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  std::string log_text() { return testsupport::read_file(folder_.file(std::string(kModule) + ".dbg")); }
  int log_count(const std::string& line) { return count_of(log_text(), line); }
  // Waits until the log holds the line (CR LF as the log writes it) count times.
  bool wait_for_log(const std::string& line, int count = 1) {
    return eventually([&] { return log_count(line + "\r\n") >= count; });
  }
  bool logged(const std::string& line) { return log_count(line + "\r\n") > 0; }

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
    host_.replace_service(MS_DB_CONTACT_ADD, [](WPARAM, LPARAM) -> INT_PTR { return 0; });
  }

  static inline const HANDLE kConnection = reinterpret_cast<HANDLE>(uintptr_t{0x7001});
  static inline std::atomic<DWORD> send_tick{0};

  WorkFolder folder_;
  hostsim::Host host_;
  std::unique_ptr<ListenerWorkArea> work_;

 private:
  INT_PTR on_send(WPARAM w, LPARAM l) {
    if (sends_fail_) return -1;
    if (reinterpret_cast<HANDLE>(w) != kConnection) return network_send_(w, l);
    auto* buffer = reinterpret_cast<const NetlibBuffer*>(l);
    auto frame = serversim::cut_frame(reinterpret_cast<const uint8_t*>(buffer->data),
                                      static_cast<size_t>(buffer->length), MRIM_BODY_CAPACITY);
    EXPECT_EQ(frame.kind, serversim::Frame::Kind::packet);
    EXPECT_EQ(frame.consumed, static_cast<size_t>(buffer->length)) << "one packet per send";
    Server server;
    {
      std::lock_guard lock(mutex_);
      sent_.push_back(frame.packet);
      server = server_;
    }
    note("send " + serversim::code_name(frame.packet.code));
    if (server) {
      for (const Packet& reply : server(frame.packet)) queue(reply);
    } else if (frame.packet.code == MRIM_CS_MODIFY_CONTACT && modify_status_) {
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
    EXPECT_EQ(info->size, static_cast<int>(sizeof(EventInfo)));
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
  Server server_;
  hostsim::Host::Service network_send_;
  std::atomic<bool> sends_fail_{false};
  std::vector<std::string> order_;
  std::vector<Packet> sent_;
  std::optional<uint32_t> modify_status_ = 0;
  uint32_t modify_code_ = MRIM_CS_MODIFY_CONTACT_ACK;
  bool modify_without_body_ = false;
};

// The requests' tests start with a reply time-out of 0 (see set_timeout).
class RequestHost : public UnitHost {
 protected:
  void SetUp() override {
    UnitHost::SetUp();
    set_timeout(0);
  }
};

// The items of a sent MRIM_CS_MODIFY_CONTACT body, read with the server stand-in's reader (not
// the plug-in's codec).
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

}  // namespace testsupport
