#include "client/audio/jitter_buffer.h"

namespace corvanetools::audio {

JitterBuffer::Outcome JitterBuffer::Insert(uint32_t frame, const uint8_t* data, size_t size,
                                           int64_t arrival_us) {
  if (frames_.count(frame) != 0 || late_.count(frame) != 0) {
    ++duplicates_;
    return Outcome::kDuplicate;
  }
  if (!anchored_) {
    anchored_ = true;
    anchor_frame_ = frame;
    anchor_arrival_us_ = arrival_us;
  } else if (arrival_us > PlayoutTimeUs(frame)) {
    late_.insert(frame);
    return Outcome::kLate;
  }
  frames_.emplace(frame, std::vector<uint8_t>(data, data + size));
  return Outcome::kAccepted;
}

int64_t JitterBuffer::PlayoutTimeUs(uint32_t frame) const {
  const int64_t offset = static_cast<int64_t>(frame) - static_cast<int64_t>(anchor_frame_);
  return anchor_arrival_us_ + playout_delay_us_ + offset * kFrameUs;
}

}  // namespace corvanetools::audio
