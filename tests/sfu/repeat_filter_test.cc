#include "sfu/repeat_filter.h"

#include <gtest/gtest.h>

namespace corvaneserver {
namespace {

TEST(RepeatFilterTest, FirstOfferPassesAndEveryRepeatIsCaught) {
  RepeatFilter filter;
  for (uint32_t seq = 100; seq < 110; ++seq) EXPECT_TRUE(filter.Offer(seq)) << seq;
  for (uint32_t seq = 100; seq < 110; ++seq) EXPECT_FALSE(filter.Offer(seq)) << seq;
}

TEST(RepeatFilterTest, LateNumbersInsideTheWindowPassOnceAndSkippedSlotsAreFree) {
  RepeatFilter filter;
  EXPECT_TRUE(filter.Offer(5));
  // A jump forward frees the slots of the numbers skipped over, even those
  // that held a number one window ago.
  EXPECT_TRUE(filter.Offer(5 + kRepeatWindow - 1));
  EXPECT_TRUE(filter.Offer(6));
  EXPECT_FALSE(filter.Offer(6));
  EXPECT_TRUE(filter.Offer(7 + kRepeatWindow - 1));  // takes the slot of 6
  EXPECT_FALSE(filter.Offer(7 + kRepeatWindow - 1));
}

TEST(RepeatFilterTest, FollowsTheStreamAcrossTheWrapOfTheCounter) {
  RepeatFilter filter;
  for (uint32_t seq = 0xFFFFFFF0u; seq != 0x10u; ++seq) EXPECT_TRUE(filter.Offer(seq)) << seq;
  EXPECT_FALSE(filter.Offer(0xFFFFFFFFu));
  EXPECT_FALSE(filter.Offer(0x0u));
  EXPECT_TRUE(filter.Offer(0x10u));
}

TEST(RepeatFilterTest, ANumberFarBehindRestartsTheStream) {
  RepeatFilter filter;
  EXPECT_TRUE(filter.Offer(50000));
  EXPECT_TRUE(filter.Offer(1));  // a restarted sender
  EXPECT_FALSE(filter.Offer(1));
  EXPECT_TRUE(filter.Offer(2));
  // 50000 is now far ahead of the window: a jump, not a repeat.
  EXPECT_TRUE(filter.Offer(50000));
  EXPECT_FALSE(filter.Offer(50000));
}

}  // namespace
}  // namespace corvaneserver
