// Monotonic time for every component, and a process-wide fake clock for tests.
#ifndef BASE_TIME_UTILS_H_
#define BASE_TIME_UTILS_H_

#include <cstdint>

namespace rtc {

// Monotonic milliseconds (CLOCK_MONOTONIC), or the fake clock's value while a
// ScopedFakeClock is alive. Every component reads time only through this call.
int64_t TimeMillis();

// Monotonic microseconds, for latency measurements only. Follows the fake clock too.
int64_t TimeMicros();

// Replaces the clock process-wide for its lifetime. Starts at 1000 s so that
// "time 0" never looks like a real stamp. Advancing it wakes every rtc::Thread
// so that delayed messages fall due without waiting in real time.
// Only one may exist at a time; create and destroy it on one thread.
class ScopedFakeClock {
 public:
  ScopedFakeClock();
  ~ScopedFakeClock();
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;

  // Safe to call from any thread.
  void AdvanceTime(int64_t delta_ms);
  int64_t TimeMillis() const;
};

// True while a ScopedFakeClock is installed.
bool IsFakeClockInstalled();

}  // namespace rtc

#endif  // BASE_TIME_UTILS_H_
