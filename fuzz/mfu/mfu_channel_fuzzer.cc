// Cuts arbitrary bytes into datagrams of one speaker, queues them in a mixing
// channel as the server would (exactly sized, so a read past a datagram trips
// ASan) and drains the queue frame by frame through the mixer's choice: the
// FEC header readers, the frame marks and the frame cutting see every shape.
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "base/logging.h"
#include "base/socket_address.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_room.h"
#include "packet/udp_packet.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  rtc::LogMessage::SetLogToStderr(false);
  auto channel = std::make_shared<corvaneserver::MfuChannel>(1, 7, corvaneserver::kUserTypeSpeaker,
                                                             "", /*frame_log=*/true);
  const rtc::SocketAddress from("127.0.0.1", 4000);
  // Each datagram: one length byte, then that many bytes.
  size_t queued = 0;
  while (size > 0) {
    const size_t length = data[0] < size - 1 ? data[0] : size - 1;
    auto packet =
        std::make_shared<corvaneserver::UDPPacket>(data + 1, static_cast<unsigned int>(length));
    packet->SetSocket(-1, from);
    data += 1 + length;
    size -= 1 + length;
    // The deliver pool drops what is shorter than a media header.
    if (!packet->HasMediaHeader()) continue;
    if (channel->OnPacketReceived(packet) == 0 && packet->IsFecPacket()) ++queued;
  }
  Check(channel->QueueSize() == (queued < corvaneserver::MfuChannel::kMaxQueuedPackets
                                     ? queued
                                     : corvaneserver::MfuChannel::kMaxQueuedPackets));
  std::list<std::shared_ptr<corvaneserver::MfUFrame>> frames;
  while (auto frame = channel->GetAudio()) {
    Check(!frame->packets.empty());
    frames.push_back(frame);
  }
  const auto packets = corvaneserver::MfuRoom::GetMixedFrame(frames);
  Check(packets.size() <= queued);
  channel->DeliverPackets(packets);
  return 0;
}
