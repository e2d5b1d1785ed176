// libFuzzer target over the dispatcher: every input becomes one packet handed to MRIM_HSP, in a
// buffer exactly as long as the packet, so that a read past the body is a read past the
// allocation. The first byte picks the message code (each code the dispatcher handles, or one
// it hands to the reply queue) with its low seven bits, and with its top bit a modern session
// (UTF-16 texts, status texts, the longer list entries) on a host that takes UTF-8; the other
// bytes are the body, and dlen is their count.
//
// The host is the stand-in, with a connection whose sends go nowhere and an event service that
// reads every byte of each event it is given. The state the handlers leave (contacts, records,
// queued packets, the account's status) is reset after every input. The gap between writes is
// kept on a clock of the target's own that moves the moment a wait asks it to: nothing answers
// these sends, so on the real clock every receipt would wait out the gap behind the last input's.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/protocol_state.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "incoming/dispatcher.h"
#include "protocol/receive.h"
#include "protocol/send.h"
#include "protocol/tls_link.h"

namespace {

const uint32_t kCodes[] = {MRIM_CS_MESSAGE_ACK, MRIM_CS_OFFLINE_MESSAGE_ACK, MRIM_CS_MAILBOX_STATUS,
                           MRIM_CS_USER_STATUS, MRIM_CS_CONTACT_LIST2,       MRIM_CS_USER_INFO,
                           MRIM_CS_LOGOUT,      MRIM_CS_CONNECTION_PARAMS,   MRIM_CS_MODIFY_CONTACT_ACK};

HANDLE const kConnection = reinterpret_cast<HANDLE>(uintptr_t{0x7001});

hostsim::Host* host = nullptr;
ListenerWorkArea* work = nullptr;
volatile uint32_t sink = 0;
DWORD send_tick = 0;  // only the fuzzing thread sends

void set_up() {
  host = new hostsim::Host();
  protocol_state_reset();
  strcpy(protocol_state.module_name, "MRIM");
  plugin_link = const_cast<PluginLink*>(host->plugin_link());
  host->destroy_service(MS_NETLIB_SEND);
  host->create_service(MS_NETLIB_SEND, [](WPARAM, LPARAM l) -> INT_PTR {
    auto* buffer = reinterpret_cast<const NetlibBuffer*>(l);
    uint32_t sum = 0;
    for (int i = 0; i < buffer->length; ++i) sum += static_cast<BYTE>(buffer->data[i]);
    sink = sink + sum;
    return buffer->length;
  });
  host->destroy_service(MS_NETLIB_CLOSEHANDLE);
  host->create_service(MS_NETLIB_CLOSEHANDLE, [](WPARAM, LPARAM) -> INT_PTR { return 0; });
  host->destroy_service(MS_DB_EVENT_ADD);
  host->create_service(MS_DB_EVENT_ADD, [](WPARAM, LPARAM l) -> INT_PTR {
    auto* event = reinterpret_cast<const EventInfo*>(l);
    uint32_t sum = 0;
    for (DWORD i = 0; i < event->blob_size; ++i) sum += event->blob[i];
    sink = sink + sum + static_cast<uint32_t>(strlen(event->module));
    return 1;
  });
  work = static_cast<ListenerWorkArea*>(malloc(sizeof(ListenerWorkArea)));
  mrim_send_set_clock([] { return send_tick; }, [](DWORD milliseconds) { send_tick += milliseconds; });
}

void reset_after_input() {
  for (hostsim::Handle contact : host->profile().contacts()) host->profile().delete_contact(contact);
  host->clear_records();
  pending_queue_clear();
  tls_link_prepare(kConnection, "mrim.test", 0);
  protocol_state.connection = kConnection;
  protocol_state.status = ID_STATUS_ONLINE;
  protocol_state.contact_list_loading = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (host == nullptr) {
    set_up();
    reset_after_input();
  }
  if (size == 0) return 0;
  size_t body = size - 1;
  if (body > MRIM_BODY_CAPACITY) return 0;  // the receiver never delivers more
  auto* bytes = static_cast<BYTE*>(malloc(MRIM_HEADER_SIZE + body));
  auto* packet = reinterpret_cast<MrimPacket*>(bytes);
  bool modern = (data[0] & 0x80) != 0;
  protocol_state.wire_revision = modern ? MRIM_PROTO_VERSION_MODERN : MRIM_PROTO_VERSION_LEGACY;
  host_version = modern ? HOST_VERSION_UTF8 : 0;
  mrim_packet_init(packet, kCodes[(data[0] & 0x7F) % (sizeof kCodes / sizeof kCodes[0])], 0);
  packet->dlen = static_cast<uint32_t>(body);
  memcpy(bytes + MRIM_HEADER_SIZE, data + 1, body);
  MRIM_HSP(packet, work);
  free(bytes);
  reset_after_input();
  return 0;
}
