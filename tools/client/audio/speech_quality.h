// How much of a speaker's speech reached a listener, measured against the
// source. The decoded speech is first aligned with the source: the lag
// within +-max_lag_samples that maximises their cross-correlation, found at
// 12 kHz and refined at 48 kHz (it absorbs the codec's look-ahead). Then:
//
//   correlation  the Pearson correlation of the source and the aligned
//                decoded speech over the source's whole length: 1 for the
//                same waveform, about 0 when nothing of it came through.
//                Opus at 24 kb/s on clean speech keeps it near 0.9; every
//                lost or concealed 20 ms of speech takes its share off.
//   coverage     the share of the source's active 20 ms frames (within 40 dB
//                of its loudest frame and above -60 dBov) whose decoded frame
//                is at most 10 dB quieter: the share of the speech a person
//                hears at all, however distorted.
#ifndef TOOLS_CLIENT_AUDIO_SPEECH_QUALITY_H_
#define TOOLS_CLIENT_AUDIO_SPEECH_QUALITY_H_

#include <vector>

namespace corvanetools::audio {

struct SpeechScore {
  double correlation = 0;
  double coverage = 0;
  int lag_samples = 0;  // decoded[i + lag] lines up with source[i]
};

SpeechScore MeasureSpeech(const std::vector<float>& source, const std::vector<float>& decoded,
                          int max_lag_samples);

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_SPEECH_QUALITY_H_
