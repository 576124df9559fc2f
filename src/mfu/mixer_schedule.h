// When a room's mixer passes run (every 20 ms, lost time not made up), and
// how late they start.
#ifndef MFU_MIXER_SCHEDULE_H_
#define MFU_MIXER_SCHEDULE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace corvaneserver {

constexpr int64_t kMixerPeriodMs = 20;
constexpr int64_t kMixerPeriodUs = kMixerPeriodMs * 1000;

// The due time of the pass after one that was due at `due_us`, started at
// `start_us` and ended at `end_us`. On time, passes keep to the 20 ms steps
// from the first one; a pass that started a whole period late re-bases the
// steps on its start, so the passes missed are not made up; a pass that ran
// past the next due time is followed by the next one at once.
inline int64_t NextPassDue(int64_t due_us, int64_t start_us, int64_t end_us) {
  int64_t next = due_us + kMixerPeriodUs;
  if (next <= start_us) next = start_us + kMixerPeriodUs;
  return next > end_us ? next : end_us;
}

// A histogram of pass lateness (start minus due time), cheap enough to feed
// on every pass: one relaxed atomic increment. Safe from any thread.
class PassLateness {
 public:
  // Width of one bucket, and the number of buckets; later starts land in the last.
  static constexpr int64_t kBucketUs = 100;
  static constexpr size_t kBuckets = 501;

  PassLateness() = default;
  PassLateness(const PassLateness&) = delete;
  PassLateness& operator=(const PassLateness&) = delete;

  // A negative lateness (a pass taken early) counts as 0.
  void Record(int64_t lateness_us);
  uint64_t Count() const;
  // The upper bound of the bucket that holds the given fraction (0 to 1) of
  // all passes recorded; 0 when none was.
  int64_t PercentileUs(double fraction) const;
  void Reset();

 private:
  std::array<std::atomic<uint64_t>, kBuckets> buckets_{};
};

}  // namespace corvaneserver

#endif  // MFU_MIXER_SCHEDULE_H_
