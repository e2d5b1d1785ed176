// The request helper: send, wait by sequence number, check the code, read the status.
#include "protocol/request.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/host_services.h"
#include "core/log.h"
#include "protocol/receive.h"
#include "protocol/receivers.h"
#include "protocol/send.h"
#include "protocol/session.h"
#include "protocol/wire.h"

namespace {

// Room for the key answer: a status and a key of a few dozen characters.
constexpr uint32_t kProbeCapacity = MRIM_HEADER_SIZE + 1024;

// Whether the session of `generation` still answers: any packet under the probe's number
// proves it. A session that ended meanwhile has nothing left to drop, so it counts as answering.
bool session_answers(uint32_t generation) {
  auto* probe = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (probe == nullptr) return false;
  mrim_packet_init(probe, MRIM_CS_WEB_SESSION_KEY, mrim_next_seq());
  const uint32_t seqs[] = {probe->seq};
  pending_expect(seqs[0]);
  uint64_t in_flight = 0;
  const MrimSendResult written = mrim_send(probe, MRIM_SEND_REQUEST, &in_flight);
  int waited = written == MRIM_SEND_ENDED ? 2 : 1;
  if (written == MRIM_SEND_WRITTEN) {
    mrim_log("mrim_request: asking whether the connection still answers\n");
    waited = MRIM_receivepacket_any(probe, kProbeCapacity, seqs, 1, get_timeout(), &generation);
  }
  mrim_send_done(in_flight, waited == 0);
  pending_unexpect(seqs[0]);
  free(probe);
  return waited != 1;
}

}  // namespace

MrimRequestResult mrim_request(MrimPacket* packet, const MrimRequestKind& kind, uint32_t* position,
                               uint32_t* status, const char* sent_format, ...) {
  const uint32_t seq = packet->seq;
  // The session the request goes out on: its end ends the wait at once.
  uint32_t generation = 0;
  const bool in_session = session_receiver_current(&generation) != nullptr;
  // Announced before the send: the reply may be handled before the wait begins.
  const uint32_t seqs[] = {seq, 0};
  const int seq_count = kind.also_seq_zero ? 2 : 1;
  for (int i = 0; i < seq_count; ++i) pending_expect(seqs[i]);

  // The request may wait its turn behind others here; neither its time-out nor the silence
  // that proves a connection dead count from before it was written.
  uint64_t in_flight = 0;
  const MrimSendResult written = mrim_send(packet, MRIM_SEND_REQUEST, &in_flight);
  if (written == MRIM_SEND_ENDED) {
    for (int i = 0; i < seq_count; ++i) pending_unexpect(seqs[i]);
    return MRIM_REQUEST_SESSION_ENDED;
  }
  const DWORD asked_at = session_now();
  bool sent = written == MRIM_SEND_WRITTEN;
  int waited = 1;
  if (sent || kind.wait_after_failed_send) {
    uint32_t dlen = packet->dlen;
    if (dlen > MRIM_BODY_CAPACITY) dlen = MRIM_BODY_CAPACITY;
    memset(packet->body, 0, dlen);
    packet->dlen = 0;

    va_list arguments;
    va_start(arguments, sent_format);
    mrim_log_v(sent_format, arguments);
    va_end(arguments);

    waited = MRIM_receivepacket_any(packet, kind.reply_capacity, seqs, seq_count, get_timeout(),
                                    in_session ? &generation : nullptr);
  }
  // The answer came, the time-out passed or the session ended: the next request may go.
  mrim_send_done(in_flight, waited == 0);
  for (int i = 0; i < seq_count; ++i) pending_unexpect(seqs[i]);

  if (!sent && !kind.wait_after_failed_send) return MRIM_REQUEST_NOT_SENT;
  if (waited == 2) return MRIM_REQUEST_SESSION_ENDED;
  if (waited != 0) {
    // A reply owed and not a byte heard since it was asked for: the connection may be dead,
    // though the network has not said so (it may not for many minutes). Or the server's
    // handler failed and no answer is coming, as happens on a deletion: a request every server
    // answers tells the two apart, so that a live session is not dropped for it.
    // Before the log-in's answer nothing but the log-in's own packets may go: an unanswered
    // greeting or log-in ends the attempt as ever.
    if (sent && in_session && static_cast<int32_t>(session_last_heard() - asked_at) < 0) {
      if (mrim_send_gate_closed(generation) || !session_answers(generation)) {
        session_connection_lost(generation, "a reply is owed and nothing was heard");
        return MRIM_REQUEST_FAILED;
      }
    }
    mrim_log("%s: the server did not answer\n", kind.caller);
    return MRIM_REQUEST_FAILED;
  }
  if (kind.log_any_reply) mrim_log("%s: packet received\n", kind.caller);
  if (packet->msg != kind.reply_code) return MRIM_REQUEST_FAILED;
  mrim_log("%s: %s received\n", kind.caller, kind.reply_name);
  *position = 0;
  return mrim_read_ul(position, packet, status) == 0 ? MRIM_REQUEST_OK : MRIM_REQUEST_NO_STATUS;
}
