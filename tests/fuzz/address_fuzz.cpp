// libFuzzer target over the address service's reply: every input is what the receiver holds
// when the one wait for the reply ends, in a buffer exactly as long as the input. It is made a
// text, parsed, and the server address it names is split into host and port, as going online
// does with them. What the parse accepts must be "host:port" with a host and a port from 1 to
// 65535, fit its buffers, and split into that host and port; anything else aborts, so that
// libFuzzer reports it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "protocol/online.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  auto* buffer = static_cast<char*>(malloc(size == 0 ? 1 : size));
  if (size > 0) memcpy(buffer, data, size);
  char reply[MRIM_ADDRESS_RECEIVER_SIZE + 1];
  mrim_address_reply_text(size == 0 ? nullptr : buffer, static_cast<int>(size), reply);
  free(buffer);
  if (strlen(reply) > MRIM_ADDRESS_RECEIVER_SIZE) abort();

  char server_address[MRIM_SERVER_ADDRESS_SIZE] = "fallback:443";
  if (mrim_parse_address_reply(reply, server_address, sizeof server_address) != 0) {
    if (strcmp(server_address, "fallback:443") != 0) abort();  // a refused reply leaves it alone
    return 0;
  }
  size_t length = strnlen(server_address, sizeof server_address);
  if (length == sizeof server_address || length < 3) abort();
  const char* colon = strchr(server_address, ':');
  if (colon == nullptr || colon == server_address) abort();
  unsigned long named = strtoul(colon + 1, nullptr, 10);
  if (named == 0 || named > 65535) abort();

  char host[MRIM_SERVER_ADDRESS_SIZE];
  WORD port = 0;
  mrim_split_server_address(server_address, host, sizeof host, &port);
  if (port != named || strlen(host) == 0 || strchr(host, ':') != nullptr) abort();
  return 0;
}
