// libFuzzer target over the details reply: every input is the body of a directory reply, in a
// packet buffer exactly as long as the packet, so that a read past the body is a read past the
// allocation. The list read from it is walked to its end and stored as a contact's settings in
// the host stand-in, as "/GetInfo" does; the contact is made afresh for every input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contacts/details.h"
#include "core/protocol_state.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"

namespace {

hostsim::Host* host = nullptr;

void set_up() {
  host = new hostsim::Host();
  protocol_state_reset();
  strcpy(protocol_state.module_name, "MRIM");
  plugin_link = const_cast<PluginLink*>(host->plugin_link());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (host == nullptr) set_up();
  if (size > MRIM_BODY_CAPACITY) return 0;  // the receiver never delivers more
  auto* bytes = static_cast<BYTE*>(malloc(MRIM_HEADER_SIZE + size));
  auto* packet = reinterpret_cast<MrimPacket*>(bytes);
  mrim_packet_init(packet, MRIM_CS_DIRECTORY_INFO, 1);
  packet->dlen = static_cast<uint32_t>(size);
  memcpy(bytes + MRIM_HEADER_SIZE, data, size);
  DetailsList* list = mrim_details_from_reply(packet);
  free(bytes);
  if (list == nullptr) return 0;

  hostsim::Handle contact = host->profile().add_contact();
  host->profile().set_protocol(contact, "MRIM");
  mrim_store_details(reinterpret_cast<HANDLE>(contact), list);
  free(list);
  host->profile().delete_contact(contact);
  host->clear_records();
  return 0;
}
