// The frame level of payload byte 0: half-decibel steps of dBov, louder higher.
#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "client/audio/audio_format.h"
#include "client/audio/frame_level.h"

namespace corvanetools::audio {
namespace {

std::vector<float> Sine(double amplitude) {
  std::vector<float> frame(kFrameSamples);
  for (size_t i = 0; i < frame.size(); ++i) {
    frame[i] =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000 * i / kSampleRate));
  }
  return frame;
}

TEST(FrameLevelTest, DigitalSilenceIsLevelZero) {
  const std::vector<float> silence(kFrameSamples, 0.0f);
  EXPECT_EQ(FrameDbov(silence.data(), silence.size()), kSilenceDbov);
  EXPECT_EQ(FrameLevel(silence.data(), silence.size()), 0);
  EXPECT_EQ(FrameLevel(nullptr, 0), 0);
}

TEST(FrameLevelTest, FullScaleSquareIs255AndSineIs249) {
  std::vector<float> square(kFrameSamples);
  for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 24) % 2 == 0 ? 1.0f : -1.0f;
  EXPECT_EQ(FrameLevel(square.data(), square.size()), 255);
  const std::vector<float> sine = Sine(1.0);
  EXPECT_NEAR(FrameDbov(sine.data(), sine.size()), -3.01, 0.01);
  EXPECT_EQ(FrameLevel(sine.data(), sine.size()), 249);
}

TEST(FrameLevelTest, HalfDecibelSteps) {
  // -20 dB of amplitude is 40 steps down.
  const std::vector<float> loud = Sine(0.5);
  const std::vector<float> quiet = Sine(0.05);
  EXPECT_EQ(FrameLevel(loud.data(), loud.size()) - FrameLevel(quiet.data(), quiet.size()), 40);
  EXPECT_EQ(LevelFromDbov(-127.5), 0);
  EXPECT_EQ(LevelFromDbov(-127.0), 1);
  EXPECT_EQ(LevelFromDbov(-300), 0);
}

TEST(FrameLevelTest, ClippedSamplesCountAsFullScaleAndNeverWrap) {
  // Samples far past full scale (a float source that clipped) must not
  // overflow the byte: the frame is as loud as can be, not quiet.
  std::vector<float> clipped(kFrameSamples);
  for (size_t i = 0; i < clipped.size(); ++i) clipped[i] = i % 2 == 0 ? 40.0f : -40.0f;
  EXPECT_EQ(FrameDbov(clipped.data(), clipped.size()), 0.0);
  EXPECT_EQ(FrameLevel(clipped.data(), clipped.size()), 255);
  const std::vector<float> sine = Sine(1.0);
  EXPECT_GT(FrameLevel(clipped.data(), clipped.size()), FrameLevel(sine.data(), sine.size()));
}

}  // namespace
}  // namespace corvanetools::audio
