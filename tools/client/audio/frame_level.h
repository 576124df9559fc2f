// The level a speaker puts in payload byte 0 of each frame, computed from the
// frame's PCM; the mixing server ranks frames by it, higher first.
//
// Scale: the frame's RMS in dBov, where 0 dBov is the RMS of a full-scale
// square wave (1.0 here, 32768 in 16-bit PCM), in half-decibel steps:
//   level = round(255 + 2 * dBov), clamped to 0..255.
// A full-scale square wave gives 255, a full-scale sine (-3.01 dBov) 249,
// speech at a usual -26 dBov 203; -127.5 dBov and below (digital silence)
// give 0. Samples beyond full scale count as full scale, so a clipped frame
// is as loud as a frame can be and never wraps round to a low level.
#ifndef TOOLS_CLIENT_AUDIO_FRAME_LEVEL_H_
#define TOOLS_CLIENT_AUDIO_FRAME_LEVEL_H_

#include <cstddef>
#include <cstdint>

namespace corvanetools::audio {

// What FrameDbov gives for digital silence (and an empty frame).
constexpr double kSilenceDbov = -200;
constexpr double kLevelStepsPerDb = 2;
constexpr int kMaxLevel = 255;

// RMS of the samples in dBov, clamped to [kSilenceDbov, 0].
double FrameDbov(const float* samples, size_t count);
// The level byte of a frame of the given dBov.
uint8_t LevelFromDbov(double dbov);
// Both together: the level byte of a frame.
uint8_t FrameLevel(const float* samples, size_t count);

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_FRAME_LEVEL_H_
