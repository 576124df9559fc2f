// What one stream's block rebuilds may cost on the thread that handles its
// datagrams: a token bucket of rebuild work, refilled with time.
//
// A rebuild of `missing` sources of a block of k costs about k * missing
// multiply-adds of a whole symbol (the matrix work is small beside it), so a
// unit here is one such symbol operation: a k = 16 block rebuilt from repairs
// alone costs 256, a k = 128 one 16384, 64 times as much for 8 times the data.
//
// Not thread-safe: used under the decoder's lock.
#ifndef FEC_DECODE_BUDGET_H_
#define FEC_DECODE_BUDGET_H_

#include <cstdint>

namespace fec {

class DecodeBudget {
 public:
  // Units a stream earns per second: five times what a k = 16 stream rebuilt
  // from repairs alone at 100 datagrams a second needs (about 1600), and a
  // few milliseconds of a core.
  static constexpr int64_t kUnitsPerSecond = 8192;
  // Most units saved up: one rebuild of a k = 128 block from repairs alone
  // (and so any block of k 128 or less) fits once the bucket is full.
  static constexpr int64_t kMaxUnits = 128 * 128;

  // Starts full.
  DecodeBudget();

  // The cost of rebuilding `missing` sources of a block of `k`.
  static int64_t CostOf(uint32_t k, uint32_t missing) { return int64_t{k} * missing; }

  // Takes `units` when the bucket holds them; false (nothing taken) when not.
  bool Take(int64_t units);

 private:
  void Refill();

  int64_t millis_ = kMaxUnits * 1000;  // thousandths of a unit
  int64_t last_refill_ms_;
};

}  // namespace fec

#endif  // FEC_DECODE_BUDGET_H_
