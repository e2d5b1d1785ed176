// libFuzzer target over the switch from clear to TLS: what the connection record does with the
// bytes that arrive in clear after the request for TLS went out (tls_link_receive while its
// answer is awaited, and after it). Only the exact answer may pass on to the framer: one
// header-only packet under the request's number, saying go ahead or not offered, and nothing
// else in its delivery; any other byte fails the connection for good, and nothing of it passes.
//
// Input: byte 0 the piece size the bytes arrive in (1 + value); byte 1 what comes first: 0
// nothing, 1 the true go-ahead, 2 the true refusal (built with the request's number, which only
// the run knows); the rest are raw bytes that follow it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/protocol_state.h"
#include "hostsim/host.h"
#include "protocol/codec.h"
#include "protocol/receivers.h"
#include "protocol/tls_link.h"

namespace {

HANDLE const kConnection = reinterpret_cast<HANDLE>(uintptr_t{0x7001});
HANDLE const kReceiver = reinterpret_cast<HANDLE>(uintptr_t{0x7002});

hostsim::Host* host = nullptr;
std::vector<BYTE> passed;  // what reached the framer

void to_framer(const BYTE* bytes, uint32_t count, void*) {
  passed.insert(passed.end(), bytes, bytes + count);
}

void set_up() {
  host = new hostsim::Host();
  protocol_state_reset();
  strcpy(protocol_state.module_name, "MRIM");
  plugin_link = const_cast<PluginLink*>(host->plugin_link());
  host->destroy_service(MS_NETLIB_SEND);
  host->create_service(MS_NETLIB_SEND, [](WPARAM, LPARAM l) -> INT_PTR {
    return reinterpret_cast<const NetlibBuffer*>(l)->length;
  });
}

bool is_answer(const std::vector<BYTE>& bytes, uint32_t seq) {
  if (bytes.size() != MRIM_HEADER_SIZE) return false;
  MrimPacket header;
  memcpy(&header, bytes.data(), MRIM_HEADER_SIZE);
  return header.magic == MRIM_MAGIC && header.dlen == 0 && header.seq == seq &&
         (header.msg == MRIM_CS_STARTTLS_ACK || header.msg == MRIM_CS_STARTTLS_REJ);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (host == nullptr) set_up();
  if (size < 2) return 0;
  const size_t piece = 1 + data[0];

  // A session that asks for TLS, bound to a receiver count of its own, with its request out.
  tls_link_prepare(kConnection, "mrim.test", 1);
  protocol_state.connection = kConnection;
  session_receiver_store(kReceiver);
  const uint32_t generation = receiver_generation();
  tls_link_start(generation);
  MrimPacket request;
  const uint32_t seq = mrim_next_seq();
  mrim_packet_init(&request, MRIM_CS_STARTTLS, seq);
  if (tls_link_send(reinterpret_cast<const char*>(&request), MRIM_HEADER_SIZE) != MRIM_HEADER_SIZE) abort();

  std::vector<BYTE> stream;
  if (data[1] == 1 || data[1] == 2) {
    MrimPacket answer;
    mrim_packet_init(&answer, data[1] == 1 ? MRIM_CS_STARTTLS_ACK : MRIM_CS_STARTTLS_REJ, seq);
    stream.assign(reinterpret_cast<const BYTE*>(&answer),
                  reinterpret_cast<const BYTE*>(&answer) + MRIM_HEADER_SIZE);
  }
  stream.insert(stream.end(), data + 2, data + size);

  passed.clear();
  bool failed = false;
  for (size_t at = 0; at < stream.size(); at += piece) {
    const uint32_t count = static_cast<uint32_t>(stream.size() - at < piece ? stream.size() - at : piece);
    const size_t passed_before = passed.size();
    TlsLinkReceive result = tls_link_receive(generation, stream.data() + at, count, to_framer, nullptr);
    // Clear means "the framer's to use": never, once the request for TLS is out.
    if (result == TLS_LINK_CLEAR) abort();
    if (failed && result != TLS_LINK_FAILED) abort();  // a failed connection stays failed
    // A delivery that fails passes nothing of itself on.
    if (result == TLS_LINK_FAILED && passed.size() != passed_before) abort();
    failed = failed || result == TLS_LINK_FAILED;
  }
  // At most the answer passed, whole and true; anything more made the connection fail.
  if (!passed.empty() && !is_answer(passed, seq)) abort();
  if (stream.size() > MRIM_HEADER_SIZE && !failed) abort();
  if (!passed.empty() && stream.size() == MRIM_HEADER_SIZE && failed) abort();

  session_receiver_take();
  protocol_state.connection = nullptr;
  tls_link_close(kConnection);
  return 0;
}
