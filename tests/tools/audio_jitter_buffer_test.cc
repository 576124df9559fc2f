// The listener's fixed-delay playout buffer: on time, late, duplicated,
// reordered frames; and decoding what it holds with concealment.
#include <vector>

#include <gtest/gtest.h>

#include "client/audio/jitter_buffer.h"
#include "client/audio/speaker_track.h"

namespace corvanetools::audio {
namespace {

constexpr int64_t kDelayUs = 60000;
const uint8_t kPayload[3] = {1, 2, 3};

TEST(JitterBufferTest, FirstFrameAnchorsThePlayoutClock) {
  JitterBuffer buffer(kDelayUs);
  EXPECT_EQ(buffer.Insert(10, kPayload, 3, 1000000), JitterBuffer::Outcome::kAccepted);
  EXPECT_EQ(buffer.PlayoutTimeUs(10), 1060000);
  EXPECT_EQ(buffer.PlayoutTimeUs(12), 1100000);
  EXPECT_EQ(buffer.PlayoutTimeUs(9), 1040000);
}

TEST(JitterBufferTest, FrameAtItsPlayoutTimeIsOnTimeOneMicrosecondLaterIsLate) {
  JitterBuffer buffer(kDelayUs);
  buffer.Insert(0, kPayload, 3, 0);
  EXPECT_EQ(buffer.Insert(1, kPayload, 3, 80000), JitterBuffer::Outcome::kAccepted);
  EXPECT_EQ(buffer.Insert(2, kPayload, 3, 100001), JitterBuffer::Outcome::kLate);
  EXPECT_EQ(buffer.accepted(), 2u);
  EXPECT_EQ(buffer.late(), 1u);
  EXPECT_EQ(buffer.frames().count(2), 0u);  // a late frame is lost to the listener
}

TEST(JitterBufferTest, DuplicatesOfAcceptedAndLateFramesAreIgnored) {
  JitterBuffer buffer(kDelayUs);
  const uint8_t other[2] = {9, 9};
  buffer.Insert(0, kPayload, 3, 0);
  EXPECT_EQ(buffer.Insert(0, other, 2, 1000), JitterBuffer::Outcome::kDuplicate);
  EXPECT_EQ(buffer.frames().at(0).size(), 3u);  // the first copy stays
  EXPECT_EQ(buffer.Insert(5, kPayload, 3, 900000), JitterBuffer::Outcome::kLate);
  EXPECT_EQ(buffer.Insert(5, kPayload, 3, 900001), JitterBuffer::Outcome::kDuplicate);
  EXPECT_EQ(buffer.duplicates(), 2u);
  EXPECT_EQ(buffer.late(), 1u);
}

TEST(JitterBufferTest, ReorderedEarlierFrameWithinTheDelayIsAccepted) {
  JitterBuffer buffer(kDelayUs);
  buffer.Insert(7, kPayload, 3, 0);
  // Frame 6 plays 20 ms before frame 7: at 40 ms.
  EXPECT_EQ(buffer.Insert(6, kPayload, 3, 30000), JitterBuffer::Outcome::kAccepted);
  EXPECT_EQ(buffer.Insert(4, kPayload, 3, 30000), JitterBuffer::Outcome::kLate);
  EXPECT_EQ(buffer.frames().begin()->first, 6u);
}

std::vector<uint8_t> EncodeTone(OpusFrameEncoder* encoder) {
  std::vector<float> pcm(kFrameSamples);
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = (i % 48 < 24) ? 0.3f : -0.3f;
  std::vector<uint8_t> packet(kMaxOpusFrameBytes);
  packet.resize(encoder->Encode(pcm.data(), packet.data(), packet.size()));
  return packet;
}

TEST(SpeakerTrackTest, GapsAreConcealedUpToTheLimitThenSilent) {
  std::string error;
  auto encoder = OpusFrameEncoder::Create(&error);
  auto decoder = OpusFrameDecoder::Create(&error);
  ASSERT_TRUE(encoder && decoder) << error;
  JitterBuffer buffer(kDelayUs);
  const std::vector<uint8_t> packet = EncodeTone(encoder.get());
  ASSERT_FALSE(packet.empty());
  // Frames 0, 1, then a 2-frame gap, 4, then a gap longer than the limit, 13.
  for (uint32_t frame : {0u, 1u, 4u, 13u}) {
    buffer.Insert(frame, packet.data(), packet.size(), frame * kFrameUs);
  }
  const SpeakerTrack track = DecodeSpeaker(buffer, decoder.get());
  EXPECT_EQ(track.first_frame, 0u);
  EXPECT_EQ(track.samples.size(), 14 * kFrameSamples);
  EXPECT_EQ(track.decoded, 4u);
  EXPECT_EQ(track.concealed, 2u + static_cast<uint64_t>(kMaxConcealedFrames));
  EXPECT_EQ(track.silenced, 8u - static_cast<uint64_t>(kMaxConcealedFrames));
  // The frame after the concealment limit is exactly silent.
  for (size_t i = 0; i < kFrameSamples; ++i) {
    ASSERT_EQ(track.samples[(5 + kMaxConcealedFrames) * kFrameSamples + i], 0.0f);
  }
}

TEST(SpeakerTrackTest, CorruptFrameIsCountedAndSilent) {
  std::string error;
  auto decoder = OpusFrameDecoder::Create(&error);
  ASSERT_TRUE(decoder) << error;
  JitterBuffer buffer(kDelayUs);
  const uint8_t junk[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // code 3, a frame count the packet lacks
  buffer.Insert(0, junk, sizeof(junk), 0);
  const SpeakerTrack track = DecodeSpeaker(buffer, decoder.get());
  EXPECT_EQ(track.corrupt, 1u);
  EXPECT_EQ(track.decoded, 0u);
}

TEST(MixIntoTest, AddsAtAnOffsetAndCutsANegativeHead) {
  std::vector<float> mix;
  MixInto({1, 1, 1}, 2, &mix);
  MixInto({2, 2, 2}, -1, &mix);
  EXPECT_EQ(mix, (std::vector<float>{2, 2, 1, 1, 1}));
}

}  // namespace
}  // namespace corvanetools::audio
