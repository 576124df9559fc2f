// Input side of a stream whose messages each start with their own total
// length in 3 big-endian bytes, with no other framing: a fixed buffer that the
// reader fills and that hands out every complete message at its front.
#ifndef BASE_LENGTH_FRAMED_BUFFER_H_
#define BASE_LENGTH_FRAMED_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace rtc {

class LengthFramedBuffer {
 public:
  // Bytes of the length at the front of every message.
  static constexpr size_t kLengthSize = 3;

  enum class Result {
    kOk,           // every complete message was handed out
    kStopped,      // the message callback asked to stop; call Clear() before reuse
    kFramingLost,  // a stored length no message can have; see bad_length()
  };

  // Called once per complete message (its length bytes included). Returns
  // false to stop at once, e.g. after the connection was closed or its owner
  // destroyed from inside; the buffer is then not touched again, so its
  // contents are undefined until Clear().
  using MessageCallback = std::function<bool(const uint8_t* data, size_t size)>;

  // capacity is the largest message the stream may carry.
  explicit LengthFramedBuffer(size_t capacity);

  // Where the next read goes, and how much room is left there. The room is
  // never 0 while Append() keeps returning kOk: a message that fits the
  // capacity always fits once the messages before it are consumed.
  uint8_t* WritePtr() { return buffer_.data() + size_; }
  size_t WritableSize() const { return buffer_.size() - size_; }

  // Takes `count` bytes just written at WritePtr() and hands out every
  // complete message. A stored length below 3 (a message cannot be shorter
  // than its own length) or above the capacity (it could never complete)
  // means the stream has lost its framing: kFramingLost, and the buffer is
  // left as it is.
  Result Append(size_t count, const MessageCallback& on_message);

  // Bytes of an incomplete message waiting for the rest.
  size_t size() const { return size_; }
  size_t capacity() const { return buffer_.size(); }
  // The stored length that caused kFramingLost.
  uint32_t bad_length() const { return bad_length_; }
  void Clear() { size_ = 0; }

 private:
  std::vector<uint8_t> buffer_;
  size_t size_ = 0;
  uint32_t bad_length_ = 0;
};

}  // namespace rtc

#endif  // BASE_LENGTH_FRAMED_BUFFER_H_
