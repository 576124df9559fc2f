#include "sfu/repeat_filter.h"

#include <gtest/gtest.h>

namespace corvaneserver {
namespace {

constexpr int64_t kNow = 5000;

TEST(RepeatFilterTest, FirstOfferPassesAndEveryRepeatIsCaught) {
  RepeatFilter filter;
  for (uint32_t seq = 100; seq < 110; ++seq) EXPECT_TRUE(filter.Offer(seq, kNow)) << seq;
  for (uint32_t seq = 100; seq < 110; ++seq) EXPECT_FALSE(filter.Offer(seq, kNow)) << seq;
}

TEST(RepeatFilterTest, LateNumbersInsideTheWindowPassOnceAndSkippedSlotsAreFree) {
  RepeatFilter filter;
  EXPECT_TRUE(filter.Offer(5, kNow));
  // A jump forward frees the slots of the numbers skipped over, even those
  // that held a number one window ago.
  EXPECT_TRUE(filter.Offer(5 + kRepeatWindow - 1, kNow));
  EXPECT_TRUE(filter.Offer(6, kNow));
  EXPECT_FALSE(filter.Offer(6, kNow));
  EXPECT_TRUE(filter.Offer(7 + kRepeatWindow - 1, kNow));  // takes the slot of 6
  EXPECT_FALSE(filter.Offer(7 + kRepeatWindow - 1, kNow));
}

TEST(RepeatFilterTest, FollowsTheStreamAcrossTheWrapOfTheCounter) {
  RepeatFilter filter;
  for (uint32_t seq = 0xFFFFFFF0u; seq != 0x10u; ++seq) EXPECT_TRUE(filter.Offer(seq, kNow)) << seq;
  EXPECT_FALSE(filter.Offer(0xFFFFFFFFu, kNow));
  EXPECT_FALSE(filter.Offer(0x0u, kNow));
  EXPECT_TRUE(filter.Offer(0x10u, kNow));
}

TEST(RepeatFilterTest, ANumberFarBehindRestartsTheStream) {
  RepeatFilter filter;
  EXPECT_TRUE(filter.Offer(50000, kNow));
  EXPECT_TRUE(filter.Offer(1, kNow));  // a restarted sender
  EXPECT_FALSE(filter.Offer(1, kNow));
  EXPECT_TRUE(filter.Offer(2, kNow));
  // 50000 is now far ahead of the window: a jump, not a repeat.
  EXPECT_TRUE(filter.Offer(50000, kNow));
  EXPECT_FALSE(filter.Offer(50000, kNow));
}

TEST(RepeatFilterTest, ANumberBehindAStreamThatStoppedMovingRestartsIt) {
  RepeatFilter filter;
  for (uint32_t seq = 1; seq <= 150; ++seq) EXPECT_TRUE(filter.Offer(seq, kNow));
  // Copies come round within the memory...
  EXPECT_FALSE(filter.Offer(1, kNow + kRepeatMemoryMs - 1));
  // ...a sender that starts again from 1 after it is not a copy.
  EXPECT_TRUE(filter.Offer(1, kNow + kRepeatMemoryMs));
  EXPECT_TRUE(filter.Offer(2, kNow + kRepeatMemoryMs));
  EXPECT_FALSE(filter.Offer(2, kNow + kRepeatMemoryMs));
}

}  // namespace
}  // namespace corvaneserver
