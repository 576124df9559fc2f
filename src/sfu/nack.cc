#include "sfu/nack.h"

#include "packet/udp_packet.h"

namespace corvaneserver {

int Nack::OnPacketReceived(const std::shared_ptr<UDPPacket>& packet) {
  if (!packet->IsFecPacket()) return -1;
  // No decoder yet: nothing is kept.
  return -1;
}

int Nack::OnNackReceived(const std::shared_ptr<UDPPacket>&) { return -1; }

}  // namespace corvaneserver
