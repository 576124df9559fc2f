// Which stream indices of one sender one receiver has seen: distinct
// receipts, duplicates and receipts that came after a higher index.
#ifndef TOOLS_CLIENT_SEQ_TRACKER_H_
#define TOOLS_CLIENT_SEQ_TRACKER_H_

#include <cstdint>
#include <vector>

namespace corvanetools {

class SeqTracker {
 public:
  // Indices at or above this are refused (a corrupt or foreign probe must not
  // make the bitmap huge): 2^26 is over 15 days at 50 datagrams per second.
  static constexpr uint32_t kMaxIndex = uint32_t{1} << 26;

  enum class Result { kNew, kDuplicate, kRefused };

  // Records one receipt. A new index that is lower than the highest seen so
  // far also counts as out of order.
  Result Add(uint32_t index);

  bool Seen(uint32_t index) const;
  // Distinct indices seen in [from, to).
  uint64_t CountInRange(uint32_t from, uint32_t to) const;
  uint64_t distinct() const { return distinct_; }
  uint64_t duplicates() const { return duplicates_; }
  uint64_t out_of_order() const { return out_of_order_; }
  bool empty() const { return distinct_ == 0; }
  // Only meaningful when not empty.
  uint32_t lowest() const { return lowest_; }
  uint32_t highest() const { return highest_; }
  // Indices missing between the lowest and the highest seen: losses so far,
  // not counting the tail that may still be in flight.
  uint64_t holes() const { return empty() ? 0 : (uint64_t{highest_} - lowest_ + 1) - distinct_; }

 private:
  std::vector<uint64_t> bits_;
  uint64_t distinct_ = 0;
  uint64_t duplicates_ = 0;
  uint64_t out_of_order_ = 0;
  uint32_t lowest_ = 0;
  uint32_t highest_ = 0;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_SEQ_TRACKER_H_
