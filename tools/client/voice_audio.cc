#include "client/voice_audio.h"

#include <algorithm>

#include "client/audio/audio_format.h"
#include "client/audio/frame_level.h"
#include "client/audio/opus_codec.h"
#include "client/audio/speaker_track.h"
#include "client/audio/speech_quality.h"
#include "client/audio/wav_file.h"

namespace corvanetools {

namespace {

// The alignment search covers a frame either way: the codec's look-ahead
// (6.5 ms) and nothing else, since frames are placed by number.
constexpr int kMaxLagSamples = static_cast<int>(audio::kFrameSamples);

}  // namespace

std::unique_ptr<SpeakerAudio> SpeakerAudio::Load(const std::string& path, size_t min_frames,
                                                 std::string* error) {
  std::unique_ptr<SpeakerAudio> speaker(new SpeakerAudio());
  speaker->path_ = path;
  if (!audio::ReadWavFile(path, &speaker->source_, error)) return nullptr;
  auto encoder = audio::OpusFrameEncoder::Create(error);
  if (!encoder) return nullptr;
  const size_t count = std::max(min_frames, speaker->source_frames()) + 1;
  speaker->frames_.resize(count);
  std::vector<float> pcm(audio::kFrameSamples);
  uint8_t packet[audio::kMaxOpusFrameBytes];
  for (size_t f = 0; f < count; ++f) {
    const size_t at = f * audio::kFrameSamples;
    std::fill(pcm.begin(), pcm.end(), 0.0f);
    if (at < speaker->source_.size()) {
      const size_t n = std::min(audio::kFrameSamples, speaker->source_.size() - at);
      std::copy_n(speaker->source_.begin() + static_cast<long>(at), n, pcm.begin());
    }
    const size_t size = encoder->Encode(pcm.data(), packet, sizeof(packet));
    if (size == 0) {
      *error = path + ": the Opus encoder failed at frame " + std::to_string(f);
      return nullptr;
    }
    speaker->frames_[f].opus.assign(packet, packet + size);
    speaker->frames_[f].level = audio::FrameLevel(pcm.data(), pcm.size());
  }
  return speaker;
}

size_t SpeakerAudio::source_frames() const {
  return (source_.size() + audio::kFrameSamples - 1) / audio::kFrameSamples;
}

const EncodedFrame& SpeakerAudio::Frame(uint32_t index) const {
  return frames_[std::min<size_t>(index, frames_.size() - 1)];
}

ListenerAudio::ListenerAudio(std::vector<Speaker> speakers, int64_t playout_delay_us,
                             uint32_t max_span_frames)
    : speakers_(std::move(speakers)), max_span_frames_(max_span_frames) {
  buffers_.reserve(speakers_.size());
  for (size_t i = 0; i < speakers_.size(); ++i) buffers_.emplace_back(playout_delay_us);
}

void ListenerAudio::OnFrame(size_t slot, uint32_t frame, const uint8_t* opus, size_t size,
                            int64_t arrival_us) {
  if (slot >= speakers_.size() || speakers_[slot].user_id == 0 || size == 0) return;
  audio::JitterBuffer& buffer = buffers_[slot];
  if (!buffer.empty()) {
    const int64_t first = buffer.frames().begin()->first;
    const int64_t last = buffer.frames().rbegin()->first;
    const int64_t n = frame;
    if (n + max_span_frames_ < last || n > first + max_span_frames_) {
      ++refused_;
      return;
    }
  }
  buffer.Insert(frame, opus, size, arrival_us);
}

bool ListenerAudio::Finish(int64_t origin_us, const std::string& wav_path, std::string* error) {
  auto decoder = audio::OpusFrameDecoder::Create(error);
  if (!decoder) return false;
  std::vector<float> mix;
  for (size_t slot = 0; slot < speakers_.size(); ++slot) {
    const Speaker& speaker = speakers_[slot];
    if (speaker.user_id == 0) continue;
    const audio::JitterBuffer& buffer = buffers_[slot];
    SpeechResult& result = results_[speaker.user_id];
    result.played = buffer.accepted();
    result.late = buffer.late();
    result.duplicates = buffer.duplicates();
    const audio::SpeakerTrack track = audio::DecodeSpeaker(buffer, decoder.get());
    result.concealed = track.concealed;
    result.silenced = track.silenced;
    if (!track.samples.empty()) {
      const int64_t play_us = buffer.PlayoutTimeUs(track.first_frame) - origin_us;
      audio::MixInto(track.samples, play_us * audio::kSampleRate / 1000000, &mix);
    }
    if (speaker.source == nullptr) continue;
    // The track in the source's time: frame n starts at sample n * 960.
    const std::vector<float>& source = speaker.source->source();
    std::vector<float> aligned(source.size() + 2 * audio::kFrameSamples, 0.0f);
    audio::MixInto(
        track.samples,
        static_cast<int64_t>(track.first_frame) * static_cast<int64_t>(audio::kFrameSamples),
        &aligned);
    const audio::SpeechScore score = audio::MeasureSpeech(source, aligned, kMaxLagSamples);
    result.measured = true;
    result.correlation = score.correlation;
    result.coverage = score.coverage;
  }
  if (wav_path.empty()) return true;
  return audio::WriteWavFile(wav_path, mix, audio::kSampleRate, error);
}

}  // namespace corvanetools
