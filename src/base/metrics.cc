#include "base/metrics.h"

#include <algorithm>
#include <cmath>

namespace rtc {

uint64_t Counter::Value() const {
  uint64_t total = 0;
  for (const Shard& shard : shards_) total += shard.value.load(std::memory_order_relaxed);
  return total;
}

size_t Counter::ShardIndex() {
  static std::atomic<size_t> next{0};
  thread_local const size_t index = next.fetch_add(1, std::memory_order_relaxed) % kShards;
  return index;
}

Histogram::Histogram(std::vector<double> upper_bounds)
    : upper_bounds_(std::move(upper_bounds)),
      buckets_(std::make_unique<Counter[]>(upper_bounds_.size() + 1)) {}

void Histogram::Observe(double value) {
  const size_t bucket =
      std::lower_bound(upper_bounds_.begin(), upper_bounds_.end(), value) - upper_bounds_.begin();
  buckets_[bucket].Add();
  if (value > 0) sum_scaled_.Add(static_cast<uint64_t>(std::llround(value * kSumScale)));
}

Histogram::Snapshot Histogram::Take() const {
  Snapshot snapshot;
  snapshot.upper_bounds = upper_bounds_;
  uint64_t running = 0;
  for (size_t i = 0; i <= upper_bounds_.size(); ++i) {
    running += buckets_[i].Value();
    snapshot.cumulative.push_back(running);
  }
  snapshot.count = running;
  snapshot.sum = static_cast<double>(sum_scaled_.Value()) / kSumScale;
  return snapshot;
}

MetricRegistry& MetricRegistry::Global() {
  static MetricRegistry* registry = new MetricRegistry();  // never destroyed: used at exit
  return *registry;
}

int MetricRegistry::Add(std::string name, std::string help, Type type, MetricLabels labels,
                        const Counter* counter, std::function<double()> gauge,
                        const Histogram* histogram) {
  MutexLock hold(&mu_);
  Entry entry;
  entry.id = next_id_++;
  entry.name = std::move(name);
  entry.help = std::move(help);
  entry.type = type;
  entry.labels = std::move(labels);
  entry.counter = counter;
  entry.gauge = std::move(gauge);
  entry.histogram = histogram;
  entries_.push_back(std::move(entry));
  return entries_.back().id;
}

int MetricRegistry::AddCounter(std::string name, std::string help, MetricLabels labels,
                               const Counter* counter) {
  return Add(std::move(name), std::move(help), Type::kCounter, std::move(labels), counter, {},
             nullptr);
}

int MetricRegistry::AddGauge(std::string name, std::string help, MetricLabels labels,
                             std::function<double()> read) {
  return Add(std::move(name), std::move(help), Type::kGauge, std::move(labels), nullptr,
             std::move(read), nullptr);
}

int MetricRegistry::AddHistogram(std::string name, std::string help, MetricLabels labels,
                                 const Histogram* histogram) {
  return Add(std::move(name), std::move(help), Type::kHistogram, std::move(labels), nullptr, {},
             histogram);
}

void MetricRegistry::Remove(int id) {
  MutexLock reading(&read_mu_);
  MutexLock hold(&mu_);
  std::erase_if(entries_, [id](const Entry& entry) { return entry.id == id; });
}

std::vector<MetricRegistry::Entry> MetricRegistry::Entries() const {
  MutexLock hold(&mu_);
  return entries_;
}

}  // namespace rtc
