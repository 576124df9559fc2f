// The client's measurements: sequence tracking, latency percentiles and the
// summing up of a run.
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "client/latency_histogram.h"
#include "client/run_result.h"
#include "client/seq_tracker.h"

namespace corvanetools {
namespace {

TEST(SeqTrackerTest, CountsNewDuplicateAndOutOfOrder) {
  SeqTracker tracker;
  EXPECT_EQ(tracker.Add(0), SeqTracker::Result::kNew);
  EXPECT_EQ(tracker.Add(2), SeqTracker::Result::kNew);
  EXPECT_EQ(tracker.Add(1), SeqTracker::Result::kNew);  // late
  EXPECT_EQ(tracker.Add(2), SeqTracker::Result::kDuplicate);
  EXPECT_EQ(tracker.Add(5), SeqTracker::Result::kNew);
  EXPECT_EQ(tracker.distinct(), 4u);
  EXPECT_EQ(tracker.duplicates(), 1u);
  EXPECT_EQ(tracker.out_of_order(), 1u);
  EXPECT_EQ(tracker.lowest(), 0u);
  EXPECT_EQ(tracker.highest(), 5u);
  EXPECT_EQ(tracker.holes(), 2u);  // 3 and 4
}

TEST(SeqTrackerTest, ADuplicateIsNotAlsoOutOfOrder) {
  SeqTracker tracker;
  tracker.Add(10);
  tracker.Add(11);
  tracker.Add(10);
  EXPECT_EQ(tracker.duplicates(), 1u);
  EXPECT_EQ(tracker.out_of_order(), 0u);
}

TEST(SeqTrackerTest, CountInRangeAcrossWordBoundaries) {
  SeqTracker tracker;
  for (uint32_t i = 0; i < 300; ++i) {
    if (i % 7 != 0) tracker.Add(i);
  }
  auto reference = [](uint32_t from, uint32_t to) {
    uint64_t count = 0;
    for (uint32_t i = from; i < to && i < 300; ++i) count += (i % 7 != 0) ? 1 : 0;
    return count;
  };
  const uint32_t edges[] = {0, 1, 63, 64, 65, 127, 128, 129, 200, 299, 300, 1000};
  for (uint32_t from : edges) {
    for (uint32_t to : edges) {
      EXPECT_EQ(tracker.CountInRange(from, to), from < to ? reference(from, to) : 0)
          << from << ".." << to;
    }
  }
}

TEST(SeqTrackerTest, RefusesHugeIndices) {
  SeqTracker tracker;
  EXPECT_EQ(tracker.Add(SeqTracker::kMaxIndex), SeqTracker::Result::kRefused);
  EXPECT_EQ(tracker.Add(0xFFFFFFFFu), SeqTracker::Result::kRefused);
  EXPECT_TRUE(tracker.empty());
  EXPECT_EQ(tracker.holes(), 0u);
}

TEST(LatencyHistogramTest, ExactBelow128Microseconds) {
  for (uint64_t v = 0; v < 128; ++v) {
    EXPECT_EQ(LatencyHistogram::BucketOf(v), v);
    EXPECT_EQ(LatencyHistogram::ValueOf(v), v);
  }
}

TEST(LatencyHistogramTest, BucketsStayWithinOneSixtyFourthAndAreMonotonic) {
  size_t last = 0;
  for (uint64_t v = 128; v < 5000000; v = v * 1001 / 1000 + 1) {
    const size_t bucket = LatencyHistogram::BucketOf(v);
    EXPECT_GE(bucket, last);
    last = bucket;
    const double value = static_cast<double>(LatencyHistogram::ValueOf(bucket));
    EXPECT_LE(std::abs(value - static_cast<double>(v)), static_cast<double>(v) / 64.0) << v;
  }
  // The largest value still has a bucket.
  EXPECT_GT(LatencyHistogram::ValueOf(LatencyHistogram::BucketOf(~uint64_t{0} >> 1)), 0u);
}

TEST(LatencyHistogramTest, NearestRankPercentiles) {
  LatencyHistogram histogram;
  EXPECT_EQ(histogram.Percentile(50), 0);
  EXPECT_EQ(histogram.max_us(), 0);
  for (int v = 1; v <= 100; ++v) histogram.Add(v);
  EXPECT_EQ(histogram.count(), 100u);
  EXPECT_EQ(histogram.Percentile(50), 50);
  EXPECT_EQ(histogram.Percentile(99), 99);
  EXPECT_EQ(histogram.Percentile(100), 100);
  EXPECT_EQ(histogram.Percentile(1), 1);
  EXPECT_EQ(histogram.max_us(), 100);
}

TEST(LatencyHistogramTest, OneSlowOutlierShowsInMaxAndP99Only) {
  LatencyHistogram histogram;
  for (int i = 0; i < 99; ++i) histogram.Add(100);
  histogram.Add(250000);
  EXPECT_EQ(histogram.Percentile(50), 100);
  EXPECT_EQ(histogram.Percentile(99), 100);
  EXPECT_EQ(histogram.max_us(), 250000);
  EXPECT_NEAR(static_cast<double>(histogram.Percentile(100)), 250000.0, 250000.0 / 64);
}

TEST(LatencyHistogramTest, NegativeCountsAsZeroAndMergeAddsUp) {
  LatencyHistogram a;
  a.Add(-5);
  LatencyHistogram b;
  b.Add(7);
  b.Add(1000);
  a.Merge(b);
  EXPECT_EQ(a.count(), 3u);
  EXPECT_EQ(a.Percentile(1), 0);
  EXPECT_EQ(a.max_us(), 1000);
}

UserResult Receiver(const std::string& role, uint64_t expected, uint64_t received) {
  UserResult r;
  r.role = role;
  r.admitted = true;
  r.expected = expected;
  r.received = received;
  r.lost = expected - received;
  return r;
}

TEST(RunResultTest, ProblemsNameWhatWentWrong) {
  UserResult ok = Receiver("listener", 10, 10);
  EXPECT_EQ(FindProblem(ok), "");
  UserResult lossy = Receiver("listener", 10, 7);
  lossy.unexpected = 2;
  EXPECT_EQ(FindProblem(lossy), "lost 3; 2 unexpected");
  UserResult outside = Receiver("speaker", 0, 0);
  outside.admitted = false;
  EXPECT_EQ(FindProblem(outside), "not admitted");
  UserResult intruder = Receiver("listener", 0, 0);
  intruder.expects_admission = false;
  EXPECT_EQ(FindProblem(intruder), "admitted although it should be refused");
  intruder.admitted = false;
  EXPECT_EQ(FindProblem(intruder), "");  // refused, as it should be
}

TEST(RunResultTest, SummariseAddsUpPerRoleAndInTotal) {
  RunResult result;
  result.users.push_back(Receiver("listener", 100, 100));
  result.users.push_back(Receiver("listener", 100, 99));
  result.users.push_back(Receiver("speaker", 50, 50));
  result.users[0].room_id = 1;
  result.users[1].room_id = 1;
  result.users[2].room_id = 2;
  result.users[2].sent = 60;
  result.users[0].latency.Add(100);
  result.users[2].latency.Add(300);
  result.Summarise();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.rooms, 2u);
  EXPECT_EQ(result.total.expected, 250u);
  EXPECT_EQ(result.total.received, 249u);
  EXPECT_EQ(result.total.lost, 1u);
  EXPECT_EQ(result.total.sent, 60u);
  EXPECT_EQ(result.total.latency.count(), 2u);
  EXPECT_EQ(result.by_role.at("listener").lost, 1u);
  EXPECT_EQ(result.by_role.at("speaker").expected, 50u);
  EXPECT_EQ(result.users[1].problem, "lost 1");

  std::ostringstream json;
  PrintJson(result, json);
  EXPECT_NE(json.str().find("\"ok\":false"), std::string::npos);
  EXPECT_NE(json.str().find("\"lost\":1,"), std::string::npos);
  EXPECT_NE(json.str().find("\"problem\":\"lost 1\""), std::string::npos);
  EXPECT_EQ(json.str().back(), '\n');
  std::ostringstream table;
  PrintTable(result, 1, table);
  EXPECT_NE(table.str().find("FAILED"), std::string::npos);
  EXPECT_NE(table.str().find("2 more users"), std::string::npos);
}

TEST(RunResultTest, AllWellIsOk) {
  RunResult result;
  result.users.push_back(Receiver("listener", 10, 10));
  result.send_loop_cpu_s = 0.25;
  result.Summarise();
  EXPECT_TRUE(result.ok);
  std::ostringstream json;
  PrintJson(result, json);
  EXPECT_EQ(json.str().rfind("{\"ok\":true", 0), 0u);
  EXPECT_NE(json.str().find("\"threads\":1,\"send_loop_cpu_s\":0.250,\"receive_loop_cpu_s\":0.000"),
            std::string::npos);
}

}  // namespace
}  // namespace corvanetools
