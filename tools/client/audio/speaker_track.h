// What a listener plays of one speaker: the jitter buffer's frames decoded in
// frame order, lost frames concealed by Opus packet-loss concealment. After
// kMaxConcealedFrames missing in a row the speaker is taken to have stopped
// (or, behind a mixing server, not to have been chosen): the rest of the gap
// is silence and the decoder starts afresh at the next frame.
#ifndef TOOLS_CLIENT_AUDIO_SPEAKER_TRACK_H_
#define TOOLS_CLIENT_AUDIO_SPEAKER_TRACK_H_

#include <cstdint>
#include <vector>

#include "client/audio/jitter_buffer.h"
#include "client/audio/opus_codec.h"

namespace corvanetools::audio {

// 100 ms: Opus concealment has faded to near silence by then anyway.
constexpr int kMaxConcealedFrames = 5;

struct SpeakerTrack {
  uint32_t first_frame = 0;  // samples[0] is the first sample of this frame
  std::vector<float> samples;
  uint64_t decoded = 0;
  uint64_t concealed = 0;  // missing frames filled by concealment
  uint64_t silenced = 0;   // missing frames past the concealment limit
  uint64_t corrupt = 0;    // frames the decoder refused (played as silence)
};

// Decodes the buffer's frames from its first to its last; an empty track
// for an empty buffer.
SpeakerTrack DecodeSpeaker(const JitterBuffer& buffer, OpusFrameDecoder* decoder);

// Adds `track` into `mix` starting at sample `at` (negative: the track's head
// is cut), growing `mix` as needed.
void MixInto(const std::vector<float>& track, int64_t at, std::vector<float>* mix);

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_SPEAKER_TRACK_H_
