#include "client/seq_tracker.h"

#include <algorithm>
#include <bit>

namespace corvanetools {

SeqTracker::Result SeqTracker::Add(uint32_t index) {
  if (index >= kMaxIndex) return Result::kRefused;
  const size_t word = index / 64;
  const uint64_t mask = uint64_t{1} << (index % 64);
  if (word >= bits_.size()) {
    // Grow geometrically so that a steady stream costs amortised O(1).
    bits_.resize(std::max(word + 1, bits_.size() * 2), 0);
  }
  if ((bits_[word] & mask) != 0) {
    ++duplicates_;
    return Result::kDuplicate;
  }
  bits_[word] |= mask;
  if (distinct_ == 0) {
    lowest_ = highest_ = index;
  } else {
    if (index < highest_) ++out_of_order_;
    lowest_ = std::min(lowest_, index);
    highest_ = std::max(highest_, index);
  }
  ++distinct_;
  return Result::kNew;
}

bool SeqTracker::Seen(uint32_t index) const {
  const size_t word = index / 64;
  if (word >= bits_.size()) return false;
  return (bits_[word] & (uint64_t{1} << (index % 64))) != 0;
}

uint64_t SeqTracker::CountInRange(uint32_t from, uint32_t to) const {
  const uint64_t limit = std::min<uint64_t>(to, uint64_t{bits_.size()} * 64);
  uint64_t count = 0;
  uint64_t i = from;
  // Leading partial word, whole words, trailing partial word.
  while (i < limit && i % 64 != 0) {
    if (Seen(static_cast<uint32_t>(i))) ++count;
    ++i;
  }
  while (i + 64 <= limit) {
    count += static_cast<uint64_t>(std::popcount(bits_[i / 64]));
    i += 64;
  }
  while (i < limit) {
    if (Seen(static_cast<uint32_t>(i))) ++count;
    ++i;
  }
  return count;
}

}  // namespace corvanetools
