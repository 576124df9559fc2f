// WAV files in and out, resampling, and Opus with the speech measure on a
// synthetic voice: the measure must tell speech that came through from
// speech that did not.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "client/audio/audio_format.h"
#include "client/audio/frame_level.h"
#include "client/audio/jitter_buffer.h"
#include "client/audio/opus_codec.h"
#include "client/audio/resampler.h"
#include "client/audio/speaker_track.h"
#include "client/audio/speech_quality.h"
#include "client/audio/wav_file.h"
#include "support/synthetic_speech.h"
#include "support/test_util.h"

namespace corvanetools::audio {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// Encodes and decodes through a jitter buffer, dropping the frames `drop` says.
std::vector<float> ThroughOpus(const std::vector<float>& source, bool (*drop)(uint32_t)) {
  std::string error;
  auto encoder = OpusFrameEncoder::Create(&error);
  auto decoder = OpusFrameDecoder::Create(&error);
  JitterBuffer buffer(60000);
  uint8_t packet[kMaxOpusFrameBytes];
  const uint32_t frames = static_cast<uint32_t>(source.size() / kFrameSamples);
  for (uint32_t f = 0; f < frames; ++f) {
    const size_t size = encoder->Encode(source.data() + f * kFrameSamples, packet, sizeof(packet));
    if (f == 0 || !drop(f)) buffer.Insert(f, packet, size, f * kFrameUs);
  }
  return DecodeSpeaker(buffer, decoder.get()).samples;
}

TEST(WavFileTest, WrittenFileReadsBackAt48k) {
  testutil::TempDir dir;
  const std::vector<float> speech = testutil::SyntheticSpeech(0.5, 150, 0.5);
  std::string error;
  ASSERT_TRUE(WriteWavFile(dir.File("a.wav"), speech, kSampleRate, &error)) << error;
  std::vector<float> back;
  ASSERT_TRUE(ReadWavFile(dir.File("a.wav"), &back, &error)) << error;
  ASSERT_EQ(back.size(), speech.size());
  for (size_t i = 0; i < back.size(); i += 97) ASSERT_NEAR(back[i], speech[i], 1.0 / 32767);
}

TEST(WavFileTest, StereoIsMixedDownAndOtherRatesResampled) {
  // 16 kHz stereo, 16 bit: left a 500 Hz tone, right silence.
  std::string file = "RIFF____WAVEfmt ";
  auto le = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) file.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  le(16, 4), le(1, 2), le(2, 2), le(16000, 4), le(64000, 4), le(4, 2), le(16, 2);
  file += "data";
  le(16000 * 4, 4);
  for (int i = 0; i < 16000; ++i) {
    le(static_cast<uint16_t>(static_cast<int16_t>(16000 * std::sin(2 * M_PI * 500 * i / 16000.0))),
       2);
    le(0, 2);
  }
  testutil::TempDir dir;
  testutil::WriteFile(dir.File("s.wav"), file);
  std::vector<float> back;
  std::string error;
  ASSERT_TRUE(ReadWavFile(dir.File("s.wav"), &back, &error)) << error;
  ASSERT_EQ(back.size(), 48000u);
  // Mean of the channels: half the tone's amplitude, 0.244.
  const double dbov = FrameDbov(back.data() + 24000, kFrameSamples);
  EXPECT_NEAR(dbov, 20 * std::log10(0.5 * 16000 / 32768.0) - 3.01, 0.2);
}

TEST(WavFileTest, MalformedFilesAreRefusedWithAReason) {
  std::vector<float> mono;
  WavInfo info;
  std::string error;
  const std::vector<uint8_t> not_wav = Bytes("RIFF\x04\0\0\0AVI ");
  EXPECT_FALSE(ParseWav(not_wav.data(), not_wav.size(), &mono, &info, &error));
  // A fmt chunk claiming more bytes than the file has.
  const std::vector<uint8_t> cut = Bytes(std::string("RIFF\0\0\0\0WAVEfmt \xFF\0\0\0\x01\0", 22));
  EXPECT_FALSE(ParseWav(cut.data(), cut.size(), &mono, &info, &error));
  EXPECT_EQ(error, "bad fmt chunk");
  EXPECT_FALSE(ReadWavFile("/nonexistent/x.wav", &mono, &error));
}

TEST(ResamplerTest, KeepsAToneBelowNyquistAndItsLength) {
  std::vector<float> tone(44100);
  for (size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000 * i / 44100.0));
  const std::vector<float> out = Resample(tone, 44100, 48000);
  ASSERT_EQ(out.size(), 48000u);
  for (size_t i = 1000; i < 47000; i += 331) {
    ASSERT_NEAR(out[i], 0.5 * std::sin(2 * M_PI * 1000 * i / 48000.0), 0.01) << i;
  }
}

TEST(SpeechQualityTest, CleanOpusScoresHighAndLossScoresLower) {
  const std::vector<float> source = testutil::SyntheticSpeech(3, 140, 0.4);
  const SpeechScore clean =
      MeasureSpeech(source, ThroughOpus(source, [](uint32_t) { return false; }), 960);
  EXPECT_GT(clean.correlation, 0.8);
  EXPECT_GT(clean.coverage, 0.95);
  // Bursts of 200 ms lost out of every 400 ms: concealment bridges 100 ms of each.
  const SpeechScore lossy =
      MeasureSpeech(source, ThroughOpus(source, [](uint32_t f) { return f % 20 >= 10; }), 960);
  EXPECT_LT(lossy.correlation, clean.correlation - 0.2);
  EXPECT_LT(lossy.coverage, 0.8);
  const SpeechScore nothing = MeasureSpeech(source, std::vector<float>(source.size(), 0.0f), 960);
  EXPECT_EQ(nothing.correlation, 0.0);
  EXPECT_EQ(nothing.coverage, 0.0);
  // Another voice is not this one.
  const SpeechScore other = MeasureSpeech(source, testutil::SyntheticSpeech(3, 210, 0.4), 960);
  EXPECT_LT(other.correlation, 0.3);
}

TEST(SpeechQualityTest, FindsTheLag) {
  const std::vector<float> source = testutil::SyntheticSpeech(1, 120, 0.4);
  std::vector<float> late(source.size() + 300, 0.0f);
  std::copy(source.begin(), source.end(), late.begin() + 300);
  const SpeechScore score = MeasureSpeech(source, late, 960);
  EXPECT_EQ(score.lag_samples, 300);
  EXPECT_NEAR(score.correlation, 1.0, 1e-6);
}

}  // namespace
}  // namespace corvanetools::audio
