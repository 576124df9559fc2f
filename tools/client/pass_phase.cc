#include "client/pass_phase.h"

#include <algorithm>

namespace corvanetools {

PassPhase::PassPhase(int64_t period_us)
    : period_us_(std::max<int64_t>(period_us, kBucketUs)),
      buckets_(static_cast<size_t>((period_us_ + kBucketUs - 1) / kBucketUs), 0) {}

void PassPhase::Add(int64_t arrival_us) {
  int64_t phase = arrival_us % period_us_;
  if (phase < 0) phase += period_us_;
  ++buckets_[static_cast<size_t>(phase / kBucketUs)];
  ++count_;
}

void PassPhase::Merge(const PassPhase& other) {
  if (other.buckets_.size() != buckets_.size()) return;
  for (size_t i = 0; i < buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
}

int64_t PassPhase::SpreadUs(double percent) const {
  if (count_ == 0) return 0;
  const size_t n = buckets_.size();
  // The longest circular run of empty buckets; the cluster starts after it.
  size_t best_end = 0;
  size_t best_length = 0;
  size_t run = 0;
  for (size_t i = 0; i < 2 * n; ++i) {
    if (buckets_[i % n] == 0) {
      ++run;
      if (run > best_length && run <= n) {
        best_length = run;
        best_end = i % n;
      }
    } else {
      run = 0;
    }
  }
  const size_t start = best_length == 0 ? 0 : (best_end + 1) % n;
  const double wanted = percent / 100.0 * static_cast<double>(count_);
  uint64_t seen = 0;
  for (size_t offset = 0; offset < n; ++offset) {
    seen += buckets_[(start + offset) % n];
    if (static_cast<double>(seen) >= wanted) return static_cast<int64_t>(offset + 1) * kBucketUs;
  }
  return static_cast<int64_t>(n) * kBucketUs;
}

}  // namespace corvanetools
