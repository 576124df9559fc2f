#include "base/time_utils.h"

#include <time.h>

#include <atomic>
#include <cassert>

#include "base/thread.h"

namespace rtc {
namespace {

// Microseconds of the fake clock; negative while no fake clock is installed.
std::atomic<int64_t> g_fake_time_us{-1};

int64_t RealMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

int64_t TimeMicros() {
  const int64_t fake = g_fake_time_us.load(std::memory_order_acquire);
  return fake >= 0 ? fake : RealMicros();
}

int64_t TimeMillis() { return TimeMicros() / 1000; }

bool IsFakeClockInstalled() { return g_fake_time_us.load(std::memory_order_acquire) >= 0; }

ScopedFakeClock::ScopedFakeClock() {
  assert(!IsFakeClockInstalled());
  g_fake_time_us.store(int64_t{1000} * 1000 * 1000, std::memory_order_release);
  Thread::WakeAllForClockChange();
}

ScopedFakeClock::~ScopedFakeClock() {
  g_fake_time_us.store(-1, std::memory_order_release);
  Thread::WakeAllForClockChange();
}

void ScopedFakeClock::AdvanceTime(int64_t delta_ms) {
  g_fake_time_us.fetch_add(delta_ms * 1000, std::memory_order_acq_rel);
  Thread::WakeAllForClockChange();
}

int64_t ScopedFakeClock::TimeMillis() const { return rtc::TimeMillis(); }

}  // namespace rtc
