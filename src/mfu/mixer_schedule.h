// When a room's mixer passes run, and how late they start: a pass is due every
// 20 ms after the previous one was due; a pass that starts after the next due
// time has gone is followed by the next one at once, and the time lost is not
// made up.
#ifndef MFU_MIXER_SCHEDULE_H_
#define MFU_MIXER_SCHEDULE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace corvaneserver {

constexpr int64_t kMixerPeriodMs = 20;
constexpr int64_t kMixerPeriodUs = kMixerPeriodMs * 1000;

// The due time of the pass after one that was due at `due_us`, given the time
// `now_us` at which that pass ended.
inline int64_t NextPassDue(int64_t due_us, int64_t now_us) {
  const int64_t next = due_us + kMixerPeriodUs;
  return next > now_us ? next : now_us;
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
