#include "mfu/mixer_schedule.h"

#include "mfu/mfu_metrics.h"

namespace corvaneserver {

void PassLateness::Record(int64_t lateness_us) {
  MfuMetrics::Get().ObservePass(lateness_us);
  size_t bucket = lateness_us <= 0 ? 0 : static_cast<size_t>(lateness_us / kBucketUs);
  if (bucket >= kBuckets) bucket = kBuckets - 1;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
}

uint64_t PassLateness::Count() const {
  uint64_t total = 0;
  for (const auto& bucket : buckets_) total += bucket.load(std::memory_order_relaxed);
  return total;
}

int64_t PassLateness::PercentileUs(double fraction) const {
  std::array<uint64_t, kBuckets> counts;
  uint64_t total = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    counts[i] = buckets_[i].load(std::memory_order_relaxed);
    total += counts[i];
  }
  if (total == 0) return 0;
  const double wanted = fraction * static_cast<double>(total);
  uint64_t seen = 0;
  for (size_t i = 0; i < kBuckets; ++i) {
    seen += counts[i];
    if (static_cast<double>(seen) >= wanted) return static_cast<int64_t>(i + 1) * kBucketUs;
  }
  return static_cast<int64_t>(kBuckets) * kBucketUs;
}

void PassLateness::Reset() {
  for (auto& bucket : buckets_) bucket.store(0, std::memory_order_relaxed);
}

}  // namespace corvaneserver
