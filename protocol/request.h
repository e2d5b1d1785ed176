// One request and its reply, the way every request of the plug-in that waits for an answer
// goes: send the packet, wait for the reply with the request's sequence number, check the
// reply's code, read the reply's leading status UL. The caller builds the packet and reads
// whatever the reply carries after the status.
#pragma once

#include <cstdint>

#include "protocol/codec.h"

// How one kind of request is carried out and logged. Every log line starts with caller.
struct MrimRequestKind {
  const char* caller;       // "mrim_do_modify": the prefix of the log lines
  uint32_t reply_code;      // the code the reply must carry
  const char* reply_name;   // logged as "<caller>: <reply_name> received" when it does
  uint32_t reply_capacity;  // bytes the reply is received with, header included
  bool also_seq_zero;       // a reply with seq 0 counts too (servers answer the greeting so)
  bool log_any_reply;       // "<caller>: packet received" once a reply came, before its code is checked
  // The greeting, the log-in and the list modification have always waited out the time-out
  // even when the host refused the send; the other requests give up at once.
  bool wait_after_failed_send;
};

enum MrimRequestResult {
  MRIM_REQUEST_OK,         // the reply came with the code; *status holds its first UL
  MRIM_REQUEST_NO_STATUS,  // the reply came with the code but its body holds no UL
  MRIM_REQUEST_FAILED,     // sent, but no reply in time or a reply of another code
  MRIM_REQUEST_NOT_SENT,   // the host refused the send (and this kind of request does not wait after that)
  // The session it went out on ended before the reply came, or before its turn to be written
  // (Unload too).
  MRIM_REQUEST_SESSION_ENDED,
};

// Sends the packet when its turn comes (a request waits while another awaits its answer, see
// send.h; the time-out counts from the write), logs the printf-style sent line (with its
// arguments, after a send that went out), wipes the request's body so that none of its texts
// stays in the buffer, and waits there for the reply. *position is left after the status for
// the caller's further reads. The request must fit the reply capacity's buffer: the reply
// lands in packet.
MrimRequestResult mrim_request(MrimPacket* packet, const MrimRequestKind& kind, uint32_t* position,
                               uint32_t* status, const char* sent_format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;
