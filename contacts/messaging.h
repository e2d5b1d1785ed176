// Sending instant messages (each on a thread of its own that waits for the delivery report and
// acknowledges the message to the host, delivered or failed) and typing notices (sent at once,
// never answered).
#pragma once

#include <cstdint>

#include "core/host_text.h"
#include "host/host_api.h"
#include "protocol/wire.h"

// The job MRIM_SendMessage hands to its send thread; the thread owns and frees it.
//
// There is no member for the thread's identifier: the creation call writes the identifier
// after the thread may already have run to its end and freed the job, so the service keeps it
// in a variable of its own instead.
struct MessageJob {
  HANDLE contact;
  DWORD ack_id;
  uint32_t flags;        // of MRIM_CS_MESSAGE: 0, or MESSAGE_FLAG_CONTACT for contacts sent
  int ack_type;          // ACKTYPE_MESSAGE, or ACKTYPE_CONTACTS
  SettingVariant value;  // the recipient's "EMail"; released by the thread
  // The turns in line taken when the user sent it, one per part (see send.h); the thread uses
  // or gives back every one.
  uint64_t first_turn;
  int turns;
  char text[1];  // the message text (UTF-8) with its NUL, allocated with the job
};

// The typing notice's body room; 18 bytes go to the items other than the address.
constexpr uint32_t MRIM_TYPING_BODY_CAPACITY = 100;
constexpr uint32_t MRIM_TYPING_ADDRESS_MAX = MRIM_TYPING_BODY_CAPACITY - 18;

// The "/SendMsg" service: lParam is the host's ProtocolCall (contact, and the text as its
// lparam). Returns the acknowledgement number, or 0 when nothing was started.
INT_PTR MRIM_SendMessage(WPARAM wparam, LPARAM call);
// Starts the send of a text of host text in form to the contact, under the message flags, with
// the acknowledgement of ack_type. A text with flags goes as one message or not at all (its
// receiver reads it whole): 0 then when it is longer than one part. The acknowledgement number,
// or 0 when nothing was started.
DWORD mrim_start_send(HANDLE contact, const char* text, TextForm form, uint32_t flags, int ack_type);
DWORD WINAPI MRIM_SendMessageAckThread(LPVOID job);
// What became of one message; the first is 0, the others tell the host why it failed.
enum MessageOutcome : int {
  MESSAGE_OUTCOME_DELIVERED = 0,
  MESSAGE_OUTCOME_UNCONFIRMED = 1,      // no delivery report within the time-out (or not a report)
  MESSAGE_OUTCOME_REFUSED = 2,          // the server reported an error status
  MESSAGE_OUTCOME_NOT_SENT = 3,         // too long for a packet, a failed send, or no memory
  MESSAGE_OUTCOME_CONNECTION_LOST = 4,  // the session ended before the report came
};
// Sends one message and waits for its delivery report.
int mrim_do_sendmessage(const char* recipient, const char* text);
// The same; for MESSAGE_OUTCOME_REFUSED *status is the server's status.
int mrim_do_sendmessage_status(const char* recipient, const char* text, uint32_t* status, uint32_t flags = 0);
// The reason text of the failure acknowledgement for an outcome other than delivered (and, for
// a refusal, the server's status). The texts are static: a host may keep the pointer past the
// broadcast.
const char* message_failure_text(int outcome, uint32_t status = 0);

// The "/UserIsTyping" service: wParam the contact, lParam 1 when the user started typing.
INT_PTR MRIM_UserIsTyping(WPARAM contact, LPARAM state);
// Sends a typing notice to the address; always 0.
int mrim_do_typing(const char* recipient);
