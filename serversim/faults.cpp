// The MRIM server stand-in's faults on purpose (see faults.h): what a rule makes of a packet,
// and what a fault struck on an open session sends.
#include "serversim/faults.h"

#include <stdexcept>

namespace serversim::detail {
namespace {

Step bytes_step(Bytes bytes) {
  Step step;
  step.bytes = std::move(bytes);
  return step;
}

Step ending(Step::Kind kind, std::string reason) {
  Step step;
  step.kind = kind;
  step.reason = std::move(reason);
  return step;
}

std::chrono::milliseconds drip_pause(std::chrono::milliseconds asked) {
  return asked.count() > 0 ? asked : kDefaultDripPause;
}

// The close reason names what the fault took the place of, so that a table of faults can tell
// which one ended a session.
std::string instead_of(const Outgoing& out) {
  return out.request != 0 ? "replying" : "sending " + code_name(out.packet.code);
}

// Appends the steps of one spoiled packet; false when nothing more of its burst goes out (the
// session ends or stalls, or the client's stream is broken past repair anyway).
bool spoil(std::vector<Step>& steps, const Outgoing& out, const FaultRule& rule) {
  switch (rule.fault) {
    case Fault::hold:
    case Fault::delay:
      break;  // compose() keeps these back itself
    case Fault::wrong_code: {
      Packet relabelled = out.packet;
      relabelled.code = rule.wrong_code;
      steps.push_back(bytes_step(encode(relabelled)));
      return true;
    }
    case Fault::garbage:
      steps.push_back(bytes_step(garbage(rule.garbage_bytes)));
      return false;
    case Fault::huge_dlen:
      steps.push_back(bytes_step(encode_header(out.packet.code, out.packet.seq, 0xFFFFFFF0)));
      return false;
    case Fault::close_mid_packet: {
      Bytes half = encode(out.packet);
      half.resize(half.size() / 2);
      steps.push_back(bytes_step(std::move(half)));
      steps.push_back(ending(Step::Kind::close, "closed mid-packet on purpose"));
      return false;
    }
    case Fault::close:
      steps.push_back(ending(Step::Kind::close, "closed instead of " + instead_of(out) + " on purpose"));
      return false;
    case Fault::reset:
      steps.push_back(ending(Step::Kind::reset, "reset instead of " + instead_of(out) + " on purpose"));
      return false;
    case Fault::drip: {
      Step step = bytes_step(encode(out.packet));
      step.kind = Step::Kind::drip;
      step.pause = drip_pause(rule.delay);
      steps.push_back(std::move(step));
      return true;
    }
    case Fault::stall:
      steps.push_back(ending(Step::Kind::stall, ""));
      return false;
  }
  steps.push_back(bytes_step(encode(out.packet)));
  return true;
}

}  // namespace

std::vector<Step> compose(std::span<const Outgoing> burst, const RuleFinder& find) {
  std::vector<Step> steps;
  for (size_t i = 0; i < burst.size(); ++i) {
    std::optional<FaultRule> rule = find(burst[i]);
    if (!rule) {
      steps.push_back(bytes_step(encode(burst[i].packet)));
      continue;
    }
    if (rule->fault == Fault::hold || rule->fault == Fault::delay) {
      // The rest of the burst stays behind the packet, as it would behind a slow one.
      Step later;
      later.kind = Step::Kind::later;
      later.held = rule->fault == Fault::hold;
      later.pause = rule->delay;
      later.rest.push_back(bytes_step(encode(burst[i].packet)));
      for (Step& step : compose(burst.subspan(i + 1), find)) later.rest.push_back(std::move(step));
      steps.push_back(std::move(later));
      return steps;
    }
    if (!spoil(steps, burst[i], *rule)) break;
  }
  return steps;
}

std::vector<Step> injected(const FaultRule& rule, const Packet& harmless) {
  switch (rule.fault) {
    case Fault::hold:
    case Fault::delay:
      throw std::invalid_argument("hold and delay cannot be injected: they spoil a packet, not a moment");
    case Fault::close:
      return {ending(Step::Kind::close, "closed on purpose")};
    case Fault::reset:
      return {ending(Step::Kind::reset, "reset on purpose")};
    case Fault::drip: {
      Step step;
      step.kind = Step::Kind::drip_from_now;
      step.pause = drip_pause(rule.delay);
      return {step};
    }
    default: {
      std::vector<Step> steps;
      spoil(steps, Outgoing{harmless, 0}, rule);
      return steps;
    }
  }
}

Bytes garbage(size_t count) {
  Bytes junk(count);
  uint32_t x = 0x2545F491;
  for (uint8_t& b : junk) {
    x = x * 1103515245 + 12345;
    b = uint8_t(x >> 16);
  }
  if (!junk.empty() && junk[0] == 0xEF) junk[0] = 0x00;
  return junk;
}

int count_packets(const uint8_t* data, size_t size) {
  int count = 0;
  while (size > 0) {
    Frame frame = cut_frame(data, size, kMaxClientBody);
    ++count;
    if (frame.kind != Frame::Kind::packet) break;
    data += frame.consumed;
    size -= frame.consumed;
  }
  return count;
}

}  // namespace serversim::detail
