// Messages the server delivers on its own: instant messages, typing notices and authorization
// requests (MRIM_CS_MESSAGE_ACK), and the messages stored while the user was offline
// (MRIM_CS_OFFLINE_MESSAGE_ACK). Both run on the listener thread, called by MRIM_HSP.
#pragma once

#include <cstdint>

#include "protocol/listener.h"

void mrim_handle_message_ack(const MrimPacket* packet, ListenerWorkArea* work);
void mrim_handle_offline_message(const MrimPacket* packet, ListenerWorkArea* work);

// A mail date ("Tue, 09 Dec 2026 15:04:05 GMT", a "+hhmm" zone taken off) as seconds since
// 1970 UTC on the writer's clock; 0 for anything else.
uint32_t mrim_mail_date(const char* text);
