// Reading the address service's line (see address_reply.h).
#include "protocol/address_reply.h"

#include <cstdint>
#include <cstring>

// The host's figures are trusted only as far as the receiver's own size.
void mrim_address_reply_text(const char* buffer, int available, char* reply) {
  if (buffer == nullptr || available < 0) available = 0;
  if (available > MRIM_ADDRESS_RECEIVER_SIZE) available = MRIM_ADDRESS_RECEIVER_SIZE;
  if (available > 0) memcpy(reply, buffer, static_cast<size_t>(available));
  reply[available] = '\0';
}

// Accepted: a host text, the first colon, and a port right after it, ended by CR, LF or the end
// of the reply. Servers run MRIM on many ports (2041 is common), so any port is taken; digits
// running past a port's range, or anything else after them, make the reply unusable, as does an
// empty host part, and the fallback applies.
int mrim_parse_address_reply(const char* reply, char* out, size_t out_size) {
  const char* colon = strchr(reply, ':');
  if (colon == nullptr || colon == reply) return 1;
  const char* end = colon + 1;
  uint32_t port = 0;
  while (*end >= '0' && *end <= '9') {
    port = port * 10 + static_cast<uint32_t>(*end - '0');
    if (port > 65535) return 1;
    ++end;
  }
  if (end == colon + 1 || port == 0) return 1;
  if (*end != '\0' && *end != '\r' && *end != '\n') return 1;
  size_t length = static_cast<size_t>(end - reply);
  if (out_size == 0 || length >= out_size) return 1;
  memcpy(out, reply, length);
  out[length] = '\0';
  return 0;
}
