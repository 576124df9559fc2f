// Lets a log line that a remote peer can trigger at will through at most once
// per period, and counts the lines it held back meanwhile.
#ifndef BASE_LOG_RATE_LIMITER_H_
#define BASE_LOG_RATE_LIMITER_H_

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>

#include "base/time_utils.h"

namespace rtc {

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

 private:
  const int64_t period_ms_;
  std::atomic<int64_t> next_allowed_ms_{std::numeric_limits<int64_t>::min()};
  std::atomic<uint64_t> suppressed_{0};
};

// " (N more since the last line)" when `suppressed` lines were held back,
// else nothing: the tail of a line that a LogRateLimiter let through.
inline std::string SuppressedSinceLastLine(uint64_t suppressed) {
  return suppressed == 0 ? std::string()
                         : " (" + std::to_string(suppressed) + " more since the last line)";
}

}  // namespace rtc

#endif  // BASE_LOG_RATE_LIMITER_H_
