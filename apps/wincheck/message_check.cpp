// The message stage of wincheck: one message from the real MRIM.dll through the MRIM server
// stand-in and back, with its delivery acknowledgement and the incoming event.
#include "apps/wincheck/message_check.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "hostsim/profile.h"

namespace wincheck {
namespace {

constexpr int kWaitMs = 20000;
const char kText[] = "wincheck says hello";

// The online stage has left acknowledgements of its own: only those after the first `skip` count.
bool status_acknowledged(hostsim::Host& host, const std::string& module, int to, size_t skip) {
  std::vector<hostsim::AckRecord> acks = host.acks();
  for (size_t i = skip; i < acks.size(); ++i)
    if (acks[i].module == module && acks[i].type == ACKTYPE_STATUS && acks[i].param == to) return true;
  return false;
}

std::optional<hostsim::AckRecord> message_ack(hostsim::Host& host, const std::string& module, uintptr_t id) {
  for (const hostsim::AckRecord& ack : host.acks())
    if (ack.module == module && ack.type == ACKTYPE_MESSAGE && ack.process == id) return ack;
  return std::nullopt;
}

// The message events of the account whose text is kText, on any of its contacts.
std::vector<hostsim::StoredEvent> received(hostsim::Host& host, const std::string& module) {
  std::vector<hostsim::StoredEvent> found;
  for (hostsim::Handle contact : host.profile().contacts()) {
    for (const hostsim::StoredEvent& event : host.profile().events(contact)) {
      std::string text(event.blob.begin(), event.blob.end());
      if (event.module == module && event.type == EVENTTYPE_MESSAGE &&
          text == std::string(kText, sizeof kText))
        found.push_back(event);
    }
  }
  return found;
}

}  // namespace

void check_message(Report& report, hostsim::Host& host, const std::string& module,
                   const std::string& log_file, const std::string& email, bool diagnostic) {
  size_t earlier = host.acks().size();
  host.call_service((module + "/SetStatus").c_str(), ID_STATUS_ONLINE, 0);
  bool online =
      host.wait_until([&] { return status_acknowledged(host, module, ID_STATUS_ONLINE, earlier); }, kWaitMs);
  if (!report.check("message stage: online again", online, "no status acknowledgement")) return;

  hostsim::Handle self = host.add_contact(module);
  host.write_setting(self, module, "EMail", hostsim::Setting::string(email));
  host.write_setting(self, "CList", "MyHandle", hostsim::Setting::string(email));
  const std::string service = module + "/SendMsg";
  ProtocolCall call{reinterpret_cast<HANDLE>(self), service.c_str(), 0, reinterpret_cast<LPARAM>(kText)};
  INT_PTR id = host.call_service(service.c_str(), 0, reinterpret_cast<LPARAM>(&call));
  if (report.check("SendMsg returns an acknowledgement number", id != 0, "0")) {
    bool acked = host.wait_until(
        [&] { return message_ack(host, module, static_cast<uintptr_t>(id)).has_value(); }, kWaitMs);
    std::optional<hostsim::AckRecord> ack = message_ack(host, module, static_cast<uintptr_t>(id));
    report.check(
        "message delivery acknowledged with \"Ok.\"",
        acked && ack->contact == self && ack->result == ACKRESULT_SUCCESS && ack->param_text == "Ok.",
        acked ? "result " + std::to_string(ack->result) + ", text " + quoted(ack->param_text)
              : "no acknowledgement");
  }
  bool arrived = host.wait_until([&] { return !received(host, module).empty(); }, kWaitMs);
  if (report.check("message received back as an event", arrived, "no event")) {
    std::vector<hostsim::StoredEvent> events = received(host, module);
    report.check("one event, on the contact it was sent to", events.size() == 1 && events[0].contact == self,
                 std::to_string(events.size()) + " events");
  }

  std::ifstream in(log_file, std::ios::binary);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  char length[32];
  std::snprintf(length, sizeof length, "<%u bytes>", static_cast<unsigned>(sizeof kText - 1));
  const std::string logged_text = diagnostic ? kText : length;
  const std::vector<std::string> lines = {
      "mrim_do_sendmessage: MRIM_CS_MESSAGE(0," + email + "," + logged_text + ",) sended",
      "mrim_do_sendmessage: MRIM_CS_MESSAGE_STATUS(MESSAGE_DELIVERED) received",
      "MRIM_HSP: MRIM_CS_MESSAGE_RECV sended"};
  for (const std::string& line : lines)
    report.check("log has \"" + line + "\"", log.find(line) != std::string::npos, "missing");

  host.call_service((module + "/SetStatus").c_str(), ID_STATUS_OFFLINE, 0);
}

}  // namespace wincheck
