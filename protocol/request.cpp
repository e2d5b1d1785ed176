// The request helper: send, wait by sequence number, check the code, read the status.
#include "protocol/request.h"

#include <cstdarg>
#include <cstring>

#include "core/host_services.h"
#include "core/log.h"
#include "protocol/receive.h"
#include "protocol/send.h"

MrimRequestResult mrim_request(MrimPacket* packet, const MrimRequestKind& kind, uint32_t* position,
                               uint32_t* status, const char* sent_format, ...) {
  const uint32_t seq = packet->seq;
  if (MRIM_sendpacket(packet) != 0 && !kind.wait_after_failed_send) return MRIM_REQUEST_NOT_SENT;
  uint32_t dlen = packet->dlen;
  if (dlen > MRIM_BODY_CAPACITY) dlen = MRIM_BODY_CAPACITY;
  memset(packet->body, 0, dlen);
  packet->dlen = 0;

  va_list arguments;
  va_start(arguments, sent_format);
  mrim_log_v(sent_format, arguments);
  va_end(arguments);

  const uint32_t seqs[] = {seq, 0};
  if (MRIM_receivepacket_any(packet, kind.reply_capacity, seqs, kind.also_seq_zero ? 2 : 1, get_timeout()) !=
      0)
    return MRIM_REQUEST_FAILED;
  if (kind.log_any_reply) mrim_log("%s: packet received\n", kind.caller);
  if (packet->msg != kind.reply_code) return MRIM_REQUEST_FAILED;
  mrim_log("%s: %s received\n", kind.caller, kind.reply_name);
  *position = 0;
  return mrim_read_ul(position, packet, status) == 0 ? MRIM_REQUEST_OK : MRIM_REQUEST_NO_STATUS;
}
