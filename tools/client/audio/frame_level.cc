#include "client/audio/frame_level.h"

#include <algorithm>
#include <cmath>

namespace corvanetools::audio {

double FrameDbov(const float* samples, size_t count) {
  if (count == 0) return kSilenceDbov;
  double sum = 0;
  for (size_t i = 0; i < count; ++i) {
    const double s = std::clamp(static_cast<double>(samples[i]), -1.0, 1.0);
    sum += s * s;
  }
  const double mean_square = sum / static_cast<double>(count);
  if (mean_square <= 0) return kSilenceDbov;
  return std::clamp(10 * std::log10(mean_square), kSilenceDbov, 0.0);
}

uint8_t LevelFromDbov(double dbov) {
  const double level = std::round(kMaxLevel + kLevelStepsPerDb * dbov);
  return static_cast<uint8_t>(std::clamp(level, 0.0, static_cast<double>(kMaxLevel)));
}

uint8_t FrameLevel(const float* samples, size_t count) {
  return LevelFromDbov(FrameDbov(samples, count));
}

}  // namespace corvanetools::audio
