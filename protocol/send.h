// Sending a packet on the account's connection: the one place besides the listener where the
// protocol meets the host's network library.
#pragma once

#include "protocol/codec.h"

// Sends header and body in one host call on the current connection. 0 when there is no
// connection (nothing sent) or the host took the packet; 1 when the host reported a failure.
int MRIM_sendpacket(const MrimPacket* packet);
