// Reading and writing RIFF/WAVE files. Reading takes 8-, 16-, 24- and 32-bit
// integer PCM and 32-bit float (plain or WAVE_FORMAT_EXTENSIBLE), mixes the
// channels down to mono by their mean and resamples to 48 kHz; writing always
// writes 16-bit mono PCM.
#ifndef TOOLS_CLIENT_AUDIO_WAV_FILE_H_
#define TOOLS_CLIENT_AUDIO_WAV_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvanetools::audio {

struct WavInfo {
  int sample_rate = 0;
  int channels = 0;
  int bits = 0;
  bool is_float = false;
};

// Parses a whole file held in memory into mono samples at its own rate.
// False with a reason for anything that is not a WAVE file of a kind above
// (never reads past `size`).
bool ParseWav(const uint8_t* data, size_t size, std::vector<float>* mono, WavInfo* info,
              std::string* error);

// Reads `path` as mono 48 kHz samples.
bool ReadWavFile(const std::string& path, std::vector<float>* samples, std::string* error);

// Writes the samples as 16-bit mono PCM at `sample_rate`, clipping to full scale.
bool WriteWavFile(const std::string& path, const std::vector<float>& samples, int sample_rate,
                  std::string* error);

}  // namespace corvanetools::audio

#endif  // TOOLS_CLIENT_AUDIO_WAV_FILE_H_
