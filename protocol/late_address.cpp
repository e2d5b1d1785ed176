// The late address line of a busy address service (see late_address.h).
#include "protocol/late_address.h"

#include <mutex>

#include "core/log.h"
#include "protocol/address_reply.h"

namespace {

// The connect thread and the listener meet here.
std::mutex late_mutex;
HANDLE watched = nullptr;
bool found = false;
char found_address[MRIM_SERVER_ADDRESS_SIZE];

}  // namespace

void late_address_watch(HANDLE receiver) {
  std::lock_guard lock(late_mutex);
  watched = receiver;
  found = false;
}

void late_address_offer(HANDLE receiver, const BYTE* bytes, uint32_t count) {
  std::lock_guard lock(late_mutex);
  if (receiver == nullptr || receiver != watched) return;
  watched = nullptr;
  // An MRIM packet begins with its magic, which no address line does, so a server's answer is
  // never taken for one. The line is read as the address query reads it, at most that many bytes.
  const int available =
      count < MRIM_ADDRESS_RECEIVER_SIZE ? static_cast<int>(count) : MRIM_ADDRESS_RECEIVER_SIZE;
  char reply[MRIM_ADDRESS_RECEIVER_SIZE + 1];
  mrim_address_reply_text(reinterpret_cast<const char*>(bytes), available, reply);
  found = mrim_parse_address_reply(reply, found_address, sizeof found_address) == 0;
  if (found) mrim_log("ListenThread: an address reply came late: [%s]\n", reply);
}

bool late_address_take(char* out, size_t out_size) {
  std::lock_guard lock(late_mutex);
  const bool had = found && out_size > 0;
  if (had) lstrcpynA(out, found_address, static_cast<int>(out_size));
  found = false;
  watched = nullptr;
  return had;
}
