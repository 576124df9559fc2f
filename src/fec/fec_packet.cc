#include "fec/fec_packet.h"

#include <algorithm>
#include <cstring>

#include "base/byte_io.h"

namespace fec {

UDPPacket::UDPPacket(uint32_t capacity) : capacity_(capacity), data_(new uint8_t[capacity]) {}

void UDPPacket::SetData(const uint8_t* data, uint32_t len) {
  size_ = std::min(len, capacity_);
  if (size_ > 0) std::memcpy(data_.get(), data, size_);
}

void FECPacket::AppendData(const uint8_t* data, uint32_t len, const FecHeader& header) {
  status_ = kHolding;
  sequence_ = header.sequence;
  start_ = header.start;
  k_ = header.k;
  r_ = header.r;
  packet_->SetData(data, len);
}

void FECPacket::ZeroSymbolTail() {
  const uint32_t size = packet_->Size();
  if (size < kFecPacketCapacity) std::memset(packet_->Data() + size, 0, kFecPacketCapacity - size);
}

void FECPacket::SetRebuilt(uint32_t sequence, uint32_t start, uint8_t k, uint8_t r,
                           uint32_t rtp_size) {
  status_ = kHolding | kHandedOut;
  sequence_ = sequence;
  start_ = start;
  k_ = k;
  r_ = r;
  packet_->SetSize(kFecHeaderSize + rtp_size);
}

uint32_t FECPacket::RtpSize() const {
  const uint32_t size = packet_ ? packet_->Size() : 0;
  if (size <= kFecHeaderSize) return 0;
  return std::min<uint32_t>(size - kFecHeaderSize, rtc::GetBE16(Symbol()));
}

std::string FECPacket::ToString() const {
  return "sequence number [" + std::to_string(sequence_) + "] start sequence number [" +
         std::to_string(start_) + "], fec parameter [R: " + std::to_string(k_) +
         " | C: " + std::to_string(r_) + "]";
}

}  // namespace fec
