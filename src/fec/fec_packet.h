// The records of the FEC decoder's ring: a fixed-capacity byte buffer, and one
// slot holding one FEC datagram with its header fields. The datagram's layout
// is packet/fec_header.h's; here it is held in 1500-byte buffers whose
// kSymbolSize bytes from kSymbolOffset are the codec's symbol.
#ifndef FEC_FEC_PACKET_H_
#define FEC_FEC_PACKET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "packet/fec_header.h"
#include "packet/media_constants.h"

namespace fec {

constexpr uint8_t kFecMarker = corvaneserver::kFecMarker;  // 'P', byte 1
constexpr uint32_t kFecHeaderSize = corvaneserver::kFecHeaderSize;
constexpr uint32_t kSymbolOffset = corvaneserver::kFecSymbolOffset;
constexpr uint32_t kSymbolSize = 1480;
constexpr uint32_t kFecPacketCapacity = kSymbolOffset + kSymbolSize;
static_assert(kFecPacketCapacity == corvaneserver::kMaxUdpPacketSize);
// Longest media datagram a symbol can carry behind its 2-byte length.
constexpr uint32_t kMaxRtpSize = kSymbolSize - 2;

using corvaneserver::FecHeader;
using corvaneserver::ParseFecHeader;

class UDPPacket {
 public:
  explicit UDPPacket(uint32_t capacity);
  UDPPacket(const UDPPacket&) = delete;
  UDPPacket& operator=(const UDPPacket&) = delete;

  // Copies min(len, capacity) bytes and makes that the size.
  void SetData(const uint8_t* data, uint32_t len);
  // Size 0; the bytes stay.
  void Reset() { size_ = 0; }
  const uint8_t* Data() const { return data_.get(); }
  uint8_t* Data() { return data_.get(); }
  uint32_t Size() const { return size_; }
  uint32_t Capacity() const { return capacity_; }
  // Ignored above the capacity.
  void SetSize(uint32_t size) {
    if (size <= capacity_) size_ = size;
  }

 private:
  const uint32_t capacity_;
  uint32_t size_ = 0;
  const std::unique_ptr<uint8_t[]> data_;
};

// One slot of the ring. Its 1500-byte buffer is lent by the decoder while the
// slot holds a datagram (or is about to receive a rebuilt one): a steady
// stream occupies a block or two of slots, not the whole ring.
class FECPacket {
 public:
  static constexpr uint32_t kHolding = 1;
  static constexpr uint32_t kHandedOut = 4;

  FECPacket() = default;
  FECPacket(const FECPacket&) = delete;
  FECPacket& operator=(const FECPacket&) = delete;

  bool HasBuffer() const { return packet_ != nullptr; }
  // REQUIRES: !HasBuffer(); `buffer` has a capacity of kFecPacketCapacity.
  void Attach(std::unique_ptr<UDPPacket> buffer) { packet_ = std::move(buffer); }
  // The buffer, or null; the slot is left empty.
  std::unique_ptr<UDPPacket> Detach() {
    status_ = 0;
    return std::move(packet_);
  }

  // Stores a datagram whose header was checked: status becomes kHolding only.
  // REQUIRES: HasBuffer().
  void AppendData(const uint8_t* data, uint32_t len, const FecHeader& header);
  // Zeroes the symbol's bytes past the datagram's end, so that a short
  // datagram never lends the codec a previous occupant's bytes. Done only
  // before a rebuild, the one use of a whole symbol.
  void ZeroSymbolTail();
  // Makes this slot hold the source symbol at `sequence` that the codec just
  // wrote into Symbol(): its media datagram is `rtp_size` bytes long.
  void SetRebuilt(uint32_t sequence, uint32_t start, uint8_t k, uint8_t r, uint32_t rtp_size);
  void Clear() {
    if (packet_) packet_->Reset();
    status_ = 0;
  }

  bool IsHolding() const { return (status_ & kHolding) != 0; }
  bool IsHandedOut() const { return (status_ & kHandedOut) != 0; }
  void MarkHandedOut() { status_ |= kHandedOut; }
  // s < b + k, counted from the block start so that it holds across the wrap.
  bool IsSourcePacket() const { return sequence_ - start_ < k_; }
  bool IsSameSequence(const FECPacket& other) const {
    return start_ == other.start_ && k_ == other.k_ && r_ == other.r_;
  }

  // The media datagram of a source packet: its length field L, cut to the
  // bytes received, so that a sender padding to 1500 bytes hands out the same
  // datagram as one that does not.
  const uint8_t* RtpData() const { return packet_->Data() + kFecHeaderSize; }
  uint32_t RtpSize() const;
  // The codec's symbol: always kSymbolSize bytes (zero past the datagram).
  // REQUIRES: HasBuffer().
  const uint8_t* Symbol() const { return packet_->Data() + kSymbolOffset; }
  uint8_t* Symbol() { return packet_->Data() + kSymbolOffset; }

  uint32_t status() const { return status_; }
  uint32_t sequence() const { return sequence_; }
  uint32_t start() const { return start_; }
  uint8_t k() const { return k_; }
  uint8_t r() const { return r_; }

  std::string ToString() const;

 private:
  std::unique_ptr<UDPPacket> packet_;
  uint32_t status_ = 0;
  uint32_t sequence_ = 0;
  uint32_t start_ = 0;
  uint8_t k_ = 0;
  uint8_t r_ = 0;
};

}  // namespace fec

#endif  // FEC_FEC_PACKET_H_
