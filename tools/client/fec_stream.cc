#include "client/fec_stream.h"

#include <cstring>

#include "base/byte_io.h"

namespace corvanetools {

namespace {

constexpr uint8_t kFecFlags = 0x80;

void WriteFecHeader(uint64_t user_id, uint32_t sequence, uint32_t block_start, int k, int r,
                    uint8_t* out) {
  out[0] = kFecFlags;
  out[1] = kFecMarker;
  corvaneserver::WriteFecHeader(
      {user_id, sequence, block_start, static_cast<uint8_t>(k), static_cast<uint8_t>(r)}, out);
}

}  // namespace

bool CopyRepairEncoder(int k, int r, const uint8_t* const* sources, uint8_t* const* repairs,
                       size_t len) {
  if (k != 1) return false;
  for (int j = 0; j < r; ++j) std::memcpy(repairs[j], sources[0], len);
  return true;
}

bool ParseFecHeader(const uint8_t* data, size_t size, FecHeader* header) {
  // Only the header's own fields are needed here, not the symbol's length.
  if (size < kFecHeaderBytes || data[1] != kFecMarker) return false;
  header->user_id = rtc::GetBE64(data + corvaneserver::kFecUserIdOffset);
  header->sequence = rtc::GetBE32(data + corvaneserver::kFecSequenceOffset);
  header->block_start = rtc::GetBE32(data + corvaneserver::kFecBlockStartOffset);
  header->k = data[corvaneserver::kFecSourceCountOffset];
  header->r = data[corvaneserver::kFecRepairCountOffset];
  return true;
}

FecStream::FecStream(uint64_t user_id, int k, int r, RepairEncoder encoder, uint32_t first_sequence)
    : user_id_(user_id),
      k_(k),
      r_(r),
      encoder_(std::move(encoder)),
      block_start_(first_sequence),
      symbols_(static_cast<size_t>(k) * kFecSymbolBytes, 0) {}

size_t FecStream::AddSource(const uint8_t* media, size_t size, uint8_t* out) {
  if (size > kMaxFecMedia || position_ >= k_) return 0;
  WriteFecHeader(user_id_, next_sequence(), block_start_, k_, r_, out);
  rtc::SetBE16(out + kFecHeaderBytes, static_cast<uint16_t>(size));
  std::memcpy(out + kFecSourceHeaderBytes, media, size);
  if (r_ > 0) {
    // The symbol the repairs are computed from: length, media, zeros.
    uint8_t* symbol = symbols_.data() + static_cast<size_t>(position_) * kFecSymbolBytes;
    std::memcpy(symbol, out + kFecHeaderBytes, 2 + size);
    std::memset(symbol + 2 + size, 0, kFecSymbolBytes - 2 - size);
  }
  ++position_;
  return kFecSourceHeaderBytes + size;
}

bool FecStream::TakeRepairs(uint8_t* out) {
  const uint32_t first_repair = block_start_ + static_cast<uint32_t>(k_);
  bool ok = true;
  if (r_ > 0) {
    const uint8_t* sources[kMaxFecK];
    uint8_t* repairs[kMaxFecR];
    for (int i = 0; i < k_; ++i) sources[i] = symbols_.data() + i * kFecSymbolBytes;
    for (int j = 0; j < r_; ++j) {
      uint8_t* datagram = out + static_cast<size_t>(j) * kFecRepairSize;
      WriteFecHeader(user_id_, first_repair + static_cast<uint32_t>(j), block_start_, k_, r_,
                     datagram);
      repairs[j] = datagram + kFecHeaderBytes;
    }
    ok = encoder_ && encoder_(k_, r_, sources, repairs, kFecSymbolBytes);
  }
  block_start_ += static_cast<uint32_t>(k_ + r_);
  position_ = 0;
  return ok;
}

}  // namespace corvanetools
