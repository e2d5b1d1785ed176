// libFuzzer target over the dispatcher: every packet of an input is handed to MRIM_HSP in a
// buffer exactly as long as the packet, so that a read past the body is a read past the
// allocation. The first byte's top bit makes the session a modern one (UTF-16 texts, status
// texts, the longer list entries) on a host that takes UTF-8. Its low seven bits pick the
// message code from the table below (each code the dispatcher handles, and codes it hands to the
// reply queue): the other bytes are then the body of one packet, with sequence number 0, that
// reaches a session online.
//
// Low seven bits all set instead make the input a series of packets in one session that is still
// logging in, for the server's ways with order and sequence numbers: each record is a code byte
// (its low seven bits pick from the table), a sequence-number byte, a two-byte little-endian body
// length and the body (cut to what is left of the input). Requests await answers under numbers 1
// to 4, the log-in's being 1. After each packet every request still waiting looks once for its
// answer, as its wait would, and takes the first one queued under its number; the log-in taking
// a LOGIN_ACK puts the session online, and until then its pushes meet an account that is not.
//
// The host is the stand-in, with a connection whose sends go nowhere and an event service that
// reads every byte of each event it is given. The state the handlers leave (contacts, records,
// queued packets, the requests' announcements, the account's status) is reset after every
// input. The gap between writes is kept on a clock of the target's own that moves the moment a
// wait asks it to: nothing answers these sends, so on the real clock every receipt would wait out
// the gap behind the last input's.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/protocol_state.h"
#include "hostsim/host.h"
#include "hostsim/profile.h"
#include "incoming/dispatcher.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/send.h"
#include "protocol/tls_link.h"

namespace {

// Servers send it to either side of an authorization; the plug-in has no use for it and queues it.
constexpr uint32_t kAuthorizeAck = 0x1021;

// New codes go at the end: a stored input keeps its packet's code as long as its index stays
// below the table's old size.
const uint32_t kCodes[] = {MRIM_CS_MESSAGE_ACK,    MRIM_CS_OFFLINE_MESSAGE_ACK, MRIM_CS_MAILBOX_STATUS,
                           MRIM_CS_USER_STATUS,    MRIM_CS_CONTACT_LIST2,       MRIM_CS_USER_INFO,
                           MRIM_CS_LOGOUT,         MRIM_CS_CONNECTION_PARAMS,   MRIM_CS_MODIFY_CONTACT_ACK,
                           MRIM_CS_MESSAGE_STATUS, MRIM_CS_ADD_CONTACT_ACK,     MRIM_CS_LOGIN_ACK,
                           kAuthorizeAck,          MRIM_CS_CHANGE_STATUS,       MRIM_CS_USER_BLOG_STATUS};
constexpr uint8_t kSeries = 0x7F;
constexpr uint32_t kLoginSeq = 1;
constexpr uint32_t kRequestSeqs[] = {kLoginSeq, 2, 3, 4};
constexpr size_t kRequests = sizeof kRequestSeqs / sizeof kRequestSeqs[0];

HANDLE const kConnection = reinterpret_cast<HANDLE>(uintptr_t{0x7001});

hostsim::Host* host = nullptr;
ListenerWorkArea* work = nullptr;
volatile uint32_t sink = 0;
DWORD send_tick = 0;  // only the fuzzing thread sends
bool waiting[kRequests] = {};
MrimPacket answer;  // where a request's answer lands

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
  for (size_t i = 0; i < kRequests; ++i) {
    if (waiting[i]) pending_unexpect(kRequestSeqs[i]);
    waiting[i] = false;
  }
  for (hostsim::Handle contact : host->profile().contacts()) host->profile().delete_contact(contact);
  host->clear_records();
  pending_queue_clear();
  tls_link_prepare(kConnection, "mrim.test", 0);
  protocol_state.connection = kConnection;
  protocol_state.status = ID_STATUS_ONLINE;
  protocol_state.contact_list_loading = 0;
}

// The packet as the listener hands it over: header and body in a buffer of their size.
void dispatch(uint8_t kind, uint32_t seq, const uint8_t* body, size_t length) {
  auto* bytes = static_cast<BYTE*>(malloc(MRIM_HEADER_SIZE + length));
  auto* packet = reinterpret_cast<MrimPacket*>(bytes);
  mrim_packet_init(packet, kCodes[(kind & 0x7F) % (sizeof kCodes / sizeof kCodes[0])], seq);
  packet->dlen = static_cast<uint32_t>(length);
  if (length > 0) memcpy(bytes + MRIM_HEADER_SIZE, body, length);
  MRIM_HSP(packet, work);
  free(bytes);
}

// What each waiting request's wait finds on one look (a time-out of 0 looks once and never
// sleeps); the log-in's own answer takes the session online.
void take_answers() {
  for (size_t i = 0; i < kRequests; ++i) {
    if (!waiting[i] || MRIM_receivepacket(&answer, sizeof answer, kRequestSeqs[i], 0) != 0) continue;
    waiting[i] = false;
    pending_unexpect(kRequestSeqs[i]);
    if (kRequestSeqs[i] == kLoginSeq && answer.msg == MRIM_CS_LOGIN_ACK)
      protocol_state.status = ID_STATUS_ONLINE;
  }
}

void run_series(const uint8_t* data, size_t size) {
  protocol_state.status = ID_STATUS_OFFLINE;
  for (size_t i = 0; i < kRequests; ++i) {
    pending_expect(kRequestSeqs[i]);
    waiting[i] = true;
  }
  // As the listener does, nothing after a packet that ended the session is handed over.
  const uint32_t generation = receiver_generation();
  size_t at = 0;
  while (size - at >= 4 && receiver_generation() == generation) {
    const uint8_t kind = data[at];
    const uint32_t seq = data[at + 1];
    size_t length = data[at + 2] | (size_t{data[at + 3]} << 8);
    at += 4;
    if (length > size - at) length = size - at;
    dispatch(kind, seq, data + at, length);
    at += length;
    take_answers();
  }
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
  bool modern = (data[0] & 0x80) != 0;
  protocol_state.wire_revision = modern ? MRIM_PROTO_VERSION_MODERN : MRIM_PROTO_VERSION_LEGACY;
  host_version = modern ? HOST_VERSION_UTF8 : 0;
  if ((data[0] & 0x7F) == kSeries)
    run_series(data + 1, body);
  else
    dispatch(data[0], 0, data + 1, body);
  reset_after_input();
  return 0;
}
