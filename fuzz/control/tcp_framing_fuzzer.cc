// The control link's input framing fed an arbitrary byte stream in arbitrary
// chunks, as the socket does with what each read returns. The first input
// byte seeds the chunk sizes; the rest is the stream.
//
// Invariants: every message handed out carries its own length (3 to 65538
// bytes), the messages are the stream cut in order, a message never comes
// out before its last byte, and there is always room for the next read
// until the framing is reported lost.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/length_framed_buffer.h"
#include "control/control_header.h"

#include "fuzz_check.h"

namespace {

constexpr size_t kCapacity = corvaneserver::kMaxControlMessageSize;

uint32_t StoredLength(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using fuzzcheck::Check;
  if (size == 0) return 0;
  uint32_t chunk_seed = data[0] * 2654435761u + 1;
  const uint8_t* stream = data + 1;
  const size_t stream_size = size - 1;

  rtc::LengthFramedBuffer buffer(kCapacity);
  size_t fed = 0;
  size_t handed_out = 0;  // stream bytes consumed as messages
  rtc::LengthFramedBuffer::Result result = rtc::LengthFramedBuffer::Result::kOk;
  while (fed < stream_size) {
    Check(buffer.WritableSize() > 0);
    chunk_seed = chunk_seed * 1103515245u + 12345u;
    size_t chunk = 1 + (chunk_seed >> 16) % 64;
    if (chunk > stream_size - fed) chunk = stream_size - fed;
    if (chunk > buffer.WritableSize()) chunk = buffer.WritableSize();
    std::memcpy(buffer.WritePtr(), stream + fed, chunk);
    fed += chunk;
    result = buffer.Append(chunk, [&](const uint8_t* message, size_t length) {
      Check(length >= 3 && length <= kCapacity);
      Check(StoredLength(message) == length);
      Check(handed_out + length <= fed);
      Check(std::memcmp(message, stream + handed_out, length) == 0);
      handed_out += length;
      return true;
    });
    Check(buffer.size() == fed - handed_out);
    if (result == rtc::LengthFramedBuffer::Result::kFramingLost) {
      const uint32_t bad = StoredLength(stream + handed_out);
      Check(bad == buffer.bad_length() && (bad < 3 || bad > kCapacity));
      return 0;
    }
    Check(result == rtc::LengthFramedBuffer::Result::kOk);
    // What waits is an incomplete message (or fewer than 3 bytes).
    if (buffer.size() >= 3) Check(StoredLength(stream + handed_out) > buffer.size());
  }
  return 0;
}
