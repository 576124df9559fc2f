// Sample-rate conversion of a whole mono signal with a windowed-sinc
// interpolator: 32 taps a side under a Blackman window, cut-off at the lower
// of the two Nyquist frequencies (so downsampling does not alias). Good
// enough for speech; it is not a streaming resampler.
#ifndef TOOLS_CLIENT_AUDIO_RESAMPLER_H_
#define TOOLS_CLIENT_AUDIO_RESAMPLER_H_

#include <vector>

namespace corvanetools::audio {

// `input` at in_rate Hz, returned at out_rate Hz (both above 0).
std::vector<float> Resample(const std::vector<float>& input, int in_rate, int out_rate);

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_RESAMPLER_H_
