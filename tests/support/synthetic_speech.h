// Voiced-speech-like test signals made in code, so that audio tests do not
// depend on a speech synthesiser's voices: a harmonic series (falling 6 dB an
// octave, up to 4 kHz) on a fundamental that glides +-8% at 3 Hz, shaped into
// 200 ms syllables with 60 ms gaps and a 300 ms pause every fourth syllable.
// 48 kHz mono; the peak is `amplitude` (full scale 1.0).
// With `consonants` each syllable also steps to a pitch of its own and opens
// with 40 ms of noise: speech that packet-loss concealment cannot guess, for
// tests where what was lost has to show.
#ifndef TESTS_SUPPORT_SYNTHETIC_SPEECH_H_
#define TESTS_SUPPORT_SYNTHETIC_SPEECH_H_

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace testutil {

inline std::vector<float> SyntheticSpeech(double seconds, double f0_hz, double amplitude,
                                          bool consonants = false) {
  constexpr double kRate = 48000;
  constexpr double kSyllable = 0.2, kGap = 0.06, kPause = 0.3;
  const size_t count = static_cast<size_t>(seconds * kRate);
  std::vector<float> out(count);
  double phase = 0;
  double peak = 0;
  std::vector<double> raw(count);
  std::mt19937 rng(static_cast<unsigned>(f0_hz));
  std::normal_distribution<double> noise(0, 1);
  for (size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const int syllable = static_cast<int>(t / (kSyllable + kGap));
    const double step = consonants ? 1 + 0.06 * ((syllable * 7) % 5 - 2) : 1;
    const double f0 = f0_hz * step * (1 + 0.08 * std::sin(2 * std::numbers::pi * 3 * t));
    phase += 2 * std::numbers::pi * f0 / kRate;
    // Position in a cycle of four syllables and a pause.
    const double cycle = 4 * (kSyllable + kGap) + kPause;
    const double in_cycle = std::fmod(t, cycle);
    double envelope = 0;
    double hiss = 0;
    if (in_cycle < 4 * (kSyllable + kGap)) {
      const double in_syllable = std::fmod(in_cycle, kSyllable + kGap);
      if (consonants && in_syllable < 0.04)
        hiss = 0.5 * std::sin(std::numbers::pi * in_syllable / 0.04);
      if (in_syllable < kSyllable)
        envelope = std::pow(std::sin(std::numbers::pi * in_syllable / kSyllable), 2);
    }
    double sum = 0;
    for (int k = 1; k * f0 < 4000; ++k) sum += std::sin(k * phase) / k;
    raw[i] = envelope * sum + hiss * noise(rng);
    peak = std::max(peak, std::abs(raw[i]));
  }
  for (size_t i = 0; i < count; ++i) {
    out[i] = static_cast<float>(peak > 0 ? raw[i] / peak * amplitude : 0);
  }
  return out;
}

}  // namespace testutil

#endif  // TESTS_SUPPORT_SYNTHETIC_SPEECH_H_
