// Shared set-up of the tests of a community server's quirks: the three accounts of fixture.h,
// each quirk turned on by name, and readers of the packets those tests look into.
#pragma once

#include "fixture.h"

namespace serversim::testing_support {

class CommunityTest : public ServerTest {
 protected:
  template <typename... Switch>
  void turn_on(Switch... switches) {
    Behavior b = server->behavior();
    ((b.*switches = true), ...);
    server->set_behavior(b);
  }
};

struct MessageAck {
  uint32_t flags = 0;
  std::string from;
  std::string text;               // as it came on the wire
  std::vector<uint32_t> trailer;  // whatever numbers follow the RTF text
};

inline MessageAck read_message_ack(Client& c) {
  MessageAck m;
  std::optional<Packet> p = c.read_code(code::message_ack);
  EXPECT_TRUE(p);
  if (!p) return m;
  Reader r(p->body);
  r.ul();
  m.flags = r.ul().value_or(0xDEAD);
  m.from = r.lps().value_or("");
  m.text = r.lps().value_or("");
  r.lps();
  while (std::optional<uint32_t> n = r.ul()) m.trailer.push_back(*n);
  return m;
}

// The body of ADD_CONTACT for a contact, with the adder's text for the authorization request.
inline Bytes add_contact(const std::string& address, const std::string& auth_text = "", uint32_t flags = 0) {
  return Writer().ul(flags).ul(0).lps(address).lps(address).lps(auth_text).take();
}

// The body of MODIFY_CONTACT.
inline Bytes modify_contact(uint32_t number, uint32_t flags, const std::string& address,
                            const std::string& name, uint32_t group = 0) {
  return Writer().ul(number).ul(flags).ul(group).lps(address).lps(name).ul(0).take();
}

}  // namespace serversim::testing_support
