#include "client/audio/speech_quality.h"

#include <algorithm>
#include <cmath>

#include "client/audio/audio_format.h"
#include "client/audio/frame_level.h"

namespace corvanetools::audio {

namespace {

constexpr int kCoarseStep = 4;  // 48 kHz to 12 kHz
constexpr double kActiveRangeDb = 40;
constexpr double kActiveFloorDbov = -60;
constexpr double kHeardWithinDb = 10;

float At(const std::vector<float>& signal, long i) {
  return i >= 0 && i < static_cast<long>(signal.size()) ? signal[static_cast<size_t>(i)] : 0.0f;
}

std::vector<float> Decimate(const std::vector<float>& signal) {
  std::vector<float> out(signal.size() / kCoarseStep);
  for (size_t i = 0; i < out.size(); ++i) {
    float sum = 0;
    for (int j = 0; j < kCoarseStep; ++j) sum += signal[i * kCoarseStep + static_cast<size_t>(j)];
    out[i] = sum;
  }
  return out;
}

// Sum of source[i] * decoded[i + lag] over the source.
double CrossAt(const std::vector<float>& source, const std::vector<float>& decoded, long lag) {
  double sum = 0;
  const long first = std::max(0L, -lag);
  const long last =
      std::min(static_cast<long>(source.size()), static_cast<long>(decoded.size()) - lag);
  for (long i = first; i < last; ++i) {
    sum +=
        static_cast<double>(source[static_cast<size_t>(i)]) * decoded[static_cast<size_t>(i + lag)];
  }
  return sum;
}

long BestLag(const std::vector<float>& source, const std::vector<float>& decoded, long low,
             long high) {
  long best = 0;
  double best_value = -INFINITY;
  for (long lag = low; lag <= high; ++lag) {
    const double value = CrossAt(source, decoded, lag);
    if (value > best_value) {
      best_value = value;
      best = lag;
    }
  }
  return best;
}

}  // namespace

SpeechScore MeasureSpeech(const std::vector<float>& source, const std::vector<float>& decoded,
                          int max_lag_samples) {
  SpeechScore score;
  if (source.empty() || decoded.empty()) return score;
  const long coarse_range = max_lag_samples / kCoarseStep;
  const long coarse = BestLag(Decimate(source), Decimate(decoded), -coarse_range, coarse_range);
  const long lag = BestLag(source, decoded, coarse * kCoarseStep - kCoarseStep,
                           coarse * kCoarseStep + kCoarseStep);
  score.lag_samples = static_cast<int>(lag);

  double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  const double n = static_cast<double>(source.size());
  for (size_t i = 0; i < source.size(); ++i) {
    const double x = source[i];
    const double y = At(decoded, static_cast<long>(i) + lag);
    sx += x;
    sy += y;
    sxx += x * x;
    syy += y * y;
    sxy += x * y;
  }
  const double vx = sxx - sx * sx / n;
  const double vy = syy - sy * sy / n;
  if (vx > 0 && vy > 0) score.correlation = (sxy - sx * sy / n) / std::sqrt(vx * vy);

  // Coverage, frame by frame.
  const size_t frames = source.size() / kFrameSamples;
  std::vector<double> source_db(frames);
  double loudest = kSilenceDbov;
  for (size_t f = 0; f < frames; ++f) {
    source_db[f] = FrameDbov(source.data() + f * kFrameSamples, kFrameSamples);
    loudest = std::max(loudest, source_db[f]);
  }
  const double active_above = std::max(loudest - kActiveRangeDb, kActiveFloorDbov);
  std::vector<float> aligned(kFrameSamples);
  size_t active = 0;
  size_t heard = 0;
  for (size_t f = 0; f < frames; ++f) {
    if (source_db[f] < active_above) continue;
    ++active;
    for (size_t i = 0; i < kFrameSamples; ++i) {
      aligned[i] = At(decoded, static_cast<long>(f * kFrameSamples + i) + lag);
    }
    if (FrameDbov(aligned.data(), kFrameSamples) >= source_db[f] - kHeardWithinDb) ++heard;
  }
  if (active > 0) score.coverage = static_cast<double>(heard) / static_cast<double>(active);
  return score;
}

}  // namespace corvanetools::audio
