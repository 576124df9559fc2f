// The one audio format the client speaks and hears: 48 kHz mono in 20 ms
// frames, samples as floats in [-1, 1] (full scale of 16-bit PCM).
#ifndef TOOLS_CLIENT_AUDIO_AUDIO_FORMAT_H_
#define TOOLS_CLIENT_AUDIO_AUDIO_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace corvanetools::audio {

constexpr int kSampleRate = 48000;
constexpr int kFrameMs = 20;
constexpr size_t kFrameSamples = kSampleRate / 1000 * kFrameMs;  // 960
constexpr int64_t kFrameUs = int64_t{kFrameMs} * 1000;

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_AUDIO_FORMAT_H_
