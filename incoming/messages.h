// Messages the server delivers on its own: instant messages, typing notices and authorization
// requests (MRIM_CS_MESSAGE_ACK), and the messages stored while the user was offline
// (MRIM_CS_OFFLINE_MESSAGE_ACK). Both run on the listener thread, called by MRIM_HSP.
#pragma once

#include <cstdint>

#include "protocol/listener.h"

void mrim_handle_message_ack(const MrimPacket* packet, ListenerWorkArea* work);
void mrim_handle_offline_message(const MrimPacket* packet, ListenerWorkArea* work);
