#include "sfu/repeat_filter.h"

namespace corvaneserver {

static_assert(kRepeatWindow % 64 == 0, "the window is whole words of bits");

bool RepeatFilter::Offer(uint32_t seq, int64_t now_ms) {
  if (!started_) {
    Restart(seq, now_ms);
    return true;
  }
  // Distance from the newest number, modulo 2^32, so the window follows the
  // stream across the wrap of the counter.
  const auto ahead = static_cast<int32_t>(seq - newest_);
  if (ahead > 0) {
    if (static_cast<uint32_t>(ahead) >= kRepeatWindow) {
      Restart(seq, now_ms);
      return true;
    }
    // The numbers skipped over take the places of the oldest ones.
    for (uint32_t s = newest_ + 1; s != seq; ++s) Unmark(s);
    newest_ = seq;
    newest_time_ms_ = now_ms;
    Mark(seq);
    return true;
  }
  if (static_cast<uint32_t>(-static_cast<int64_t>(ahead)) >= kRepeatWindow ||
      now_ms >= newest_time_ms_ + kRepeatMemoryMs) {
    Restart(seq, now_ms);
    return true;
  }
  if (Seen(seq)) return false;
  Mark(seq);
  return true;
}

void RepeatFilter::Restart(uint32_t seq, int64_t now_ms) {
  started_ = true;
  newest_ = seq;
  newest_time_ms_ = now_ms;
  seen_.fill(0);
  Mark(seq);
}

}  // namespace corvaneserver
