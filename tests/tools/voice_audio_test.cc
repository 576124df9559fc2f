// A speaker's encoded file and a receiver's ears, without a network between.
#include "client/voice_audio.h"

#include <gtest/gtest.h>

#include "client/audio/audio_format.h"
#include "client/audio/wav_file.h"
#include "support/synthetic_speech.h"
#include "support/test_util.h"

namespace corvanetools {
namespace {

class VoiceAudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(audio::WriteWavFile(dir_.File("a.wav"), testutil::SyntheticSpeech(1, 150, 0.4),
                                    audio::kSampleRate, &error))
        << error;
    speaker_ = SpeakerAudio::Load(dir_.File("a.wav"), 60, &error);
    ASSERT_TRUE(speaker_) << error;
  }

  testutil::TempDir dir_;
  std::unique_ptr<SpeakerAudio> speaker_;
};

TEST_F(VoiceAudioTest, FileIsEncodedThenSilenceUpToTheRun) {
  EXPECT_EQ(speaker_->source_frames(), 50u);
  // A syllable's middle is loud; past the file, DTX silence at level 0.
  EXPECT_GT(speaker_->Frame(5).level, 180);
  EXPECT_EQ(speaker_->Frame(55).level, 0);
  EXPECT_LE(speaker_->Frame(1000).opus.size(), 2u);  // the last frame, past the end
}

TEST_F(VoiceAudioTest, ReceiverWritesWhatItHeardAndScoresIt) {
  ListenerAudio ears({{7, speaker_.get()}}, 60000, 1000);
  for (uint32_t f = 0; f < 50; ++f) {
    const EncodedFrame& frame = speaker_->Frame(f);
    ears.OnFrame(0, f, frame.opus.data(), frame.opus.size(), 1000000 + f * audio::kFrameUs);
  }
  std::string error;
  ASSERT_TRUE(ears.Finish(1000000, dir_.File("heard.wav"), &error)) << error;
  const SpeechResult& result = ears.results().at(7);
  EXPECT_EQ(result.played, 50u);
  EXPECT_TRUE(result.measured);
  EXPECT_GT(result.correlation, 0.75);
  std::vector<float> heard;
  ASSERT_TRUE(audio::ReadWavFile(dir_.File("heard.wav"), &heard, &error)) << error;
  // Played from 60 ms after the first arrival.
  EXPECT_EQ(heard.size(), 50 * audio::kFrameSamples + 60 * 48);
}

TEST_F(VoiceAudioTest, FrameNumberFarFromTheOthersIsRefused) {
  ListenerAudio ears({{7, speaker_.get()}}, 60000, 1000);
  const EncodedFrame& frame = speaker_->Frame(0);
  ears.OnFrame(0, 5000, frame.opus.data(), frame.opus.size(), 0);
  ears.OnFrame(0, 4000000000u, frame.opus.data(), frame.opus.size(), 0);
  ears.OnFrame(0, 3000, frame.opus.data(), frame.opus.size(), 0);
  ears.OnFrame(0, 5999, frame.opus.data(), frame.opus.size(), 0);
  EXPECT_EQ(ears.refused(), 2u);
  std::string error;
  ASSERT_TRUE(ears.Finish(0, "", &error)) << error;
  EXPECT_EQ(ears.results().at(7).played, 2u);
}

}  // namespace
}  // namespace corvanetools
