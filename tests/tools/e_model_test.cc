// The E-model estimate and what a receiver could play.
#include "client/e_model.h"

#include <cmath>

#include <gtest/gtest.h>

#include "client/playout_meter.h"

namespace corvanetools {
namespace {

TEST(EModelTest, NoLossAndShortDelayGiveTheDefaultRating) {
  EXPECT_DOUBLE_EQ(RFactor(50, 0, 1), 93.2);
  EXPECT_NEAR(MosFromR(93.2), 4.41, 0.01);
}

TEST(EModelTest, DelayCountsFromOneHundredMilliseconds) {
  EXPECT_EQ(DelayImpairment(100), 0);
  // Idd worked by hand at Ta = 200 ms (X = 1) and 400 ms (X = 2).
  EXPECT_NEAR(DelayImpairment(200),
              25 * (std::pow(2.0, 1.0 / 6) - 3 * std::pow(1 + 1.0 / 729, 1.0 / 6) + 2), 1e-9);
  EXPECT_NEAR(DelayImpairment(200), 3.04, 0.01);
  EXPECT_NEAR(DelayImpairment(400), 24.07, 0.01);
}

TEST(EModelTest, LossImpairsByTheCodecsRobustnessAndBurstsWeighMore) {
  // Ie_eff = 95 Ppl / (Ppl + 25.1) for random loss.
  EXPECT_NEAR(EffectiveEquipmentImpairment(1, 1), 95.0 / 26.1, 1e-9);
  EXPECT_NEAR(EffectiveEquipmentImpairment(5, 1), 95.0 * 5 / 30.1, 1e-9);
  EXPECT_GT(EffectiveEquipmentImpairment(5, 3), EffectiveEquipmentImpairment(5, 1));
  // R = 93.2 - 15.78 = 77.42.
  EXPECT_NEAR(MosFromR(RFactor(50, 5, 1)), 3.92, 0.01);
}

TEST(EModelTest, MosIsClampedAtTheEnds) {
  EXPECT_EQ(MosFromR(-5), 1);
  EXPECT_EQ(MosFromR(120), 4.5);
}

TEST(EModelTest, BurstRatioOfRandomAndBurstyLoss) {
  EXPECT_EQ(BurstRatio(0, 0, 100), 1);
  // 10 of 1000 lost one by one: about 1.
  EXPECT_EQ(BurstRatio(10, 10, 1000), 1);
  // 30 of 1000 in runs of 3: 3 * 0.97.
  EXPECT_NEAR(BurstRatio(30, 10, 1000), 2.91, 1e-9);
}

TEST(PlayoutMeterTest, CountsHowEachFrameCameAndWhetherInTime) {
  PlayoutMeter meter(150000);
  meter.Arrived(0, PlayoutMeter::Via::kDirect, 0, 40000);
  meter.Arrived(1, PlayoutMeter::Via::kFec, 20000, 100000);
  meter.Arrived(2, PlayoutMeter::Via::kNack, 40000, 150000);
  meter.Arrived(3, PlayoutMeter::Via::kDirect, 60000, 260000);  // 200 ms: too late
  meter.Arrived(1, PlayoutMeter::Via::kNack, 20000, 30000);     // came before: no change
  // 4 and 5 never come.
  const PlayoutMeter::Counts counts = meter.Count(0, 6);
  EXPECT_EQ(counts.expected, 6u);
  EXPECT_EQ(counts.played, 3u);
  EXPECT_EQ(counts.by_fec, 1u);
  EXPECT_EQ(counts.by_nack, 1u);
  EXPECT_EQ(counts.late, 1u);
  EXPECT_EQ(counts.lost, 2u);
  EXPECT_EQ(counts.runs, 1u);  // 3, 4 and 5 in one run
}

}  // namespace
}  // namespace corvanetools
