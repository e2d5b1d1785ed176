// Sending instant messages and typing notices. "/SendMsg" answers the host at once with an
// acknowledgement number and leaves the exchange with the server to a thread of its own, which
// acknowledges the message to the host once the server reports it delivered, or as failed, with
// a reason, when it does not. "/UserIsTyping" sends its notice on the caller's thread (waiting
// no more than the gap between writes, see send.h); the server does not answer it.
#include "contacts/messaging.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "contacts/contact_records.h"
#include "contacts/message_parts.h"
#include "core/host_services.h"
#include "core/host_text.h"
#include "core/log.h"
#include "core/protocol_state.h"
#include "core/worker_threads.h"
#include "protocol/codec.h"
#include "protocol/receive.h"
#include "protocol/request.h"
#include "protocol/send.h"
#include "protocol/wire_text.h"

namespace {

// The per-message buffer: room for the request, whose body takes 17 bytes besides the two
// texts, and for the delivery report, which is far shorter. The capacity the reply is received
// with; the packet itself is built in a whole packet buffer, whose bounds the codec checks, so
// a message whose packet would exceed the largest packet (65,536 bytes) is refused by the
// codec and reported as not delivered instead of being written past anything.
uint32_t message_capacity(size_t recipient_length, size_t text_length) {
  uint64_t wanted = 64 + static_cast<uint64_t>(recipient_length) + 2 * static_cast<uint64_t>(text_length);
  return wanted < sizeof(MrimPacket) ? static_cast<uint32_t>(wanted)
                                     : static_cast<uint32_t>(sizeof(MrimPacket));
}

// The service's work once contact and text are known: the job, the account's nick, the
// recipient, the thread. Returns the acknowledgement number, or 0 when nothing was started.
}  // namespace

DWORD mrim_start_send(HANDLE contact, const char* text, TextForm form, uint32_t flags, int ack_type) {
  size_t text_length = strlen(text);
  // Host text may take three bytes for each byte given: a stray byte of bad UTF-8 becomes
  // U+FFFD, and a code page letter two UTF-8 bytes.
  size_t room = 3 * text_length + 1;
  auto* job = static_cast<MessageJob*>(malloc(offsetof(MessageJob, text) + room));
  if (job == nullptr) return 0;
  mrim_log("MRIM_SendMessage: contact ok, malloc() ok\n");

  const char* module = protocol_state.module_name;
  if (mrim_read_text_setting(nullptr, module, "EMail", &job->value)) {
    write_setting_string(nullptr, module, "Nick", job->value.text);
    mrim_log("MRIM_SendMessage: \"Nick\" (%s) is set.\n", job->value.text);
    free_setting(&job->value);
  }
  if (!mrim_read_text_setting(contact, module, "EMail", &job->value)) {
    free(job);
    return 0;
  }

  job->contact = contact;
  job->flags = flags;
  job->ack_type = ack_type;
  // 0 tells the host that nothing was sent, so a counter that has wrapped round to 0 gives
  // the next number instead.
  DWORD ack_id = mrim_next_seq();
  if (ack_id == 0) ack_id = mrim_next_seq();
  job->ack_id = ack_id;
  host_text_from(text, text_length, form, job->text, room);
  // Its place in line is taken here, on the host's thread, in the order the user sent.
  job->turns = mrim_message_part_count(job->text, strlen(job->text), MRIM_MESSAGE_PART_UNITS);
  if (flags != 0 && job->turns > 1) {
    free_setting(&job->value);
    free(job);
    return 0;
  }
  job->first_turn = mrim_send_reserve(job->turns);

  mrim_log("MRIM_SendMessage: Creating send Thread\n");
  if (thread_start_short(MRIM_SendMessageAckThread, job) != 0) {
    // Without a thread no acknowledgement could ever come: the host hears at once that the
    // message was not sent, and the job is not left behind.
    mrim_send_release_turns(job->first_turn, job->turns);
    free_setting(&job->value);
    free(job);
    return 0;
  }
  return ack_id;
}

INT_PTR MRIM_SendMessage(WPARAM, LPARAM lparam) {
  mrim_log("MRIM_SendMessage: started\n");
  auto* call = reinterpret_cast<const ProtocolCall*>(lparam);
  DWORD result = 0;
  if (call != nullptr && call->contact != nullptr && call->lparam != 0)
    // The host's own code page unless it says the text is UTF-8.
    result = mrim_start_send(call->contact, reinterpret_cast<const char*>(call->lparam),
                             (call->wparam & PREF_UTF) != 0 ? TextForm::utf8 : TextForm::cp1251, 0,
                             ACKTYPE_MESSAGE);
  mrim_log("MRIM_SendMessage: returning sequence %8.08X\n", static_cast<unsigned>(result));
  return static_cast<INT_PTR>(result);
}

const char* refusal_text(uint32_t status) {
  switch (status) {
    case MESSAGE_REJECTED_NOUSER:
      return "There is no such user.";
    case MESSAGE_REJECTED_INTERR:
      return "The server failed inside while delivering the message.";
    case MESSAGE_REJECTED_LIMIT_EXCEEDED:
      return "The recipient is offline and their store of offline messages is full.";
    case MESSAGE_REJECTED_TOO_LARGE:
      return "The message is too long for the server.";
    case MESSAGE_REJECTED_DENY_OFFMSG:
      return "The recipient is offline and the server keeps no such message for them.";
    default:
      return "The server reported an error delivering the message.";
  }
}

const char* message_failure_text(int outcome, uint32_t status) {
  switch (outcome) {
    case MESSAGE_OUTCOME_REFUSED:
      return refusal_text(status);
    case MESSAGE_OUTCOME_NOT_SENT:
      return "The message could not be sent.";
    case MESSAGE_OUTCOME_CONNECTION_LOST:
      return "The connection to the server was lost.";
    default:
      return "The server did not confirm delivery.";
  }
}

// Every message whose number the host was given ends in one acknowledgement, delivered or
// failed: without the failure the user would never learn that a message was lost, and some
// servers do drop packets. A message cut short by Unload is not acknowledged; the host is going
// away.
DWORD WINAPI MRIM_SendMessageAckThread(LPVOID parameter) {
  auto* job = static_cast<MessageJob*>(parameter);
  mrim_log("MRIM_SendMessageAckThread: started\n");
  auto process = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(job->ack_id));
  // Part by part, each in its turn; the first that fails ends the message with its reason.
  char* rest = job->text;
  size_t left = strlen(rest);
  int part = 0;
  int outcome = MESSAGE_OUTCOME_DELIVERED;
  uint32_t status = 0;
  do {
    const size_t length = mrim_message_part_length(rest, left, MRIM_MESSAGE_PART_UNITS);
    const char kept = rest[length];
    rest[length] = '\0';
    const uint64_t turn = job->first_turn + static_cast<uint64_t>(part);
    mrim_send_use_turn(turn);
    outcome = mrim_do_sendmessage_status(job->value.text, rest, &status, job->flags);
    // A part that never reached the line gives its turn back all the same.
    mrim_send_use_turn(0);
    mrim_send_release_turns(turn, 1);
    rest[length] = kept;
    rest += length;
    left -= length;
    ++part;
  } while (left > 0 && outcome == MESSAGE_OUTCOME_DELIVERED && part < job->turns);
  if (part < job->turns)
    mrim_send_release_turns(job->first_turn + static_cast<uint64_t>(part), job->turns - part);
  if (outcome == MESSAGE_OUTCOME_DELIVERED) {
    mrim_log("MRIM_SendMessageAckThread: mrim_do_sendmessage(%s,%s) ok\n", job->value.text,
             log_private(job->text));
    broadcast_ack(protocol_state.module_name, job->contact, job->ack_type, ACKRESULT_SUCCESS, process,
                  reinterpret_cast<LPARAM>("Ok."));
  } else if (!stop_requested()) {
    const char* reason = message_failure_text(outcome, status);
    mrim_log("MRIM_SendMessageAckThread: message %u failed: %s\n", static_cast<unsigned>(job->ack_id),
             reason);
    broadcast_ack(protocol_state.module_name, job->contact, job->ack_type, ACKRESULT_FAILED, process,
                  reinterpret_cast<LPARAM>(reason));
  }
  mrim_log("MRIM_SendMessageAckThread: returning memory\n");
  free_setting(&job->value);
  free(job);
  mrim_log("MRIM_SendMessageAckThread: ended\n");
  return 0;
}

int mrim_do_sendmessage(const char* recipient, const char* text) {
  uint32_t status = 0;
  return mrim_do_sendmessage_status(recipient, text, &status);
}

int mrim_do_sendmessage_status(const char* recipient, const char* text, uint32_t* refused_status,
                               uint32_t flags) {
  mrim_log("mrim_do_sendmessage: started\n");
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (packet == nullptr) return MESSAGE_OUTCOME_NOT_SENT;
  uint32_t capacity = message_capacity(strlen(recipient), strlen(text));
  mrim_packet_init(packet, MRIM_CS_MESSAGE, mrim_next_seq());
  mrim_log("mrim_do_sendmessage: malloc() ok\n");

  int result = MESSAGE_OUTCOME_NOT_SENT;
  // No MESSAGE_FLAG_UNICODE on what we send, whatever the text's form (see wire.h).
  int built = mrim_append_ul(packet, flags) | mrim_append_lps(packet, recipient) |
              mrim_append_text(packet, text, mrim_session_unicode()) | mrim_append_lps(packet, " ");
  if (built == 0) {
    const MrimRequestKind kind{"mrim_do_sendmessage",
                               MRIM_CS_MESSAGE_STATUS,
                               "MRIM_CS_MESSAGE_STATUS",
                               capacity,
                               false,
                               true,
                               false};
    uint32_t position = 0;
    // A report without a body leaves the status at 0: delivered.
    uint32_t status = MESSAGE_DELIVERED;
    MrimRequestResult reply = mrim_request(
        packet, kind, &position, &status, "mrim_do_sendmessage: MRIM_CS_MESSAGE(%lu,%s,%s,%s) sended\n",
        static_cast<unsigned long>(flags), recipient, log_private(text), "");
    if (reply == MRIM_REQUEST_FAILED) {
      result = MESSAGE_OUTCOME_UNCONFIRMED;
    } else if (reply == MRIM_REQUEST_SESSION_ENDED) {
      result = MESSAGE_OUTCOME_CONNECTION_LOST;
    } else if (reply != MRIM_REQUEST_NOT_SENT) {
      if (status == MESSAGE_DELIVERED) {
        mrim_log("mrim_do_sendmessage: MRIM_CS_MESSAGE_STATUS(MESSAGE_DELIVERED) received\n");
        mrim_log("mrim_do_sendmessage: ok\n");
        result = MESSAGE_OUTCOME_DELIVERED;
      } else {
        *refused_status = status;
        result = MESSAGE_OUTCOME_REFUSED;
      }
    }
  }
  free(packet);
  mrim_log("mrim_do_sendmessage: ended\n");
  return result;
}

INT_PTR MRIM_UserIsTyping(WPARAM wparam, LPARAM state) {
  auto contact = reinterpret_cast<HANDLE>(wparam);
  if (contact == nullptr) return 0;
  SettingVariant email;
  if (!mrim_read_text_setting(contact, protocol_state.module_name, "EMail", &email)) return 0;
  // Only the start of typing is announced; its end is not.
  if (state == 1) mrim_do_typing(email.text);
  free_setting(&email);
  return 0;
}

// The notice keeps to its 100 bytes of body. An address longer than the 82 bytes that leaves
// is no address the server knows, and a typing notice is only a passing hint, so it is not
// sent rather than built in a larger buffer.
//
// Each call builds in a buffer of its own: the notice may wait for its turn on the connection
// (the gap after the last write, see send.h), and while it waits another host thread's notice
// to the same contact is dropped against it, which needs both packets whole. No memory, no
// notice: it is only a hint.
int mrim_do_typing(const char* recipient) {
  if (strlen(recipient) > MRIM_TYPING_ADDRESS_MAX) {
    mrim_log("mrim_do_typing: recipient address too long, notice not sent\n");
    return 0;
  }
  auto* packet = static_cast<MrimPacket*>(malloc(sizeof(MrimPacket)));
  if (packet == nullptr) return 0;
  mrim_packet_init(packet, MRIM_CS_MESSAGE, mrim_next_seq());
  mrim_append_ul(packet, MESSAGE_FLAG_NOTIFY | MESSAGE_FLAG_NORECV);
  mrim_append_lps(packet, recipient);
  mrim_append_lps(packet, " ");
  mrim_append_lps(packet, " ");
  if (mrim_send(packet, MRIM_SEND_TYPING) == MRIM_SEND_MERGED)
    mrim_log("mrim_do_typing: the same notice is already waiting\n");
  free(packet);
  return 0;
}
