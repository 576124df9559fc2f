// The network conditions corvane-client imposes: seeded, with the burst
// lengths, orders and releases they promise.
#include "client/impairment.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace corvanetools {
namespace {

constexpr int64_t kStart = 1000000;
constexpr int64_t kPeriodUs = 20000;

NetworkConditions Parse(const std::string& text) {
  NetworkConditions conditions;
  std::string error;
  EXPECT_TRUE(ParseNetworkConditions(text, &conditions, &error)) << error;
  return conditions;
}

// Who is lost among `count` datagrams sent every 20 ms.
std::vector<bool> Losses(const NetworkConditions& conditions, uint64_t seed, int count) {
  Impairment impairment(conditions, seed, kStart);
  std::vector<bool> lost;
  for (int i = 0; i < count; ++i)
    lost.push_back(impairment.Decide(kStart + i * kPeriodUs).copies == 0);
  return lost;
}

TEST(ImpairmentTest, TheSameSeedGivesTheSamePatternAndAnotherSeedAnother) {
  const NetworkConditions conditions = Parse("loss=5,burst=3:3");
  EXPECT_EQ(Losses(conditions, 7, 2000), Losses(conditions, 7, 2000));
  EXPECT_NE(Losses(conditions, 7, 2000), Losses(conditions, 8, 2000));
}

TEST(ImpairmentTest, GilbertElliottKeepsTheLossRateAndTheMeanBurstLength) {
  const std::vector<bool> lost = Losses(Parse("burst=3:3"), 42, 200000);
  uint64_t losses = 0;
  uint64_t bursts = 0;
  for (size_t i = 0; i < lost.size(); ++i) {
    losses += lost[i] ? 1 : 0;
    if (lost[i] && (i == 0 || !lost[i - 1])) ++bursts;
  }
  EXPECT_NEAR(100.0 * static_cast<double>(losses) / static_cast<double>(lost.size()), 3.0, 0.3);
  EXPECT_NEAR(static_cast<double>(losses) / static_cast<double>(bursts), 3.0, 0.2);
}

TEST(ImpairmentTest, RandomLossHasBurstsOfAboutOne) {
  const std::vector<bool> lost = Losses(Parse("loss=1"), 3, 200000);
  uint64_t losses = 0;
  uint64_t bursts = 0;
  for (size_t i = 0; i < lost.size(); ++i) {
    losses += lost[i] ? 1 : 0;
    if (lost[i] && (i == 0 || !lost[i - 1])) ++bursts;
  }
  EXPECT_NEAR(100.0 * static_cast<double>(losses) / static_cast<double>(lost.size()), 1.0, 0.1);
  EXPECT_LT(static_cast<double>(losses) / static_cast<double>(bursts), 1.05);
}

// Release times of datagrams sent every 20 ms with 40 ms of jitter.
std::vector<int64_t> Releases(const std::string& text, int count) {
  Impairment impairment(Parse(text), 5, kStart);
  std::vector<int64_t> releases;
  for (int i = 0; i < count; ++i) {
    const int64_t now = kStart + i * kPeriodUs;
    const Impairment::Verdict verdict = impairment.Decide(now);
    EXPECT_EQ(verdict.copies, 1);
    EXPECT_GE(verdict.release_us[0], now + 10000);
    EXPECT_LE(verdict.release_us[0], now + 10000 + 40000);
    releases.push_back(verdict.release_us[0]);
  }
  return releases;
}

TEST(ImpairmentTest, JitterReordersOnlyWhenAskedTo) {
  int overtaken = 0;
  const std::vector<int64_t> reordering = Releases("delay=10,jitter=40,reorder", 1000);
  for (size_t i = 1; i < reordering.size(); ++i) overtaken += reordering[i] < reordering[i - 1];
  EXPECT_GT(overtaken, 100);
  const std::vector<int64_t> in_order = Releases("delay=10,jitter=40", 1000);
  for (size_t i = 1; i < in_order.size(); ++i) EXPECT_GE(in_order[i], in_order[i - 1]) << i;
}

TEST(ImpairmentTest, AStallHoldsEverythingAndReleasesItAtOnce) {
  // 500 ms every 10 s, the first 5 s after the start.
  Impairment impairment(Parse("stall=500/10000"), 1, kStart);
  const int64_t stall = kStart + 5000000;
  EXPECT_EQ(impairment.Decide(stall - 1).release_us[0], stall - 1);
  for (int64_t at = stall; at < stall + 500000; at += kPeriodUs) {
    EXPECT_EQ(impairment.Decide(at).release_us[0], stall + 500000) << at - stall;
  }
  EXPECT_EQ(impairment.Decide(stall + 500000).release_us[0], stall + 500000);
  EXPECT_EQ(impairment.Decide(stall + 600000).release_us[0], stall + 600000);
  // The next one, 10 s later.
  EXPECT_EQ(impairment.Decide(stall + 10000000 + 1).release_us[0], stall + 10500000);
}

TEST(ImpairmentTest, DuplicatesComeTwice) {
  Impairment impairment(Parse("dup=50"), 9, kStart);
  int twice = 0;
  for (int i = 0; i < 1000; ++i) twice += impairment.Decide(kStart + i).copies == 2;
  EXPECT_NEAR(twice, 500, 60);
  EXPECT_EQ(impairment.duplicated(), static_cast<uint64_t>(twice));
}

TEST(ImpairmentTest, ConditionsParseAndPrintAndBadOnesAreRefused) {
  EXPECT_EQ(Parse("loss=1,burst=3:3,delay=20,jitter=10,reorder,dup=1,stall=500/10000").ToString(),
            "loss=1,burst=3:3,delay=20,jitter=10,reorder,dup=1,stall=500/10000");
  EXPECT_FALSE(Parse("none").Any());
  NetworkConditions conditions;
  std::string error;
  for (const char* bad : {"loss=101", "burst=3", "burst=3:0.5", "stall=500", "stall=600/500",
                          "jitter=-1", "fast", "reorder=1"}) {
    EXPECT_FALSE(ParseNetworkConditions(bad, &conditions, &error)) << bad;
  }
}

TEST(ImpairmentTest, PresetsByName) {
  ImpairmentPreset preset;
  ASSERT_TRUE(FindImpairmentPreset("wifi", &preset));
  EXPECT_EQ(preset.uplink.ToString(), "loss=1,jitter=10");
  EXPECT_EQ(preset.downlink.ToString(), "loss=1,jitter=10");
  ASSERT_TRUE(FindImpairmentPreset("cellular", &preset));
  EXPECT_EQ(preset.uplink.ToString(), "burst=3:3,jitter=40,reorder");
  ASSERT_TRUE(FindImpairmentPreset("stall", &preset));
  EXPECT_EQ(preset.uplink.ToString(), "stall=500/10000");
  EXPECT_FALSE(preset.downlink.Any());
  ASSERT_TRUE(FindImpairmentPreset("restart", &preset));
  EXPECT_TRUE(preset.restart);
  EXPECT_FALSE(FindImpairmentPreset("satellite", &preset));
}

TEST(DelayLineTest, ReleasesByTimeThenInTheOrderHeld) {
  DelayLine line;
  const sockaddr_in to{};
  const uint8_t a = 1, b = 2, c = 3;
  line.Hold(200, 0, to, &a, 1);
  line.Hold(100, 0, to, &b, 1);
  line.Hold(200, 0, to, &c, 1);
  DelayLine::Held held;
  EXPECT_FALSE(line.PopDue(99, &held));
  EXPECT_EQ(line.NextRelease(), 100);
  std::vector<uint8_t> order;
  while (line.PopDue(200, &held)) order.push_back(held.bytes[0]);
  EXPECT_EQ(order, (std::vector<uint8_t>{2, 1, 3}));
  EXPECT_TRUE(line.Empty());
}

}  // namespace
}  // namespace corvanetools
