// When in its period a mixing room's frames reach a receiver. The mixer sends
// in passes on a fixed period, so every frame arrives at the same phase but for
// the pass starting late (and delivery jitter): the spread of the arrival
// phase bounds, from above, how late the passes start.
#ifndef TOOLS_CLIENT_PASS_PHASE_H_
#define TOOLS_CLIENT_PASS_PHASE_H_

#include <cstdint>
#include <vector>

namespace corvanetools {

class PassPhase {
 public:
  static constexpr int64_t kBucketUs = 100;

  explicit PassPhase(int64_t period_us);

  // A frame arrived at this time (any fixed origin).
  void Add(int64_t arrival_us);
  uint64_t count() const { return count_; }

  // How far after the start of the arrival cluster `percent` of the arrivals
  // lie, in microseconds (bucket resolution). The cluster starts after the
  // longest run of phases at which nothing arrived. 0 when nothing arrived.
  int64_t SpreadUs(double percent) const;
  void Merge(const PassPhase& other);

 private:
  int64_t period_us_;
  std::vector<uint64_t> buckets_;
  uint64_t count_ = 0;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_PASS_PHASE_H_
