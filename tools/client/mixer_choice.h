// Which frames a mixing room forwards: in each pass the mixer takes at most
// one frame per speaker, ranks them by priority mark, then level, then lower
// user id, and keeps the best two. With every speaker sending one frame per
// period in lockstep, each period's choice can be known in advance.
#ifndef TOOLS_CLIENT_MIXER_CHOICE_H_
#define TOOLS_CLIENT_MIXER_CHOICE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvanetools {

constexpr size_t kMixedFrames = 2;

struct FrameCandidate {
  uint64_t user_id = 0;
  uint8_t level = 0;
  bool priority = false;
};

// True when a ranks before b.
bool RanksBefore(const FrameCandidate& a, const FrameCandidate& b);

// The positions in `frames` of the frames kept, best first.
std::vector<size_t> ChooseFrames(const std::vector<FrameCandidate>& frames);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_MIXER_CHOICE_H_
