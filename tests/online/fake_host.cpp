// The minimal recording host of the protocol unit tests.
#include "fake_host.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "core/protocol_state.h"
#include "protocol/codec.h"
#include "protocol/receive.h"

namespace fakehost {
namespace {

std::recursive_mutex mutex;  // the send hook may call back into the fake
std::vector<Call> recorded;
std::optional<DWORD> timeout_setting;
std::function<void(const std::vector<BYTE>&)> send_handler;
bool sends_fail = false;
std::map<std::string, std::function<INT_PTR(WPARAM, LPARAM)>> answers;
PluginLink link{};

INT_PTR call_service(const char* name, WPARAM w, LPARAM l) {
  std::unique_lock lock(mutex);
  Call call;
  call.service = name;
  call.wparam = w;
  call.lparam = l;
  if (strcmp(name, MS_NETLIB_SEND) == 0) {
    auto* buffer = reinterpret_cast<const NetlibBuffer*>(l);
    call.sent.assign(buffer->data, buffer->data + buffer->length);
    recorded.push_back(call);
    if (sends_fail) return -1;
    auto handler = send_handler;
    lock.unlock();
    if (handler) handler(call.sent);
    return buffer->length;
  }
  if (strcmp(name, MS_PROTO_BROADCASTACK) == 0) {
    call.ack = *reinterpret_cast<const AckData*>(l);
    call.ack.module = nullptr;
  }
  recorded.push_back(call);
  if (auto answer = answers.find(name); answer != answers.end()) {
    auto fn = answer->second;
    lock.unlock();
    return fn(w, l);
  }
  if (strcmp(name, MS_DB_CONTACT_GETSETTING) == 0) {
    auto* request = reinterpret_cast<SettingRequest*>(l);
    if (strcmp(request->setting, "Timeout") == 0 && timeout_setting) {
      request->value->type = DBVT_DWORD;
      request->value->dword_value = *timeout_setting;
      return 0;
    }
    return 1;
  }
  return 0;
}

}  // namespace

void install() {
  std::lock_guard lock(mutex);
  protocol_state_reset();
  strcpy(protocol_state.module_name, "MRIM");
  recorded.clear();
  timeout_setting.reset();
  send_handler = nullptr;
  sends_fail = false;
  answers.clear();
  link = PluginLink{};
  link.CallService = call_service;
  plugin_link = &link;
  pending_queue_clear();
}

void uninstall() {
  std::lock_guard lock(mutex);
  pending_queue_clear();
  plugin_link = nullptr;
  protocol_state_reset();
  send_handler = nullptr;
  answers.clear();
}

std::vector<Call> calls() {
  std::lock_guard lock(mutex);
  return recorded;
}

std::vector<Call> calls_of(const std::string& service) {
  std::vector<Call> result;
  for (const Call& call : calls())
    if (call.service == service) result.push_back(call);
  return result;
}

std::vector<std::vector<BYTE>> sent_packets() {
  std::vector<std::vector<BYTE>> result;
  for (const Call& call : calls_of(MS_NETLIB_SEND)) result.push_back(call.sent);
  return result;
}

void set_timeout(std::optional<DWORD> seconds) {
  std::lock_guard lock(mutex);
  timeout_setting = seconds;
}

void on_send(std::function<void(const std::vector<BYTE>&)> handler) {
  std::lock_guard lock(mutex);
  send_handler = std::move(handler);
}

void answer_service(const std::string& service, std::function<INT_PTR(WPARAM, LPARAM)> fn) {
  std::lock_guard lock(mutex);
  answers[service] = std::move(fn);
}

void fail_sends(bool fail) {
  std::lock_guard lock(mutex);
  sends_fail = fail;
}

std::vector<BYTE> ul(uint32_t value) {
  std::vector<BYTE> bytes(4);
  memcpy(bytes.data(), &value, 4);
  return bytes;
}

std::vector<BYTE> packet(uint32_t msg, uint32_t seq, const std::vector<BYTE>& body) {
  std::vector<BYTE> bytes(MRIM_HEADER_SIZE + body.size(), 0);
  auto put = [&](size_t offset, uint32_t value) { memcpy(bytes.data() + offset, &value, 4); };
  put(0, MRIM_MAGIC);
  put(4, MRIM_PROTO_VERSION);
  put(8, seq);
  put(12, msg);
  put(16, static_cast<uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), bytes.begin() + MRIM_HEADER_SIZE);
  return bytes;
}

uint32_t seq_of(const std::vector<BYTE>& packet) {
  uint32_t value = 0;
  if (packet.size() >= 12) memcpy(&value, packet.data() + 8, 4);
  return value;
}

uint32_t msg_of(const std::vector<BYTE>& packet) {
  uint32_t value = 0;
  if (packet.size() >= 16) memcpy(&value, packet.data() + 12, 4);
  return value;
}

void queue_reply(const std::vector<BYTE>& bytes) {
  // pending_queue_add reads header and body from a full packet buffer.
  static MrimPacket buffer;
  static std::mutex buffer_mutex;
  std::lock_guard lock(buffer_mutex);
  memset(&buffer, 0, MRIM_HEADER_SIZE);
  memcpy(&buffer, bytes.data(), bytes.size());
  pending_queue_add(&buffer);
}

}  // namespace fakehost
