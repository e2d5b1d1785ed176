// The dispatcher of every packet the server sends. Packets it does not handle itself go to the reply queue,
// where the requests that sent them wait for their replies.
#include "incoming/dispatcher.h"

#include "core/log.h"
#include "incoming/messages.h"
#include "incoming/microblog.h"
#include "incoming/presence.h"
#include "protocol/receive.h"

// Exactly one handler per packet, chosen by the message code in this order; none of them looks
// at seq.
int MRIM_HSP(const MrimPacket* packet, ListenerWorkArea* work) {
  mrim_log("MRIM_HSP: started.\n");
  switch (packet->msg) {
    case MRIM_CS_MESSAGE_ACK:
      mrim_handle_message_ack(packet, work);
      break;
    case MRIM_CS_OFFLINE_MESSAGE_ACK:
      mrim_handle_offline_message(packet, work);
      break;
    case MRIM_CS_MAILBOX_STATUS:
      mrim_handle_mailbox_status(packet);
      break;
    case MRIM_CS_USER_STATUS:
    // A widely used server sends the status behind its acknowledgement of our grant under the
    // code of a status change; no client request is answered under that code.
    case MRIM_CS_CHANGE_STATUS:
      mrim_handle_user_status(packet, work);
      break;
    case MRIM_CS_AUTHORIZE_ACK:
      mrim_handle_authorize_ack(packet, work);
      break;
    case MRIM_CS_CONTACT_LIST2:
      mrim_handle_contact_list(packet, work);
      break;
    case MRIM_CS_USER_INFO:
      mrim_handle_user_info(packet, work);
      break;
    case MRIM_CS_LOGOUT:
      mrim_handle_logout(packet);
      break;
    case MRIM_CS_CONNECTION_PARAMS:
      mrim_handle_connection_params(packet);
      break;
    case MRIM_CS_USER_BLOG_STATUS:
      mrim_handle_user_blog_status(packet, work);
      break;
    default:
      mrim_hsp_store(packet);
      break;
  }
  mrim_log("MRIM_HSP: ended.\n");
  return 0;
}

void mrim_hsp_store(const MrimPacket* packet) {
  mrim_log("MRIM_HSP: unhandled packet id(%8.08X) seq(%8.08X) in MRIM_HSP. storing to queue\n",
           static_cast<unsigned>(packet->msg), static_cast<unsigned>(packet->seq));
  // A failed allocation loses the packet; its requester times out.
  PendingPacket* node = pending_packet_new(packet);
  if (node == nullptr) return;
  mrim_log("MRIM_HSP: malloc() ok\n");
  pending_queue_append(node);
}
