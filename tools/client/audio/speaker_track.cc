#include "client/audio/speaker_track.h"

#include <algorithm>

namespace corvanetools::audio {

SpeakerTrack DecodeSpeaker(const JitterBuffer& buffer, OpusFrameDecoder* decoder) {
  SpeakerTrack track;
  const auto& frames = buffer.frames();
  if (frames.empty()) return track;
  track.first_frame = frames.begin()->first;
  const uint32_t last = frames.rbegin()->first;
  track.samples.assign((static_cast<size_t>(last - track.first_frame) + 1) * kFrameSamples, 0.0f);
  decoder->Reset();
  int missing_run = 0;
  auto next = frames.begin();
  for (uint32_t frame = track.first_frame;; ++frame) {
    float* out =
        track.samples.data() + static_cast<size_t>(frame - track.first_frame) * kFrameSamples;
    if (next != frames.end() && next->first == frame) {
      if (missing_run > kMaxConcealedFrames) decoder->Reset();
      missing_run = 0;
      if (decoder->Decode(next->second.data(), next->second.size(), out)) {
        ++track.decoded;
      } else {
        ++track.corrupt;
      }
      ++next;
    } else if (++missing_run <= kMaxConcealedFrames) {
      decoder->Conceal(out);
      ++track.concealed;
    } else {
      ++track.silenced;  // already zero
    }
    if (frame == last) break;
  }
  return track;
}

void MixInto(const std::vector<float>& track, int64_t at, std::vector<float>* mix) {
  const int64_t skip = at < 0 ? -at : 0;
  if (skip >= static_cast<int64_t>(track.size())) return;
  const size_t start = static_cast<size_t>(at + skip);
  const size_t count = track.size() - static_cast<size_t>(skip);
  if (mix->size() < start + count) mix->resize(start + count, 0.0f);
  for (size_t i = 0; i < count; ++i) (*mix)[start + i] += track[static_cast<size_t>(skip) + i];
}

}  // namespace corvanetools::audio
