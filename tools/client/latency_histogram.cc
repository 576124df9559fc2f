#include "client/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace corvanetools {

namespace {

// 128 exact buckets, then 64 buckets per power of two.
constexpr uint64_t kExact = 128;
constexpr int kSubBits = 6;  // 64 sub-buckets

}  // namespace

size_t LatencyHistogram::BucketOf(uint64_t value_us) {
  if (value_us < kExact) return static_cast<size_t>(value_us);
  // shift >= 1 keeps (value >> shift) in [64, 127].
  const int shift = std::bit_width(value_us) - (kSubBits + 1);
  return static_cast<size_t>(shift) * 64 + static_cast<size_t>(value_us >> shift);
}

uint64_t LatencyHistogram::ValueOf(size_t bucket) {
  if (bucket < kExact) return bucket;
  const size_t shift = bucket / 64 - 1;
  const uint64_t mantissa = bucket % 64 + 64;
  const uint64_t low = mantissa << shift;
  const uint64_t width = uint64_t{1} << shift;
  return low + width / 2;
}

void LatencyHistogram::Add(int64_t value_us) {
  const uint64_t value = value_us < 0 ? 0 : static_cast<uint64_t>(value_us);
  const size_t bucket = BucketOf(value);
  if (bucket >= buckets_.size()) buckets_.resize(bucket + 1, 0);
  ++buckets_[bucket];
  ++count_;
  max_us_ = std::max(max_us_, static_cast<int64_t>(value));
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
  if (other.buckets_.size() > buckets_.size()) buckets_.resize(other.buckets_.size(), 0);
  for (size_t i = 0; i < other.buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
  max_us_ = std::max(max_us_, other.max_us_);
}

int64_t LatencyHistogram::Percentile(double p) const {
  if (count_ == 0) return 0;
  p = std::clamp(p, 0.0, 100.0);
  uint64_t rank = static_cast<uint64_t>(std::ceil(p / 100.0 * static_cast<double>(count_)));
  rank = std::clamp<uint64_t>(rank, 1, count_);
  uint64_t seen = 0;
  for (size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (seen >= rank) {
      return std::min(static_cast<int64_t>(ValueOf(i)), max_us_);
    }
  }
  return max_us_;
}

}  // namespace corvanetools
