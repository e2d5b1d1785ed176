// The handler the listener hands whole packets to (see listener.h).
#include <atomic>

#include "protocol/listener.h"

namespace {

std::atomic<PacketHandler> installed_handler{nullptr};

}  // namespace

void listener_set_packet_handler(PacketHandler handler) { installed_handler = handler; }

void listener_hand_over(const MrimPacket* packet, ListenerWorkArea* work) {
  PacketHandler handler = installed_handler.load();
  if (handler != nullptr) handler(packet, work);
}
