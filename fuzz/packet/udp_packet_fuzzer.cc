// Feeds arbitrary bytes to every UDPPacket accessor and payload-type predicate,
// both as an exactly sized datagram (a read past its end trips ASan) and as a
// received one inside a 1500-byte buffer, then through the admission check.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/logging.h"
#include "base/socket_address.h"
#include "packet/packet_statistics.h"
#include "packet/udp_packet.h"

namespace {

using corvaneserver::UDPPacket;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void ReadEverything(UDPPacket& packet) {
  const unsigned int size = packet.size();
  const bool fec = packet.IsFecPacket();
  Check(packet.RawOffset() == (fec ? corvaneserver::kFecHeaderSize : 0));
  Check(packet.RawSize() <= size);
  const unsigned char* raw = packet.GetRawData();
  if (raw != nullptr && packet.RawSize() > 0) {
    Check(raw + packet.RawSize() == packet.data() + size);
  }
  const bool has_header = packet.HasMediaHeader();
  Check(!has_header || packet.HasRawBytes(corvaneserver::kMediaHeaderSize));

  const bool ack = packet.Ack();
  const uint8_t payload_type = packet.PayloadType();
  const uint32_t sequence = packet.SequenceNum();
  const uint64_t user_id = packet.UserId();
  if (!has_header && !fec) Check(user_id == 0 || size >= 14);

  const unsigned int token_length = packet.TokenLength();
  const std::string token = packet.Token();
  Check(token.size() == token_length);
  Check(token_length <= 2047);
  if (token_length > 0) {
    Check(packet.RawSize() >= 16 + token_length);
    Check(std::memcmp(token.data(), raw + 16, token_length) == 0);
  }
  const bool detect = packet.IsDetectPacket();
  Check(!detect || size == corvaneserver::kDetectPktSize);

  const bool rtcp = corvaneserver::IsRtcp(payload_type);
  const bool nack = corvaneserver::IsNack(payload_type);
  const bool cascade = corvaneserver::IsCascade(payload_type);
  const bool is_ack = corvaneserver::IsAckPacket(payload_type);
  Check(!(rtcp && nack) && !(rtcp && cascade) && !(nack && cascade));
  Check(is_ack == ((payload_type & 1) != 0));

  packet.ResetAck();
  Check(!packet.Ack());
  Check(packet.PayloadType() == payload_type && packet.SequenceNum() == sequence &&
        packet.UserId() == user_id && packet.Token() == token);
  (void)ack;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    rtc::LogMessage::SetLogToStderr(false);
    return true;
  }();
  (void)quiet;
  if (size > 4096) return 0;
  const auto n = static_cast<unsigned int>(size);

  // Exactly sized: the buffer ends where the datagram ends.
  UDPPacket exact(data, n);
  ReadEverything(exact);

  // As the receiver holds it: a 1500-byte buffer, cut to its size.
  auto received = std::make_shared<UDPPacket>(corvaneserver::kMaxUdpPacketSize);
  const unsigned int kept =
      n < corvaneserver::kMaxUdpPacketSize ? n : corvaneserver::kMaxUdpPacketSize;
  if (kept > 0) std::memcpy(received->data(), data, kept);
  received->SetSize(kept);
  Check(received->size() == kept);
  received->SetSize(corvaneserver::kMaxUdpPacketSize + 1 + n);
  Check(received->size() == kept);
  ReadEverything(*received);

  // Admission: the source comes from the first bytes; socket -1 so that a
  // detect echo is not really sent.
  static corvaneserver::PacketStatistics statistics(1000);
  rtc::SocketAddress from(rtc::IPAddress(0x7F000001u), size > 0 ? data[0] % 4 + 1 : 1);
  received->SetSocket(-1, from);
  statistics.OnPacketReceived(received);
  return 0;
}
