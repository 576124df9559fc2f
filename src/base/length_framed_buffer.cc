#include "base/length_framed_buffer.h"

#include <algorithm>
#include <cstring>

namespace rtc {

LengthFramedBuffer::LengthFramedBuffer(size_t capacity)
    : buffer_(std::max(capacity, kLengthSize)) {}

LengthFramedBuffer::Result LengthFramedBuffer::Append(size_t count,
                                                      const MessageCallback& on_message) {
  size_ += std::min(count, WritableSize());
  size_t consumed = 0;
  Result result = Result::kOk;
  while (size_ - consumed >= kLengthSize) {
    const uint8_t* front = buffer_.data() + consumed;
    const uint32_t length =
        (uint32_t{front[0]} << 16) | (uint32_t{front[1]} << 8) | uint32_t{front[2]};
    if (length < kLengthSize || length > buffer_.size()) {
      bad_length_ = length;
      result = Result::kFramingLost;
      break;
    }
    if (length > size_ - consumed) break;
    consumed += length;
    // The owner may be gone once the callback says stop: touch nothing.
    if (!on_message(front, length)) return Result::kStopped;
  }
  if (consumed > 0) {
    std::memmove(buffer_.data(), buffer_.data() + consumed, size_ - consumed);
    size_ -= consumed;
  }
  return result;
}

}  // namespace rtc
