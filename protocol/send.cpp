// Sending a packet on the account's connection through "Netlib/Send".
#include "protocol/send.h"

#include "core/host_services.h"
#include "core/protocol_state.h"

// A failed "Netlib/Send" is reported (1) so that the requests that check it log their error at
// once instead of waiting out a reply that cannot come.
int MRIM_sendpacket(const MrimPacket* packet) {
  HANDLE connection = protocol_state.connection;
  if (connection == nullptr) return 0;
  uint32_t dlen = packet->dlen;
  if (dlen > MRIM_BODY_CAPACITY) return 1;  // never read past the buffer
  int length = static_cast<int>(MRIM_HEADER_SIZE + dlen);
  INT_PTR sent = send_data(connection, reinterpret_cast<const char*>(packet), length, 0);
  return sent < 0 ? 1 : 0;
}
