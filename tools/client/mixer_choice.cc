#include "client/mixer_choice.h"

#include <algorithm>
#include <numeric>

namespace corvanetools {

bool RanksBefore(const FrameCandidate& a, const FrameCandidate& b) {
  if (a.priority != b.priority) return a.priority;
  if (a.level != b.level) return a.level > b.level;
  return a.user_id < b.user_id;
}

std::vector<size_t> ChooseFrames(const std::vector<FrameCandidate>& frames) {
  std::vector<size_t> order(frames.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(),
            [&frames](size_t a, size_t b) { return RanksBefore(frames[a], frames[b]); });
  if (order.size() > kMixedFrames) order.resize(kMixedFrames);
  return order;
}

}  // namespace corvanetools
