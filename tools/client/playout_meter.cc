#include "client/playout_meter.h"

namespace corvanetools {

namespace {
// Beyond this a stream index is taken for garbage, not a frame to remember.
constexpr uint32_t kMaxIndex = 1u << 24;
}  // namespace

void PlayoutMeter::Arrived(uint32_t index, Via via, int64_t send_us, int64_t now_us) {
  if (index >= kMaxIndex || via == Via::kNone) return;
  if (state_.size() <= index) state_.resize(index + 1, 0);
  if (state_[index] != 0) return;
  state_[index] = static_cast<uint8_t>(via) | (now_us - send_us > playout_us_ ? kLate : 0);
}

bool PlayoutMeter::Has(uint32_t index) const { return index < state_.size() && state_[index] != 0; }

void PlayoutMeter::Counts::Add(const Counts& o) {
  expected += o.expected;
  played += o.played;
  by_fec += o.by_fec;
  by_nack += o.by_nack;
  late += o.late;
  lost += o.lost;
  runs += o.runs;
}

PlayoutMeter::Counts PlayoutMeter::Count(uint32_t from, uint32_t to) const {
  Counts counts;
  bool in_run = false;
  for (uint32_t index = from; index < to; ++index) CountFrame(index, &counts, &in_run);
  return counts;
}

void PlayoutMeter::CountFrame(uint32_t index, Counts* out, bool* in_run) const {
  Counts& counts = *out;
  {
    ++counts.expected;
    const uint8_t state = index < state_.size() ? state_[index] : 0;
    const Via via = static_cast<Via>(state & ~kLate);
    bool played = false;
    if (via == Via::kNone) {
      ++counts.lost;
    } else if ((state & kLate) != 0) {
      ++counts.late;
    } else {
      ++counts.played;
      played = true;
    }
    if (via == Via::kFec) ++counts.by_fec;
    if (via == Via::kNack) ++counts.by_nack;
    if (!played && !*in_run) ++counts.runs;
    *in_run = !played;
  }
}

}  // namespace corvanetools
