#include "client/audio/wav_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

#include "client/audio/audio_format.h"
#include "client/audio/resampler.h"

namespace corvanetools::audio {

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr size_t kFmtMinimum = 16;
constexpr size_t kFmtExtensible = 40;  // with the sub-format GUID at offset 24
constexpr int kMaxChannels = 64;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(uint16_t v, std::string* out) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void PutLe32(uint32_t v, std::string* out) {
  PutLe16(static_cast<uint16_t>(v & 0xFFFF), out);
  PutLe16(static_cast<uint16_t>(v >> 16), out);
}

// One sample of `bits` at p as a float in [-1, 1].
float SampleAt(const uint8_t* p, int bits, bool is_float) {
  if (is_float) {
    float value = 0;
    std::memcpy(&value, p, sizeof(value));  // little-endian host
    return std::isfinite(value) ? value : 0.0f;
  }
  switch (bits) {
    case 8:
      return (static_cast<int>(p[0]) - 128) / 128.0f;
    case 16:
      return static_cast<int16_t>(Le16(p)) / 32768.0f;
    case 24: {
      int32_t v = static_cast<int32_t>(p[0] | (p[1] << 8) | (p[2] << 16));
      if ((v & 0x800000) != 0) v -= 0x1000000;
      return static_cast<float>(v / 8388608.0);
    }
    default:
      return static_cast<float>(static_cast<int32_t>(Le32(p)) / 2147483648.0);
  }
}

}  // namespace

bool ParseWav(const uint8_t* data, size_t size, std::vector<float>* mono, WavInfo* info,
              std::string* error) {
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
    *error = "not a RIFF/WAVE file";
    return false;
  }
  bool have_format = false;
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint8_t* chunk = data + pos;
    const size_t length = Le32(chunk + 4);
    const size_t body = pos + 8;
    const size_t available = size - body;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (length < kFmtMinimum || length > available) {
        *error = "bad fmt chunk";
        return false;
      }
      uint16_t format = Le16(data + body);
      info->channels = Le16(data + body + 2);
      info->sample_rate = static_cast<int>(Le32(data + body + 4));
      info->bits = Le16(data + body + 14);
      if (format == kFormatExtensible && length >= kFmtExtensible) format = Le16(data + body + 24);
      info->is_float = format == kFormatFloat;
      if (format != kFormatPcm && format != kFormatFloat) {
        *error = "unsupported WAV encoding " + std::to_string(format) + " (PCM or float only)";
        return false;
      }
      const bool bits_ok = info->is_float ? info->bits == 32
                                          : (info->bits == 8 || info->bits == 16 ||
                                             info->bits == 24 || info->bits == 32);
      if (!bits_ok || info->channels < 1 || info->channels > kMaxChannels ||
          info->sample_rate < 1000 || info->sample_rate > 768000) {
        *error = "unsupported WAV format (" + std::to_string(info->channels) + " channels, " +
                 std::to_string(info->bits) + " bits, " + std::to_string(info->sample_rate) +
                 " Hz)";
        return false;
      }
      have_format = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_format) {
        *error = "data chunk before the fmt chunk";
        return false;
      }
      // A streamed file may leave the length unset (0 or 0xFFFFFFFF): take what is there.
      const size_t bytes = (length == 0 || length > available) ? available : length;
      const size_t width = static_cast<size_t>(info->bits / 8);
      const size_t frame = width * static_cast<size_t>(info->channels);
      const size_t count = bytes / frame;
      mono->assign(count, 0.0f);
      for (size_t i = 0; i < count; ++i) {
        float sum = 0;
        for (int c = 0; c < info->channels; ++c) {
          sum += SampleAt(data + body + i * frame + static_cast<size_t>(c) * width, info->bits,
                          info->is_float);
        }
        (*mono)[i] = sum / static_cast<float>(info->channels);
      }
      return true;
    }
    // Chunks are padded to an even length.
    const size_t next = length + (length & 1);
    if (next > available) break;
    pos = body + next;
  }
  *error = have_format ? "no data chunk" : "no fmt chunk";
  return false;
}

bool ReadWavFile(const std::string& path, std::vector<float>* samples, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  std::vector<float> mono;
  WavInfo info;
  if (!ParseWav(bytes.data(), bytes.size(), &mono, &info, error)) {
    *error = path + ": " + *error;
    return false;
  }
  *samples = Resample(mono, info.sample_rate, kSampleRate);
  return true;
}

bool WriteWavFile(const std::string& path, const std::vector<float>& samples, int sample_rate,
                  std::string* error) {
  const uint32_t data_bytes = static_cast<uint32_t>(samples.size() * 2);
  std::string out;
  out.reserve(44 + data_bytes);
  out += "RIFF";
  PutLe32(36 + data_bytes, &out);
  out += "WAVEfmt ";
  PutLe32(16, &out);
  PutLe16(kFormatPcm, &out);
  PutLe16(1, &out);
  PutLe32(static_cast<uint32_t>(sample_rate), &out);
  PutLe32(static_cast<uint32_t>(sample_rate) * 2, &out);
  PutLe16(2, &out);
  PutLe16(16, &out);
  out += "data";
  PutLe32(data_bytes, &out);
  for (const float s : samples) {
    const long v = std::lround(std::clamp(s, -1.0f, 1.0f) * 32767.0f);
    PutLe16(static_cast<uint16_t>(static_cast<int16_t>(v)), &out);
  }
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(out.data(), static_cast<std::streamsize>(out.size()));
  file.close();
  if (!file) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace corvanetools::audio
