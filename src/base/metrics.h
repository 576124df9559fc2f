// Counters and histograms that the packet path can bump on every datagram
// without a lock or a look-up, and the process-wide list of what an exporter
// reads from them. Knows nothing of any exposition format.
#ifndef BASE_METRICS_H_
#define BASE_METRICS_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace rtc {

// A monotonic count. Each thread adds to a shard of its own (relaxed, on its
// own cache line), so threads bumping one counter do not contend; Value()
// sums the shards and is exact once the adding threads are quiet.
class Counter {
 public:
  Counter() = default;
  Counter(const Counter&) = delete;
  Counter& operator=(const Counter&) = delete;

  void Add(uint64_t n = 1) { shards_[ShardIndex()].value.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const;

 private:
  static constexpr size_t kShards = 8;
  struct alignas(64) Shard {
    std::atomic<uint64_t> value{0};
  };
  // The calling thread's shard, fixed at its first use.
  static size_t ShardIndex();

  std::array<Shard, kShards> shards_;
};

// Observations counted into fixed buckets, as cheap as a Counter per call.
class Histogram {
 public:
  // Upper bounds of the buckets, ascending; a last bucket takes the rest.
  explicit Histogram(std::vector<double> upper_bounds);
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;

  void Observe(double value);

  struct Snapshot {
    std::vector<double> upper_bounds;
    std::vector<uint64_t> cumulative;  // per bound, then the total
    uint64_t count = 0;
    double sum = 0;
  };
  Snapshot Take() const;

 private:
  // Sums are kept in millionths so that they can be counted like the rest.
  static constexpr double kSumScale = 1e6;

  const std::vector<double> upper_bounds_;
  std::unique_ptr<Counter[]> buckets_;  // upper_bounds_.size() + 1
  Counter sum_scaled_;
};

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// What an exporter may read. Entries are added at start-up and by the objects
// that own what a gauge reads (removed again before those go away); reading
// the list is for a scrape, never the packet path. Safe from any thread.
class MetricRegistry {
 public:
  enum class Type { kCounter, kGauge, kHistogram };
  struct Entry {
    int id = 0;
    std::string name;
    std::string help;
    Type type = Type::kCounter;
    MetricLabels labels;
    const Counter* counter = nullptr;
    std::function<double()> gauge;
    const Histogram* histogram = nullptr;
  };

  static MetricRegistry& Global();

  // Each returns an id for Remove. The counter or histogram must outlive its entry.
  int AddCounter(std::string name, std::string help, MetricLabels labels, const Counter* counter)
      EXCLUDES(mu_);
  int AddGauge(std::string name, std::string help, MetricLabels labels,
               std::function<double()> read) EXCLUDES(mu_);
  int AddHistogram(std::string name, std::string help, MetricLabels labels,
                   const Histogram* histogram) EXCLUDES(mu_);
  void Remove(int id) EXCLUDES(read_mu_, mu_);

  // A copy of the entries in the order they were added. The gauge callbacks
  // in it must be called before the objects they read can go away: the owner
  // removes its gauges first and an exporter reads them under ReadLock().
  std::vector<Entry> Entries() const EXCLUDES(mu_);
  // Held by an exporter while it calls gauge callbacks, and by Remove, so
  // that a callback never runs after its owner removed it.
  Mutex& read_lock() RETURN_CAPABILITY(read_mu_) { return read_mu_; }

 private:
  int Add(std::string name, std::string help, Type type, MetricLabels labels,
          const Counter* counter, std::function<double()> gauge, const Histogram* histogram)
      EXCLUDES(mu_);

  Mutex read_mu_ ACQUIRED_BEFORE(mu_);
  mutable Mutex mu_;
  std::vector<Entry> entries_ GUARDED_BY(mu_);
  int next_id_ GUARDED_BY(mu_) = 1;
};

}  // namespace rtc

#endif  // BASE_METRICS_H_
