// Real speech in corvane-client. A speaker with a WAV file sends its speech as
// Opus frames, one 20 ms frame per voice datagram; every receiver keeps a
// jitter buffer per speaker, decodes, mixes and measures what it heard.
//
// A speech datagram's payload (after the token) is
//   +0 level: the frame's level from its PCM (frame_level.h: round(255 + 2 * dBov))
//   +1 0x10 when the speaker has the priority mark, else 0
//   +2 the 16-byte probe (media_datagrams.h) the client measures loss and
//      delay with; its stream index is the frame's number in the file
//   +18 the Opus frame
// The probe is the simulator's own: a client that only talks would put the
// Opus frame right after the two mark bytes. Silence is sent as Opus DTX
// frames (one or two bytes, level near 0) rather than left out, so that each
// speaker keeps one datagram per 20 ms: the mixing server ranks them last, and
// the frame number stays the datagram's stream index.
#ifndef TOOLS_CLIENT_VOICE_AUDIO_H_
#define TOOLS_CLIENT_VOICE_AUDIO_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/audio/jitter_buffer.h"
#include "client/speech_report.h"

namespace corvanetools {

struct EncodedFrame {
  std::vector<uint8_t> opus;
  uint8_t level = 0;
};

// A speaker's file, read and encoded once before the run so that the sending
// loop only copies bytes.
class SpeakerAudio {
 public:
  // Reads `path` (any WAV that audio::ReadWavFile takes) and encodes it; after
  // the file, silence up to `min_frames` frames in all. Null with a reason.
  static std::unique_ptr<SpeakerAudio> Load(const std::string& path, size_t min_frames,
                                            std::string* error);

  const std::string& path() const { return path_; }
  // The source at 48 kHz mono, what receivers are measured against.
  const std::vector<float>& source() const { return source_; }
  size_t source_frames() const;
  // Frame `index`; past the last encoded frame, the last one (silence).
  const EncodedFrame& Frame(uint32_t index) const;

 private:
  SpeakerAudio() = default;
  std::string path_;
  std::vector<float> source_;
  std::vector<EncodedFrame> frames_;
};

// The speech one receiver hears: one jitter buffer per speaker slot of its
// room (slots as in the simulator's RoomPlan).
class ListenerAudio {
 public:
  struct Speaker {
    uint64_t user_id = 0;
    const SpeakerAudio* source = nullptr;  // borrowed; null: not at hand
  };
  // `speakers` by slot; user_id 0 for slots without speech (their datagrams
  // carry filler, not Opus). A speaker's frames lie within `max_span_frames`
  // of its first one: a frame number further off is refused, so that a bogus
  // number cannot make the decoded track absurdly long.
  ListenerAudio(std::vector<Speaker> speakers, int64_t playout_delay_us, uint32_t max_span_frames);

  // A speech datagram's frame, arrived at arrival_us. Receiving loop only.
  void OnFrame(size_t slot, uint32_t frame, const uint8_t* opus, size_t size, int64_t arrival_us);
  // Frames refused for their number.
  uint64_t refused() const { return refused_; }

  // After the run: decodes every speaker, measures each against its source,
  // and, when `wav_path` is not empty, writes the mix of all of them as played
  // from origin_us (a mixing server's frames are mixed the same way: each
  // speaker the mixer chose is decoded in its own stream). False with a
  // reason when the file cannot be written.
  bool Finish(int64_t origin_us, const std::string& wav_path, std::string* error);
  // By speaker id; complete after Finish.
  const std::map<uint64_t, SpeechResult>& results() const { return results_; }

 private:
  std::vector<Speaker> speakers_;
  const uint32_t max_span_frames_;
  std::vector<audio::JitterBuffer> buffers_;
  uint64_t refused_ = 0;
  std::map<uint64_t, SpeechResult> results_;
};

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_VOICE_AUDIO_H_
