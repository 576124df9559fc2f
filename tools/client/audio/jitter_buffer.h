// A fixed-delay playout buffer for one speaker's frames, keyed by frame
// number (one per 20 ms). The first frame that arrives anchors the playout
// clock: frame n plays at
//   anchor arrival + playout delay + (n - anchor frame) * 20 ms.
// A frame that arrives after its playout time is late: counted, and lost to
// the listener as if it never came. A second copy of a frame (accepted or
// late) changes nothing. The buffer only keeps the encoded frames; decoding
// walks it afterwards in frame order (see DecodeSpeaker).
#ifndef TOOLS_CLIENT_AUDIO_JITTER_BUFFER_H_
#define TOOLS_CLIENT_AUDIO_JITTER_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "client/audio/audio_format.h"

namespace corvanetools::audio {

class JitterBuffer {
 public:
  enum class Outcome { kAccepted, kLate, kDuplicate };

  explicit JitterBuffer(int64_t playout_delay_us) : playout_delay_us_(playout_delay_us) {}

  Outcome Insert(uint32_t frame, const uint8_t* data, size_t size, int64_t arrival_us);

  bool empty() const { return frames_.empty(); }
  // When `frame` plays (microseconds of the caller's clock); meaningful once
  // a frame has arrived.
  int64_t PlayoutTimeUs(uint32_t frame) const;
  // The accepted frames by number; from the first to the last, the numbers
  // missing are what the listener lost (late ones included).
  const std::map<uint32_t, std::vector<uint8_t>>& frames() const { return frames_; }
  uint64_t accepted() const { return frames_.size(); }
  uint64_t late() const { return late_.size(); }
  uint64_t duplicates() const { return duplicates_; }

 private:
  const int64_t playout_delay_us_;
  bool anchored_ = false;
  uint32_t anchor_frame_ = 0;
  int64_t anchor_arrival_us_ = 0;
  std::map<uint32_t, std::vector<uint8_t>> frames_;
  std::set<uint32_t> late_;
  uint64_t duplicates_ = 0;
};

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_JITTER_BUFFER_H_
