#include "client/pass_phase.h"

#include <gtest/gtest.h>

namespace corvanetools {
namespace {

constexpr int64_t kPeriodUs = 20000;

TEST(PassPhaseTest, OnTimePassesHaveTheSpreadOfOneBucket) {
  PassPhase phase(kPeriodUs);
  EXPECT_EQ(phase.SpreadUs(99), 0);
  for (int i = 0; i < 100; ++i) phase.Add(7030 + i * kPeriodUs);
  EXPECT_EQ(phase.SpreadUs(99), 100);
}

TEST(PassPhaseTest, LatePassesWidenTheSpreadFromTheClusterStart) {
  PassPhase phase(kPeriodUs);
  for (int i = 0; i < 98; ++i) phase.Add(5000 + i * kPeriodUs);
  phase.Add(5000 + 1500 + 98 * kPeriodUs);  // 1.5 ms late
  phase.Add(5000 + 3000 + 99 * kPeriodUs);  // 3 ms late
  EXPECT_EQ(phase.SpreadUs(98), 100);
  EXPECT_EQ(phase.SpreadUs(99), 1600);
  EXPECT_EQ(phase.SpreadUs(100), 3100);
}

TEST(PassPhaseTest, AClusterAcrossThePeriodBoundaryIsOneCluster) {
  PassPhase phase(kPeriodUs);
  for (int i = 0; i < 50; ++i) phase.Add(19950 + i * kPeriodUs);  // just before the boundary
  for (int i = 0; i < 50; ++i) phase.Add(250 + i * kPeriodUs);    // just after
  EXPECT_EQ(phase.SpreadUs(100), 400);
}

TEST(PassPhaseTest, WhichPassTookAFrameDoesNotMatterOnlyWhenItRan) {
  PassPhase phase(kPeriodUs);
  // A frame that missed its pass arrives a whole period later, at the same phase.
  for (int i = 0; i < 10; ++i) phase.Add(4000 + (i % 2) * kPeriodUs + i * 3 * kPeriodUs);
  EXPECT_EQ(phase.SpreadUs(100), 100);
}

TEST(PassPhaseTest, MergeAddsTheArrivals) {
  PassPhase a(kPeriodUs);
  PassPhase b(kPeriodUs);
  a.Add(1000);
  b.Add(1500);
  a.Merge(b);
  EXPECT_EQ(a.count(), 2u);
  EXPECT_EQ(a.SpreadUs(100), 600);
}

}  // namespace
}  // namespace corvanetools
