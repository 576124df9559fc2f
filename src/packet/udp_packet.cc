#include "packet/udp_packet.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/byte_io.h"
#include "base/time_utils.h"
#include "packet/fec_header.h"

namespace corvaneserver {

UDPPacket::UDPPacket(unsigned int capacity)
    : buffer_(std::make_unique_for_overwrite<unsigned char[]>(capacity)), capacity_(capacity) {}

UDPPacket::UDPPacket(const unsigned char* data, unsigned int size) : UDPPacket(size) {
  if (data == nullptr || size == 0) return;
  std::memcpy(buffer_.get(), data, size);
  size_ = size;
}

void UDPPacket::SetSize(unsigned int size) {
  if (size <= capacity_) size_ = size;
}

void UDPPacket::SetSocket(int socket, const sockaddr_in& from) {
  rtc::SocketAddress address;
  address.FromSockAddr(from);
  SetSocket(socket, address);
}

void UDPPacket::SetSocket(int socket, const sockaddr_in& from, int64_t receive_time_ms,
                          int64_t kernel_wait_ms) {
  socket_ = socket;
  from_address_.FromSockAddr(from);
  receive_time_ms_ = receive_time_ms;
  kernel_wait_ms_ = kernel_wait_ms;
}

void UDPPacket::SetSocket(int socket, const rtc::SocketAddress& from) {
  socket_ = socket;
  from_address_ = from;
  receive_time_ms_ = rtc::TimeMillis();
}

bool UDPPacket::IsDetectPacket() const {
  return size_ == kDetectPktSize && std::memcmp(buffer_.get(), detect_pkt, sizeof(detect_pkt)) == 0;
}

bool UDPPacket::IsFecRepair() const {
  return IsFecPacket() && size_ >= kFecHeaderSize && !IsSourceAudio(buffer_.get());
}

const unsigned char* UDPPacket::GetRawData() const {
  const unsigned int offset = RawOffset();
  if (size_ < offset) return nullptr;
  return buffer_.get() + offset;
}

bool UDPPacket::Ack() const {
  if (!HasRawBytes(kMediaFlagsOffset + 1) || IsFecRepair()) return false;
  return (GetRawData()[kMediaFlagsOffset] & kAckFlag) != 0;
}

uint8_t UDPPacket::PayloadType() const {
  if (!HasRawBytes(kMediaPayloadTypeOffset + 1)) return 0;
  return rtc::Get8(GetRawData(), kMediaPayloadTypeOffset);
}

uint32_t UDPPacket::SequenceNum() const {
  if (!HasRawBytes(kMediaSequenceOffset + 4)) return 0;
  return rtc::GetBE32(GetRawData() + kMediaSequenceOffset);
}

uint64_t UDPPacket::UserId() const {
  // A FEC datagram names its user in its own header, not in the wrapped one.
  const unsigned int offset = IsFecPacket() ? kFecUserIdOffset : kMediaUserIdOffset;
  if (size_ < offset + 8) return 0;
  return rtc::GetBE64(buffer_.get() + offset);
}

unsigned int UDPPacket::TokenLength() const {
  if (!HasRawBytes(kTokenOffset) || IsFecRepair()) return 0;
  const uint16_t header = rtc::GetBE16(GetRawData() + kTokenHeaderOffset);
  const unsigned int length = header & 0x7FF;
  if ((header >> 11) != 1 || length == 0) return 0;
  // A declared length that runs past the datagram is no token at all.
  if (!HasRawBytes(kTokenOffset + length)) return 0;
  return length;
}

std::string UDPPacket::Token() const {
  const unsigned int length = TokenLength();
  if (length == 0) return std::string();
  return std::string(reinterpret_cast<const char*>(GetRawData() + kTokenOffset), length);
}

void UDPPacket::ResetAck() {
  if (!HasRawBytes(kMediaFlagsOffset + 1) || IsFecRepair()) return;
  buffer_[RawOffset() + kMediaFlagsOffset] &= static_cast<unsigned char>(~kAckFlag);
}

int UDPPacket::Send(const rtc::SocketAddress& to, int socket) const {
  if (!to.IsComplete() || socket < 0) return 0;
  sockaddr_in addr;
  if (to.ToSockAddr(&addr) == 0) {
    errno = EAFNOSUPPORT;
    return -1;
  }
  const ssize_t sent = ::sendto(socket, buffer_.get(), size_, 0,
                                reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  return static_cast<int>(sent);
}

bool IsRtcp(unsigned char payload_type) { return payload_type == kReceiverReportPayloadType; }

bool IsNack(unsigned char payload_type) { return payload_type == kNackPayloadType; }

bool IsCascade(unsigned char payload_type) { return payload_type == kCascadePayloadType; }

bool IsAckPacket(unsigned char payload_type) { return (payload_type & 0x01) != 0; }

}  // namespace corvaneserver
