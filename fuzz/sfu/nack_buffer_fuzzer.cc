// The retransmission buffer of one user: random NACKs against a full buffer,
// and random FEC datagrams into its decoder. Nothing is sent (the datagrams
// have no socket); the buffer never holds more than its limit.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "base/logging.h"
#include "packet/udp_packet.h"
#include "sfu/nack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvaneserver;
  static Nack* nack = [] {
    rtc::LogMessage::SetLogToStderr(false);
    auto* made = new Nack(7);
    std::vector<uint8_t> media(40, 0x20);
    for (uint32_t seq = 0; seq < 300; ++seq) {
      rtc::SetBE32(media.data() + 2, seq * 3);
      made->OnFecPacketDecoded(media.data(), static_cast<unsigned int>(media.size()));
    }
    return made;
  }();
  if (size == 0) return 0;
  const bool as_fec = (data[0] & 1) != 0;
  auto packet = std::make_shared<UDPPacket>(data + 1, static_cast<unsigned int>(size - 1));
  if (as_fec && packet->size() > 1) packet->data()[1] = kFecMarker;
  if (as_fec) {
    nack->OnPacketReceived(packet);
  } else {
    nack->OnNackReceived(packet);
  }
  if (nack->PacketCount() > kMaxNackPackets) __builtin_trap();
  return 0;
}
