// Lets a log line that a remote peer can trigger at will through at most once
// per period, and counts the lines it held back meanwhile.
#ifndef BASE_LOG_RATE_LIMITER_H_
#define BASE_LOG_RATE_LIMITER_H_

#include <atomic>
#include <cstdint>
#include <limits>

#include "base/logging.h"
#include "base/time_utils.h"

namespace rtc {

// The period of a line a remote peer can trigger at will (bad input, floods):
// at most one such line per 10 s for each limiter.
constexpr int64_t kPeerLogIntervalMs = 10000;

class LogRateLimiter {
 public:
  explicit LogRateLimiter(int64_t period_ms = 1000) : period_ms_(period_ms) {}
  LogRateLimiter(const LogRateLimiter&) = delete;
  LogRateLimiter& operator=(const LogRateLimiter&) = delete;

  // True when a line may be written now; then *suppressed is the number of
  // lines held back since the last one that was let through.
  // Safe to call from any thread.
  bool Allow(uint64_t* suppressed) {
    const int64_t now = rtc::TimeMillis();
    int64_t next = next_allowed_ms_.load(std::memory_order_relaxed);
    if (now < next || !next_allowed_ms_.compare_exchange_strong(next, now + period_ms_,
                                                                std::memory_order_relaxed)) {
      suppressed_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    *suppressed = suppressed_.exchange(0, std::memory_order_relaxed);
    return true;
  }

  // Counts `count` lines as held back without asking to write one: for a line
  // that stands for several events, so that the next line let through counts
  // the events it does not name.
  void HoldBack(uint64_t count) { suppressed_.fetch_add(count, std::memory_order_relaxed); }

 private:
  const int64_t period_ms_;
  std::atomic<int64_t> next_allowed_ms_{std::numeric_limits<int64_t>::min()};
  std::atomic<uint64_t> suppressed_{0};
};

namespace log_internal {

// One line let through by a LogRateLimiter: once everything has been streamed
// into it, it appends " (N more since the last line)" when N lines were held
// back, else nothing, and hands the line to the sinks.
class LimitedLine {
 public:
  LimitedLine(const char* file, int line, LoggingSeverity sev, uint64_t held_back)
      : message_(file, line, sev), held_back_(held_back) {}
  ~LimitedLine() {
    if (held_back_ != 0) message_.stream() << " (" << held_back_ << " more since the last line)";
  }
  LimitedLine(const LimitedLine&) = delete;
  LimitedLine& operator=(const LimitedLine&) = delete;

  std::ostream& stream() { return message_.stream(); }

 private:
  LogMessage message_;
  const uint64_t held_back_;
};

}  // namespace log_internal
}  // namespace rtc

// Streams like RTC_LOG(sev) when `limiter` (a LogRateLimiter) lets the line
// through, and then ends it with the count of lines held back since the last
// one; otherwise nothing after it is evaluated. A single statement, safe as the
// body of an if without braces:
//   RTC_LOG_LIMITED(LS_ERROR, short_packet_log_) << "drop datagram from [" << from << "]";
#define RTC_LOG_LIMITED(sev, limiter)                                                    \
  for (uint64_t rtc_held_back_ = 0, rtc_let_through_ = (limiter).Allow(&rtc_held_back_); \
       rtc_let_through_ != 0; rtc_let_through_ = 0)                                      \
  !rtc::LogMessage::IsLoggable(rtc::sev)                                                 \
      ? (void)0                                                                          \
      : rtc::LogMessageVoidify() &                                                       \
            rtc::log_internal::LimitedLine(__FILE__, __LINE__, rtc::sev, rtc_held_back_).stream()

#endif  // BASE_LOG_RATE_LIMITER_H_
