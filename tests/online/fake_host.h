// A minimal host for unit tests of the protocol functions linked straight into the test program:
// a PluginLink whose CallService records every call in order, answers the few services these
// functions use, and lets a test play the server by answering each packet sent.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace fakehost {

struct Call {
  std::string service;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
  std::vector<BYTE> sent;  // "Netlib/Send": the bytes handed over
  AckData ack{};           // "Proto/BroadcastAck": the record (its module pointer is not kept)
};

// Points plugin_link at the fake and clears the account's state, the calls and the reply queue.
void install();
// Restores an empty link and a clean state.
void uninstall();

std::vector<Call> calls();
std::vector<Call> calls_of(const std::string& service);
// Every packet sent, in order.
std::vector<std::vector<BYTE>> sent_packets();

// The account's "Timeout" setting; unset: the setting is missing.
void set_timeout(std::optional<DWORD> seconds);
// Called on the sending thread for every packet sent (the test's server); may queue replies.
void on_send(std::function<void(const std::vector<BYTE>&)> handler);
// Makes "Netlib/Send" report a failure (-1).
void fail_sends(bool fail);
// Answers the service with fn (after recording the call) instead of the fake's own answer.
void answer_service(const std::string& service, std::function<INT_PTR(WPARAM, LPARAM)> fn);

// A packet as the server sends it, for pending_queue_add.
std::vector<BYTE> packet(uint32_t msg, uint32_t seq, const std::vector<BYTE>& body = {});
std::vector<BYTE> ul(uint32_t value);
uint32_t seq_of(const std::vector<BYTE>& packet);
uint32_t msg_of(const std::vector<BYTE>& packet);
// Queues a server packet as the listener would.
void queue_reply(const std::vector<BYTE>& packet);

}  // namespace fakehost
