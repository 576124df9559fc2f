// Feeds arbitrary bytes to the WAV reader that loads a speaker's audio, as an
// exactly sized buffer so that a read past its end trips ASan.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/audio/wav_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  if (size > 0) std::memcpy(copy.get(), data, size);
  std::vector<float> mono;
  corvanetools::audio::WavInfo info;
  std::string error;
  if (corvanetools::audio::ParseWav(copy.get(), size, &mono, &info, &error)) {
    if (mono.size() * static_cast<size_t>(info.bits / 8) > size) __builtin_trap();
  }
  return 0;
}
