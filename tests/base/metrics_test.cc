#include "base/metrics.h"

#include <algorithm>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace rtc {
namespace {

TEST(MetricsTest, CounterSumsWhatManyThreadsAdded) {
  Counter counter;
  std::vector<std::thread> threads;
  for (int t = 0; t < 12; ++t) {
    threads.emplace_back([&counter, t] {
      for (int i = 0; i < 10000; ++i) counter.Add(t % 3 + 1);
    });
  }
  for (auto& thread : threads) thread.join();
  // Four threads each of 1, 2 and 3 per add.
  EXPECT_EQ(counter.Value(), 4u * 10000u * (1 + 2 + 3));
}

TEST(MetricsTest, HistogramBucketsAreCumulativeWithTheRestInTheLast) {
  Histogram histogram({0.001, 0.005, 0.02});
  for (double value : {0.0005, 0.001, 0.003, 0.019, 0.5, 2.0}) histogram.Observe(value);
  const Histogram::Snapshot snapshot = histogram.Take();
  // An observation equal to a bound falls in that bound's bucket.
  EXPECT_EQ(snapshot.cumulative, (std::vector<uint64_t>{2, 3, 4, 6}));
  EXPECT_EQ(snapshot.count, 6u);
  EXPECT_NEAR(snapshot.sum, 0.0005 + 0.001 + 0.003 + 0.019 + 0.5 + 2.0, 1e-6);
}

TEST(MetricsTest, RegistryKeepsOrderAndForgetsRemovedEntries) {
  MetricRegistry& registry = MetricRegistry::Global();
  Counter a, b;
  const int first = registry.AddCounter("test_first_total", "first", {{"k", "1"}}, &a);
  const int gauge = registry.AddGauge("test_gauge", "gauge", {}, [] { return 7.5; });
  const int second = registry.AddCounter("test_first_total", "first", {{"k", "2"}}, &b);
  auto names = [&registry] {
    std::vector<int> ids;
    for (const auto& entry : registry.Entries()) {
      if (entry.name.rfind("test_", 0) == 0) ids.push_back(entry.id);
    }
    return ids;
  };
  EXPECT_EQ(names(), (std::vector<int>{first, gauge, second}));
  registry.Remove(gauge);
  EXPECT_EQ(names(), (std::vector<int>{first, second}));
  registry.Remove(first);
  registry.Remove(second);
  EXPECT_TRUE(names().empty());
}

}  // namespace
}  // namespace rtc
