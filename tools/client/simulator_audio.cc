// The simulator's speech: speakers that send the Opus frames of a WAV file
// and receivers that play and measure them (voice_audio.h).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "client/audio/audio_format.h"
#include "client/simulator.h"

namespace corvanetools {

bool Simulator::SetupAudio(std::string* error) {
  // Frames to encode at least: the whole traffic stage, silence after the file.
  const size_t min_frames =
      static_cast<size_t>(std::llround(options_.duration_s * 1000 / audio::kFrameMs)) + 1;
  std::map<uint64_t, const SimUser*> simulated;
  for (const auto& user : users_) {
    if (!user->peer) simulated[user->entry.user_id] = user.get();
  }
  for (const RosterUser& entry : options_.roster.users) {
    if (entry.wav.empty() || !IsTalkingRole(entry.role)) continue;
    std::string reason;
    std::unique_ptr<SpeakerAudio> speaker = SpeakerAudio::Load(entry.wav, min_frames, &reason);
    if (!speaker) {
      if (simulated.count(entry.user_id) != 0) {
        *error = "speaker " + std::to_string(entry.user_id) + ": " + reason;
        return false;
      }
      // Simulated elsewhere: its speech is still played, only not measured.
      if (!options_.quiet) std::fprintf(stderr, "corvane-client: %s\n", reason.c_str());
      continue;
    }
    if (speaker->source_frames() > min_frames && !options_.quiet) {
      std::fprintf(stderr,
                   "corvane-client: %s lasts %.1f s, longer than --duration: the rest is not sent "
                   "and counts as not heard\n",
                   entry.wav.c_str(),
                   static_cast<double>(speaker->source().size()) / audio::kSampleRate);
    }
    speech_[entry.user_id] = std::move(speaker);
  }

  // Everything a receiver can hear of a speaker in this run, with a minute to
  // spare for a speaker that started earlier elsewhere.
  const uint32_t max_span_frames = static_cast<uint32_t>(
      min_frames + static_cast<size_t>(60 * 1000 / audio::kFrameMs) +
      static_cast<size_t>((options_.handshake_timeout_ms + options_.drain_ms) / audio::kFrameMs));
  for (auto& user : users_) {
    if (user->peer) continue;
    const auto own = speech_.find(user->entry.user_id);
    if (own != speech_.end() && IsTalkingRole(user->entry.role)) user->speech = own->second.get();
    const RoomPlan& room = *user->room;
    std::vector<ListenerAudio::Speaker> speakers(room.talkers.size());
    bool hears_speech = false;
    for (size_t slot = 0; slot < room.talkers.size(); ++slot) {
      const RosterUser& talker = room.talkers[slot];
      if (static_cast<int>(slot) == user->own_slot || talker.wav.empty() ||
          !IsHeardRole(talker.role)) {
        continue;
      }
      speakers[slot].user_id = talker.user_id;
      const auto source = speech_.find(talker.user_id);
      if (source != speech_.end()) speakers[slot].source = source->second.get();
      hears_speech = true;
    }
    if (hears_speech) {
      user->hearing = std::make_unique<ListenerAudio>(
          std::move(speakers), int64_t{options_.playout_ms} * 1000, max_span_frames);
    }
  }
  return true;
}

void Simulator::SendSpeech(SimUser* user, int64_t now_us, int64_t due_us) {
  ++user->tick;
  MediaFields fields;
  fields.kind = StreamKind::kVoice;
  fields.payload_type = options_.voice_payload_type;
  fields.ask_ack = options_.voice_ack;
  // The frame number is the voice stream index: one frame per datagram.
  fields.stream_index =
      user->next_index[StreamSlot(StreamKind::kVoice)].fetch_add(1, std::memory_order_acq_rel);
  fields.sequence = user->next_sequence.fetch_add(1, std::memory_order_relaxed);
  fields.user_id = user->entry.user_id;
  fields.token = user->TokenToSend();
  fields.send_time_us = now_us;
  const EncodedFrame& frame = user->speech->Frame(fields.stream_index);
  fields.mix_marks = true;
  fields.level = frame.level;
  fields.priority = user->entry.priority;
  fields.payload_size = kMixMarkBytes + kProbeSize + frame.opus.size();
  uint8_t media[kMaxFecMedia];
  const size_t size = BuildMedia(fields, media, sizeof(media));
  if (size == 0) return;  // a token too long to leave room for the frame
  std::memcpy(media + size - frame.opus.size(), frame.opus.data(), frame.opus.size());
  user->sent_measured.fetch_add(1, std::memory_order_relaxed);
  if (user->fec) {
    const int64_t base = traffic_start_us_ + user->room->offset_us;
    const uint32_t period = options_.mixer && due_us >= base
                                ? static_cast<uint32_t>((due_us - base) / interval_us_)
                                : fields.stream_index;
    SendFecTalk(user, media, size, fields.stream_index, period, now_us);
    // The mixer's choice is checked against the frame's real level.
    user->ledger.frames[fields.stream_index].level = frame.level;
    return;
  }
  uint8_t* out = send_batch_.Reserve();
  std::memcpy(out, media, size);
  CommitVoice(user, out, size, now_us, fields.sequence);
}

bool Simulator::FinishAudio(std::string* error) {
  if (!options_.audio_out.empty()) {
    std::error_code failure;
    std::filesystem::create_directories(options_.audio_out, failure);
    if (failure) {
      *error = "cannot create " + options_.audio_out + ": " + failure.message();
      return false;
    }
  }
  for (auto& user : users_) {
    if (!user->hearing) continue;
    std::string path;
    if (!options_.audio_out.empty()) {
      path = options_.audio_out + "/user-" + std::to_string(user->entry.user_id) + ".wav";
    }
    if (!user->hearing->Finish(traffic_start_us_, path, error)) return false;
  }
  return true;
}

}  // namespace corvanetools
