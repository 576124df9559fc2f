#include "client/audio/opus_codec.h"

#include <opus.h>

#include <algorithm>

#include "client/audio/audio_format.h"

namespace corvanetools::audio {

std::unique_ptr<OpusFrameEncoder> OpusFrameEncoder::Create(std::string* error) {
  int status = OPUS_OK;
  OpusEncoder* encoder = opus_encoder_create(kSampleRate, 1, OPUS_APPLICATION_VOIP, &status);
  if (encoder == nullptr || status != OPUS_OK) {
    *error = std::string("opus encoder: ") + opus_strerror(status);
    return nullptr;
  }
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kOpusBitrate));
  opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  opus_encoder_ctl(encoder, OPUS_SET_DTX(1));
  return std::unique_ptr<OpusFrameEncoder>(new OpusFrameEncoder(encoder));
}

OpusFrameEncoder::~OpusFrameEncoder() { opus_encoder_destroy(encoder_); }

size_t OpusFrameEncoder::Encode(const float* pcm, uint8_t* out, size_t capacity) {
  const int bytes =
      opus_encode_float(encoder_, pcm, static_cast<int>(kFrameSamples), out,
                        static_cast<opus_int32>(std::min(capacity, kMaxOpusFrameBytes)));
  return bytes > 0 ? static_cast<size_t>(bytes) : 0;
}

int OpusFrameEncoder::LookaheadSamples() const {
  opus_int32 lookahead = 0;
  opus_encoder_ctl(encoder_, OPUS_GET_LOOKAHEAD(&lookahead));
  return lookahead;
}

std::unique_ptr<OpusFrameDecoder> OpusFrameDecoder::Create(std::string* error) {
  int status = OPUS_OK;
  OpusDecoder* decoder = opus_decoder_create(kSampleRate, 1, &status);
  if (decoder == nullptr || status != OPUS_OK) {
    *error = std::string("opus decoder: ") + opus_strerror(status);
    return nullptr;
  }
  return std::unique_ptr<OpusFrameDecoder>(new OpusFrameDecoder(decoder));
}

OpusFrameDecoder::~OpusFrameDecoder() { opus_decoder_destroy(decoder_); }

bool OpusFrameDecoder::Decode(const uint8_t* packet, size_t size, float* pcm) {
  const int samples = opus_decode_float(decoder_, packet, static_cast<opus_int32>(size), pcm,
                                        static_cast<int>(kFrameSamples), 0);
  if (samples == static_cast<int>(kFrameSamples)) return true;
  std::fill(pcm, pcm + kFrameSamples, 0.0f);
  return false;
}

void OpusFrameDecoder::Conceal(float* pcm) {
  const int samples =
      opus_decode_float(decoder_, nullptr, 0, pcm, static_cast<int>(kFrameSamples), 0);
  if (samples != static_cast<int>(kFrameSamples)) std::fill(pcm, pcm + kFrameSamples, 0.0f);
}

void OpusFrameDecoder::Reset() { opus_decoder_ctl(decoder_, OPUS_RESET_STATE); }

}  // namespace corvanetools::audio
