// Inside the MRIM server stand-in (not for tests): how fault rules turn what a session would
// send into what it does send. The result is a list of steps that the server carries out in
// order, so that a cut, a reset or a stall lands exactly between the packets it should.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "serversim/server.h"
#include "serversim/wire.h"

namespace serversim::detail {

struct Step {
  enum class Kind {
    bytes,          // write `bytes`
    drip,           // write `bytes` one byte per write, `pause` apart
    later,          // `rest` goes out `pause` from now, or at release_held() when `held`;
                    // what the session sends meanwhile does not wait for it
    close,          // close once everything before has gone; `reason` becomes the close reason
    reset,          // the same, with an RST instead of an orderly close
    stall,          // nothing at all goes out from here on
    drip_from_now,  // every later write of the session is one byte, `pause` apart
  };
  Kind kind = Kind::bytes;
  Bytes bytes;
  std::chrono::milliseconds pause{0};
  bool held = false;
  std::string reason;
  std::vector<Step> rest;
};

// A packet the server is about to send: the reply to the request `request`, or (0) a packet
// it sends on its own.
struct Outgoing {
  Packet packet;
  uint32_t request = 0;
};

// The rule that spoils a packet, if any (and counts it as used).
using RuleFinder = std::function<std::optional<FaultRule>(const Outgoing&)>;

// The steps for packets the server sends together (a reply and the notices right behind it),
// each spoiled by the rule `find` gives it.
std::vector<Step> compose(std::span<const Outgoing> burst, const RuleFinder& find);

// The steps of a fault struck at once on an open session; `harmless` is the packet that
// close_mid_packet cuts, huge_dlen announces too long and wrong_code mislabels. Throws
// std::invalid_argument for hold and delay, which name no moment of their own.
std::vector<Step> injected(const FaultRule& rule, const Packet& harmless);

// Bytes that cannot start a packet (the first is never the marker's 0xEF), the same every time
// so that a failing test can be repeated.
Bytes garbage(size_t count);

// How many packets (whole or begun) the bytes hold; bytes that are no packet count as one.
int count_packets(const uint8_t* data, size_t size);

}  // namespace serversim::detail
