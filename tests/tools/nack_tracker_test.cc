#include "client/nack_tracker.h"

#include <vector>

#include <gtest/gtest.h>

namespace corvanetools {
namespace {

constexpr int64_t kRetryUs = 40000;

std::vector<std::pair<uint32_t, uint16_t>> Pairs(const std::vector<NackRequest>& requests) {
  std::vector<std::pair<uint32_t, uint16_t>> pairs;
  for (const NackRequest& r : requests) pairs.emplace_back(r.reference, r.mask);
  return pairs;
}

TEST(NackTrackerTest, NackBytes) {
  uint8_t out[kNackSize];
  ASSERT_EQ(BuildNack(0x01020304, 0x1112131415161718ull, 0x2122232425262728ull,
                      NackRequest{0x31323334, 0x4142}, out),
            28u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 28),
            (std::vector<uint8_t>{0x80, 0xCA, 1,    2,    3,    4,    0x11, 0x12, 0x13, 0x14,
                                  0x15, 0x16, 0x17, 0x18, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,
                                  0x27, 0x28, 0x31, 0x32, 0x33, 0x34, 0x41, 0x42}));
}

TEST(NackTrackerTest, PacksSixteenNumbersPerRequest) {
  EXPECT_TRUE(PackNackRequests({}).empty());
  EXPECT_EQ(Pairs(PackNackRequests({100})), (std::vector<std::pair<uint32_t, uint16_t>>{{99, 1}}));
  EXPECT_EQ(Pairs(PackNackRequests({100, 102, 115})),
            (std::vector<std::pair<uint32_t, uint16_t>>{{99, 0x8005}}));
  // 116 is the 17th number after 99: a second request.
  EXPECT_EQ(Pairs(PackNackRequests({100, 116, 117})),
            (std::vector<std::pair<uint32_t, uint16_t>>{{99, 1}, {115, 3}}));
  // Around the 32-bit wrap: reference 0xFFFFFFFF, bit 0 asks for 0.
  EXPECT_EQ(Pairs(PackNackRequests({0, 1})),
            (std::vector<std::pair<uint32_t, uint16_t>>{{0xFFFFFFFFu, 3}}));
}

TEST(NackTrackerTest, AsksForAGapAtOnceThenAtEachRetryUpToTheLimit) {
  NackTracker tracker(kRetryUs, 3);
  tracker.OnReceived(10);
  tracker.OnReceived(11);
  EXPECT_TRUE(tracker.TakeDue(0).empty());
  tracker.OnReceived(14);  // 12 and 13 are missing
  EXPECT_EQ(Pairs(tracker.TakeDue(1000)), (std::vector<std::pair<uint32_t, uint16_t>>{{11, 3}}));
  EXPECT_TRUE(tracker.TakeDue(1000 + kRetryUs - 1).empty());
  EXPECT_EQ(tracker.TakeDue(1000 + kRetryUs).size(), 1u);
  EXPECT_EQ(tracker.TakeDue(1000 + 2 * kRetryUs).size(), 1u);
  EXPECT_TRUE(tracker.TakeDue(1000 + 10 * kRetryUs).empty());  // asked three times
  EXPECT_EQ(tracker.asked(), 2u);
  EXPECT_EQ(tracker.missing(), 2u);
}

TEST(NackTrackerTest, CountsWhatArrivesAfterItWasAskedFor) {
  NackTracker tracker(kRetryUs, 5);
  tracker.OnReceived(1);
  tracker.OnReceived(5);  // 2, 3, 4 missing
  tracker.OnReceived(3);  // late, not asked yet: not a recovery
  EXPECT_EQ(Pairs(tracker.TakeDue(0)), (std::vector<std::pair<uint32_t, uint16_t>>{{1, 0x5}}));
  tracker.OnReceived(2);
  tracker.OnReceived(2);  // twice counts once
  EXPECT_EQ(tracker.recovered(), 1u);
  EXPECT_EQ(tracker.MissingNumbers(), (std::vector<uint32_t>{4}));
  EXPECT_EQ(Pairs(tracker.TakeDue(kRetryUs)), (std::vector<std::pair<uint32_t, uint16_t>>{{3, 1}}));
}

TEST(NackTrackerTest, AsksForTheTailOnceTheSenderIsKnownToHaveStopped) {
  NackTracker tracker(kRetryUs, 5);
  tracker.NoteSentBefore(50);  // nothing seen yet: nothing to base a gap on
  EXPECT_EQ(tracker.missing(), 0u);
  tracker.OnReceived(20);
  tracker.NoteSentBefore(21);
  EXPECT_EQ(tracker.missing(), 0u);
  tracker.NoteSentBefore(23);
  EXPECT_EQ(tracker.MissingNumbers(), (std::vector<uint32_t>{21, 22}));
  tracker.OnReceived(22);  // not asked yet
  EXPECT_EQ(tracker.MissingNumbers(), (std::vector<uint32_t>{21}));
}

TEST(NackTrackerTest, AKnownStartMakesTheFirstNumbersMissable) {
  NackTracker tracker(kRetryUs, 5);
  tracker.StartAt(7);
  tracker.OnReceived(9);
  EXPECT_EQ(tracker.MissingNumbers(), (std::vector<uint32_t>{7, 8}));
  tracker.StartAt(100);  // too late: already started
  tracker.OnReceived(10);
  EXPECT_EQ(tracker.missing(), 2u);
}

TEST(NackTrackerTest, AHugeJumpIsARestartNotALoss) {
  NackTracker tracker(kRetryUs, 5);
  tracker.OnReceived(10);
  tracker.OnReceived(10 + NackTracker::kMaxGap + 2);
  EXPECT_EQ(tracker.missing(), 0u);
  tracker.OnReceived(10 + NackTracker::kMaxGap + 4);
  EXPECT_EQ(tracker.missing(), 1u);
}

// A sender that restarts its numbers far below the highest seen is followed
// from its new numbers on; before, every number of the new run read as late.
TEST(NackTrackerTest, AHugeJumpBackIsARestartFollowedFromThere) {
  NackTracker tracker(kRetryUs, 5);
  tracker.OnReceived(1000000);
  tracker.OnReceived(1000002);  // 1000001 missing
  tracker.OnReceived(1);
  EXPECT_EQ(tracker.missing(), 0u);
  tracker.OnReceived(3);
  EXPECT_EQ(tracker.MissingNumbers(), (std::vector<uint32_t>{2}));
}

TEST(NackTrackerTest, AGapIsAskedForOnlyAfterTheWait) {
  NackTracker tracker(kRetryUs, 5, 20000);
  tracker.OnReceived(10);
  tracker.OnReceived(13);  // 11 and 12 missing
  EXPECT_TRUE(tracker.TakeDue(1000).empty());
  tracker.OnReceived(11);  // reordered: came within the wait, never asked for
  EXPECT_TRUE(tracker.TakeDue(20999).empty());
  EXPECT_EQ(Pairs(tracker.TakeDue(21000)).size(), 1u);
  EXPECT_EQ(tracker.asked(), 1u);
}

TEST(NackTrackerTest, SequenceNumbersWrap) {
  NackTracker tracker(kRetryUs, 5);
  tracker.OnReceived(0xFFFFFFFEu);
  tracker.OnReceived(1);  // 0xFFFFFFFF and 0 missing
  EXPECT_EQ(Pairs(tracker.TakeDue(0)).size(), 1u);
  EXPECT_EQ(tracker.missing(), 2u);
  tracker.OnReceived(0xFFFFFFFFu);
  tracker.OnReceived(0);
  EXPECT_EQ(tracker.recovered(), 2u);
}

}  // namespace
}  // namespace corvanetools
