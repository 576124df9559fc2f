// Thin owners of a libopus encoder and decoder for the client's format:
// 48 kHz mono, 20 ms frames, the voice application at kOpusBitrate with
// discontinuous transmission on. In silence the encoder gives DTX frames of
// one or two bytes; the client still sends them (see voice_audio.h), and the
// decoder turns them into comfort silence.
#ifndef TOOLS_CLIENT_AUDIO_OPUS_CODEC_H_
#define TOOLS_CLIENT_AUDIO_OPUS_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct OpusEncoder;
struct OpusDecoder;

namespace corvanetools::audio {

// Wideband speech is transparent well below this; it keeps a frame near 60 bytes.
constexpr int kOpusBitrate = 24000;
// The largest Opus packet (RFC 6716).
constexpr size_t kMaxOpusFrameBytes = 1275;

class OpusFrameEncoder {
 public:
  // Null with a reason when libopus refuses.
  static std::unique_ptr<OpusFrameEncoder> Create(std::string* error);
  ~OpusFrameEncoder();
  OpusFrameEncoder(const OpusFrameEncoder&) = delete;
  OpusFrameEncoder& operator=(const OpusFrameEncoder&) = delete;

  // Encodes kFrameSamples samples; returns the packet's length (1..capacity)
  // or 0 on failure.
  size_t Encode(const float* pcm, uint8_t* out, size_t capacity);
  // The encoder's look-ahead in samples: decoded audio lags the source by it.
  int LookaheadSamples() const;

 private:
  explicit OpusFrameEncoder(OpusEncoder* encoder) : encoder_(encoder) {}
  OpusEncoder* const encoder_;  // owned
};

class OpusFrameDecoder {
 public:
  static std::unique_ptr<OpusFrameDecoder> Create(std::string* error);
  ~OpusFrameDecoder();
  OpusFrameDecoder(const OpusFrameDecoder&) = delete;
  OpusFrameDecoder& operator=(const OpusFrameDecoder&) = delete;

  // Decodes one packet into kFrameSamples samples; false (and silence) when
  // the packet is corrupt.
  bool Decode(const uint8_t* packet, size_t size, float* pcm);
  // Packet-loss concealment: a frame's worth guessed from what came before.
  void Conceal(float* pcm);
  // Forgets the past, as after a long silence.
  void Reset();

 private:
  explicit OpusFrameDecoder(OpusDecoder* decoder) : decoder_(decoder) {}
  OpusDecoder* const decoder_;  // owned
};

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_OPUS_CODEC_H_
