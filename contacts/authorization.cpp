// The grants we made lately (see authorization.h).
#include "contacts/authorization.h"

#include <cstring>
#include <mutex>

#include "core/text.h"
#include "platform/win32.h"

namespace {

// An acknowledgement comes right behind the grant; one that does not come within this long is
// not coming, and a later 0x1021 naming the same address means something else.
constexpr DWORD kGrantMemoryMs = 5 * 60 * 1000;
// Room for a burst of requests granted in a row; the oldest gives way to a newer one.
constexpr int kMaxGrants = 16;
constexpr int kAddressMax = 255;

struct Grant {
  char address[kAddressMax + 1];
  DWORD when;
  bool used;
};

std::mutex grants_mutex;
Grant grants[kMaxGrants];

}  // namespace

void mrim_grant_noted(const char* address) {
  if (address == nullptr || strlen(address) > kAddressMax) return;
  std::lock_guard lock(grants_mutex);
  const DWORD now = GetTickCount();
  Grant* slot = &grants[0];
  for (Grant& g : grants) {
    if (!g.used || same_address(g.address, address)) {
      slot = &g;
      break;
    }
    if (now - g.when > now - slot->when) slot = &g;  // the oldest gives way
  }
  lstrcpynA(slot->address, address, sizeof slot->address);
  slot->when = now;
  slot->used = true;
}

bool mrim_grant_acknowledged(const char* address) {
  if (address == nullptr) return false;
  std::lock_guard lock(grants_mutex);
  const DWORD now = GetTickCount();
  for (Grant& g : grants) {
    if (!g.used || !same_address(g.address, address)) continue;
    g.used = false;
    return now - g.when < kGrantMemoryMs;  // unsigned: right across a wrap of the count
  }
  return false;
}

void mrim_grants_reset() {
  std::lock_guard lock(grants_mutex);
  for (Grant& g : grants) g.used = false;
}
