// The systematic Reed-Solomon erasure code over GF(2^8) that clients protect
// their media with: k source symbols, r repair symbols, any k of the k + r
// rebuild the sources. Bit-compatible with the clients' encoder. The symbol
// arithmetic runs on ISA-L; the small matrices are built here.
#ifndef FEC_REED_SOLOMON_H_
#define FEC_REED_SOLOMON_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace fec {

class ReedSolomon {
 public:
  // Largest block: k + r symbols (the field has 256 evaluation points).
  static constexpr int kMaxSymbols = 256;
  static constexpr int kMaxSourceSymbols = 255;

  // The codec of (k, r), or nullptr unless 1 <= k <= 255, r >= 0 and
  // k + r <= 256. Built once per (k, r) and shared. Safe to call from any thread.
  static std::shared_ptr<const ReedSolomon> Get(int k, int r);

  ~ReedSolomon();
  ReedSolomon(const ReedSolomon&) = delete;
  ReedSolomon& operator=(const ReedSolomon&) = delete;

  int k() const { return k_; }
  int r() const { return r_; }

  // The coefficient of source symbol `source` in encoding symbol `esi`
  // (identity for esi < k).
  uint8_t Coefficient(int esi, int source) const;

  // Writes the r repair symbols of the k source symbols; each buffer holds len
  // bytes. Safe to call from any thread.
  void Encode(const uint8_t* const* sources, uint8_t* const* repairs, size_t len) const;

  // symbols: k + r entries, source symbols first, null for a missing symbol.
  // Writes rebuilt[i] for every missing source position i < k (other entries
  // of rebuilt are not touched and may be null). False, writing nothing, when
  // fewer than k symbols are present. Safe to call from any thread; after the
  // first calls on a thread it allocates nothing.
  bool Decode(const uint8_t* const* symbols, uint8_t* const* rebuilt, size_t len) const;

 private:
  struct Generator;

  ReedSolomon(int k, int r, std::shared_ptr<const Generator> generator);

  const int k_;
  const int r_;
  // Rows 0 .. 255 of the generator for this k, shared by every r.
  const std::shared_ptr<const Generator> generator_;
  // ISA-L tables of the repair rows, built on the first Encode.
  mutable std::once_flag encode_once_;
  mutable std::unique_ptr<uint8_t[]> encode_tables_;
};

}  // namespace fec

#endif  // FEC_REED_SOLOMON_H_
