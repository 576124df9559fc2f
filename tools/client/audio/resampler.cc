#include "client/audio/resampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace corvanetools::audio {

namespace {

constexpr int kHalfTaps = 32;

double Sinc(double x) {
  if (std::abs(x) < 1e-9) return 1.0;
  const double px = std::numbers::pi * x;
  return std::sin(px) / px;
}

double Blackman(double x) {  // x in [-1, 1]
  const double t = std::numbers::pi * (x + 1);
  return 0.42 - 0.5 * std::cos(t) + 0.08 * std::cos(2 * t);
}

}  // namespace

std::vector<float> Resample(const std::vector<float>& input, int in_rate, int out_rate) {
  if (in_rate == out_rate || input.empty() || in_rate <= 0 || out_rate <= 0) return input;
  const double step = static_cast<double>(in_rate) / out_rate;  // input samples per output
  const double cutoff = std::min(1.0, static_cast<double>(out_rate) / in_rate);
  // Widen the kernel by 1/cutoff when downsampling so it keeps its taps per cycle.
  const int half = static_cast<int>(std::ceil(kHalfTaps / cutoff));
  const size_t out_count =
      static_cast<size_t>(std::floor(static_cast<double>(input.size()) * out_rate / in_rate));
  std::vector<float> output(out_count);
  const long last = static_cast<long>(input.size()) - 1;
  for (size_t i = 0; i < out_count; ++i) {
    const double center = static_cast<double>(i) * step;
    const long first_tap = static_cast<long>(std::floor(center)) - half + 1;
    double sum = 0;
    for (long j = std::max(0L, first_tap); j <= std::min(last, first_tap + 2 * half - 1); ++j) {
      const double distance = center - static_cast<double>(j);
      sum += input[static_cast<size_t>(j)] * cutoff * Sinc(cutoff * distance) *
             Blackman(distance / half);
    }
    output[i] = static_cast<float>(sum);
  }
  return output;
}

}  // namespace corvanetools::audio
