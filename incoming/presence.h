// The server's notices about other users and about the account: presence, the contact list,
// account information, the mailbox counter, a forced log-out and the keep-alive period. Each
// runs on the listener thread, called by MRIM_HSP, and sends nothing back.
#pragma once

#include "protocol/listener.h"

void mrim_handle_user_status(const MrimPacket* packet, ListenerWorkArea* work);
void mrim_handle_contact_list(const MrimPacket* packet, ListenerWorkArea* work);
void mrim_handle_user_info(const MrimPacket* packet, ListenerWorkArea* work);
void mrim_handle_mailbox_status(const MrimPacket* packet);
void mrim_handle_logout(const MrimPacket* packet);
void mrim_handle_connection_params(const MrimPacket* packet);
// MRIM_CS_AUTHORIZE_ACK: our grant acknowledged, or a contact we wait for authorized us.
void mrim_handle_authorize_ack(const MrimPacket* packet, ListenerWorkArea* work);

// A decimal number as the account information carries it: leading blanks skipped, one
// optional sign, digits up to the first other character (none gives 0). A count cannot be
// negative: a negative value gives 0, and one beyond 32 bits gives 0xFFFFFFFF.
uint32_t mrim_parse_count(const char* text);
