// Send-to-receive latencies in microseconds, in log-linear buckets: exact
// below 128 us, within 1/64 of the value above. Constant memory per decade,
// so one histogram per receiver stays small on long runs.
#ifndef TOOLS_CLIENT_LATENCY_HISTOGRAM_H_
#define TOOLS_CLIENT_LATENCY_HISTOGRAM_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvanetools {

class LatencyHistogram {
 public:
  // Negative values (clock steps between processes) count as 0.
  void Add(int64_t value_us);
  void Merge(const LatencyHistogram& other);

  uint64_t count() const { return count_; }
  // 0 when empty.
  int64_t max_us() const { return max_us_; }
  // Nearest-rank percentile (0 < p <= 100): the smallest bucket value at or
  // below which at least p percent of the samples lie; never above max_us().
  // 0 when empty.
  int64_t Percentile(double p) const;

  // Bucket arithmetic, exposed for tests.
  static size_t BucketOf(uint64_t value_us);
  // The value a bucket stands for: the value itself below 128, else the
  // middle of the bucket's range.
  static uint64_t ValueOf(size_t bucket);

 private:
  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0;
  int64_t max_us_ = 0;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_LATENCY_HISTOGRAM_H_
