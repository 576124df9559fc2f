// The FEC side of a simulated speaker: wraps each media datagram as a source
// datagram of the current block and, once the block holds k sources, builds
// its r repair datagrams. The FEC datagram's layout is packet/fec_header.h's
// (flags 0x80 here); a source datagram is sent unpadded (22 + L bytes), a
// repair datagram carries the whole 1480-byte repair symbol.
//
// Sequence numbers run on without gaps from block to block: a block holds
// b .. b + k - 1 (sources) and b + k .. b + k + r - 1 (repairs).
#ifndef TOOLS_CLIENT_FEC_STREAM_H_
#define TOOLS_CLIENT_FEC_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "packet/fec_header.h"
#include "packet/media_constants.h"

namespace corvanetools {

constexpr uint8_t kFecMarker = corvaneserver::kFecMarker;
constexpr size_t kFecHeaderBytes = corvaneserver::kFecSymbolOffset;
// With the length of the media datagram.
constexpr size_t kFecSourceHeaderBytes = corvaneserver::kFecHeaderSize;
constexpr size_t kFecSymbolBytes = 1480;
constexpr size_t kMaxFecMedia = kFecSymbolBytes - 2;
constexpr size_t kFecRepairSize = kFecHeaderBytes + kFecSymbolBytes;
// Blocks of up to 16 sources: a NACK names at most 16 datagrams, and the
// server's ring must hold several blocks.
constexpr int kMaxFecK = 16;
constexpr int kMaxFecR = 16;

// Computes r repair symbols of `len` bytes each from k source symbols.
// False when the pair (k, r) cannot be coded.
using RepairEncoder = std::function<bool(int k, int r, const uint8_t* const* sources,
                                         uint8_t* const* repairs, size_t len)>;

// The encoder for blocks of one source: every repair symbol is a copy of it.
// Refuses k above 1.
bool CopyRepairEncoder(int k, int r, const uint8_t* const* sources, uint8_t* const* repairs,
                       size_t len);

// The fields of a FEC datagram's header.
struct FecHeader {
  uint64_t user_id = 0;
  uint32_t sequence = 0;
  uint32_t block_start = 0;
  uint8_t k = 0;
  uint8_t r = 0;
  // A source datagram: s - b < k, counted from the block start as the
  // servers do, so that a block straddling 2^32 reads right.
  bool IsSource() const { return sequence - block_start < k; }
};
// False when the datagram is shorter than the header or byte 1 is not 'P'.
bool ParseFecHeader(const uint8_t* data, size_t size, FecHeader* header);

class FecStream {
 public:
  // k in 1..kMaxFecK, r in 0..kMaxFecR (checked by the caller).
  FecStream(uint64_t user_id, int k, int r, RepairEncoder encoder, uint32_t first_sequence = 0);

  int k() const { return k_; }
  int r() const { return r_; }
  // Position of the next source in its block (0 .. k - 1).
  int position() const { return position_; }
  uint32_t next_sequence() const { return block_start_ + static_cast<uint32_t>(position_); }

  // Wraps a media datagram of at most kMaxFecMedia bytes as the next source
  // datagram; writes 22 + size bytes to `out`. 0 when the media is too long.
  size_t AddSource(const uint8_t* media, size_t size, uint8_t* out);
  // True once the block holds k sources: call TakeRepairs next.
  bool BlockFull() const { return position_ == k_; }
  // Builds the block's r repair datagrams (each kFecRepairSize bytes) into
  // `out` (r * kFecRepairSize bytes) and starts the next block. False when
  // the encoder refused the block (the block is skipped all the same).
  bool TakeRepairs(uint8_t* out);

 private:
  const uint64_t user_id_;
  const int k_;
  const int r_;
  const RepairEncoder encoder_;
  uint32_t block_start_;
  int position_ = 0;
  // k source symbols, zero-padded to kFecSymbolBytes.
  std::vector<uint8_t> symbols_;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_FEC_STREAM_H_
