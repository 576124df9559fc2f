#include "base/log_rate_limiter.h"

#include <gtest/gtest.h>

#include "base/time_utils.h"

#include "support/log_capture.h"

namespace rtc {
namespace {

class LogRateLimiterTest : public ::testing::Test {
 protected:
  ScopedFakeClock clock_;
  testutil::LogCapture log_;
  LogRateLimiter limiter_{kPeerLogIntervalMs};
};

TEST_F(LogRateLimiterTest, FirstLineHasNoTail) {
  RTC_LOG_LIMITED(LS_WARNING, limiter_) << "drop [" << 1 << "]";
  ASSERT_EQ(log_.Lines("drop [").size(), 1u);
  EXPECT_EQ(log_.Count("drop [1]\n"), 1u);
  EXPECT_EQ(log_.Count("more since the last line"), 0u);
}

TEST_F(LogRateLimiterTest, HeldBackLinesAreNotFormattedAndCountedOnTheNext) {
  RTC_LOG_LIMITED(LS_WARNING, limiter_) << "drop";
  int formatted = 0;
  for (int i = 0; i < 3; ++i) RTC_LOG_LIMITED(LS_WARNING, limiter_) << "drop" << ++formatted;
  EXPECT_EQ(formatted, 0);
  EXPECT_EQ(log_.Count("drop"), 1u);

  clock_.AdvanceTime(kPeerLogIntervalMs);
  RTC_LOG_LIMITED(LS_WARNING, limiter_) << "drop again";
  EXPECT_EQ(log_.Count("drop again (3 more since the last line)\n"), 1u);
}

TEST_F(LogRateLimiterTest, HoldBackCountsEventsALineDoesNotName) {
  limiter_.HoldBack(4);
  RTC_LOG_LIMITED(LS_INFO, limiter_) << "remove";
  EXPECT_EQ(log_.Count("remove (4 more since the last line)"), 1u);
}

TEST_F(LogRateLimiterTest, IsOneStatementUnderAnIfWithoutBraces) {
  bool other_branch = false;
  if (other_branch)
    RTC_LOG_LIMITED(LS_ERROR, limiter_) << "never";
  else
    other_branch = true;
  EXPECT_TRUE(other_branch);
  EXPECT_EQ(log_.Count("never"), 0u);
}

}  // namespace
}  // namespace rtc
