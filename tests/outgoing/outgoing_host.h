// The fixture of the unit tests of the outgoing operations: the plug-in's code linked in, a host
// stand-in behind plugin_link, the log in a private folder, and a connection whose sends are
// recorded and may be answered by a test's "server" straight into the reply queue, as the
// listener would hand the replies over. Acknowledgements are recorded with the search results'
// whole records. Threads started by the code under test are stopped before each test ends.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "plugin/log.h"
#include "plugin/protocol_state.h"
#include "plugin/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/receive.h"
#include "serversim/wire.h"
#include "support/support.h"

namespace outgoingtest {

using hostsim::Handle;
using hostsim::Setting;
using serversim::Bytes;
using serversim::Packet;
using serversim::Reader;
using serversim::Writer;

inline HANDLE as_handle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// An acknowledgement as the host received it; a search hit's record is copied whole.
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
};

inline std::optional<std::string> text_of(const char* text) {
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

class OutgoingHost : public ::testing::Test {
 protected:
  static constexpr const char* kModule = "MRIM";

  void SetUp() override {
    protocol_state_reset();
    pending_queue_clear();
    threads_reset();
    strcpy(protocol_state.module_name, kModule);
    plugin_link = const_cast<PluginLink*>(host_.plugin_link());
    log_init(kModule);
    host_.destroy_service(MS_NETLIB_SEND);
    host_.create_service(MS_NETLIB_SEND, [this](WPARAM, LPARAM l) { return on_send(l); });
    host_.destroy_service(MS_PROTO_BROADCASTACK);
    host_.create_service(MS_PROTO_BROADCASTACK, [this](WPARAM, LPARAM l) { return on_ack(l); });
    protocol_state.connection = kConnection;
    set_timeout(0);
  }

  void TearDown() override {
    threads_stop_all(pending_queue_wake_all);
    threads_reset();
    protocol_state.connection = nullptr;
    pending_queue_clear();
    plugin_link = nullptr;
  }

  // The reply wait's time-out in seconds. 0 scans the queue once: a reply the server gives on
  // the sending thread is there already, a missing one fails at once.
  void set_timeout(DWORD seconds) { seed(0, kModule, "Timeout", Setting::dword(seconds)); }

  // The test's server: called on the sending thread for each packet; the replies it returns
  // are queued before the sender starts waiting.
  using Server = std::function<std::vector<Packet>(const Packet&)>;
  void serve(Server server) {
    std::lock_guard lock(mutex_);
    server_ = std::move(server);
  }
  // Queues a reply as the listener would, from whichever thread calls it.
  static void queue(const Packet& packet) {
    Bytes bytes = serversim::encode(packet);
    auto buffer = std::make_unique<MrimPacket>();
    memcpy(buffer.get(), bytes.data(), bytes.size());
    pending_queue_add(buffer.get());
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
  std::vector<Ack> acks() {
    std::lock_guard lock(mutex_);
    return acks_;
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
  int log_count(const std::string& line) {
    std::string text = log_text();
    int count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size()))
      ++count;
    return count;
  }
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

  static inline const HANDLE kConnection = reinterpret_cast<HANDLE>(uintptr_t{0x7001});

  testsupport::WorkFolder folder_;
  hostsim::Host host_;

 private:
  INT_PTR on_send(LPARAM l) {
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
    if (server) {
      for (const Packet& reply : server(frame.packet)) queue(reply);
    }
    return buffer->length;
  }

  INT_PTR on_ack(LPARAM l) {
    auto* data = reinterpret_cast<const AckData*>(l);
    Ack ack;
    ack.contact = reinterpret_cast<Handle>(data->contact);
    ack.module = data->module != nullptr ? data->module : "";
    ack.type = data->type;
    ack.result = data->result;
    ack.process = reinterpret_cast<uintptr_t>(data->process);
    ack.has_param = data->param != 0;
    if (data->param != 0 && data->type == ACKTYPE_SEARCH && data->result == ACKRESULT_DATA) {
      auto* record = reinterpret_cast<const SearchResult*>(data->param);
      ack.record_size = record->size;
      ack.nick = text_of(record->nick);
      ack.first_name = text_of(record->first_name);
      ack.last_name = text_of(record->last_name);
      ack.email = text_of(record->email);
      ack.reserved_zero = std::all_of(std::begin(record->reserved), std::end(record->reserved),
                                      [](BYTE b) { return b == 0; });
    } else if (data->param != 0 && (data->type == ACKTYPE_MESSAGE || data->type == ACKTYPE_SEARCH)) {
      ack.text_pointer = reinterpret_cast<const char*>(data->param);
      ack.text = ack.text_pointer;
    }
    std::lock_guard lock(mutex_);
    acks_.push_back(ack);
    return 0;
  }

  std::mutex mutex_;
  Server server_;
  std::vector<Packet> sent_;
  std::vector<Ack> acks_;
};

}  // namespace outgoingtest
