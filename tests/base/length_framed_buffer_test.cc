// The 3-byte length framing of the control link, without sockets.
#include "base/length_framed_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace rtc {
namespace {

using Bytes = std::vector<uint8_t>;

// A message of total length `length` whose body bytes count up from `seed`.
Bytes Message(uint32_t length, uint8_t seed) {
  Bytes m(length);
  m[0] = static_cast<uint8_t>(length >> 16);
  m[1] = static_cast<uint8_t>(length >> 8);
  m[2] = static_cast<uint8_t>(length);
  for (size_t i = 3; i < length; ++i) m[i] = static_cast<uint8_t>(seed + i);
  return m;
}

struct Collector {
  std::vector<Bytes> messages;
  LengthFramedBuffer::MessageCallback callback() {
    return [this](const uint8_t* data, size_t size) {
      messages.emplace_back(data, data + size);
      return true;
    };
  }
};

// Feeds the stream in chunks of the given sizes (cycled).
LengthFramedBuffer::Result Feed(LengthFramedBuffer* buffer, const Bytes& stream,
                                const std::vector<size_t>& chunks, Collector* out) {
  size_t offset = 0;
  size_t turn = 0;
  LengthFramedBuffer::Result result = LengthFramedBuffer::Result::kOk;
  while (offset < stream.size()) {
    const size_t n =
        std::min({chunks[turn++ % chunks.size()], stream.size() - offset, buffer->WritableSize()});
    EXPECT_GT(n, 0u) << "no room left for input";
    if (n == 0) break;
    std::memcpy(buffer->WritePtr(), stream.data() + offset, n);
    offset += n;
    result = buffer->Append(n, out->callback());
    if (result != LengthFramedBuffer::Result::kOk) break;
  }
  return result;
}

TEST(LengthFramedBufferTest, CoalescedMessagesComeOutInOrder) {
  const Bytes a = Message(10, 1), b = Message(3, 2), c = Message(300, 3);
  Bytes stream = a;
  stream.insert(stream.end(), b.begin(), b.end());
  stream.insert(stream.end(), c.begin(), c.end());
  LengthFramedBuffer buffer(65538);
  Collector out;
  EXPECT_EQ(Feed(&buffer, stream, {stream.size()}, &out), LengthFramedBuffer::Result::kOk);
  EXPECT_EQ(out.messages, (std::vector<Bytes>{a, b, c}));
  EXPECT_EQ(buffer.size(), 0u);
}

TEST(LengthFramedBufferTest, EverySplitPointGivesTheSameMessages) {
  const Bytes a = Message(12, 1), b = Message(10, 2);
  Bytes stream = a;
  stream.insert(stream.end(), b.begin(), b.end());
  for (size_t split = 1; split < stream.size(); ++split) {
    LengthFramedBuffer buffer(65538);
    Collector out;
    std::memcpy(buffer.WritePtr(), stream.data(), split);
    ASSERT_EQ(buffer.Append(split, out.callback()), LengthFramedBuffer::Result::kOk);
    // Nothing is handed out before its last byte.
    EXPECT_EQ(out.messages.size(), split >= a.size() ? 1u : 0u) << split;
    std::memcpy(buffer.WritePtr(), stream.data() + split, stream.size() - split);
    ASSERT_EQ(buffer.Append(stream.size() - split, out.callback()),
              LengthFramedBuffer::Result::kOk);
    EXPECT_EQ(out.messages, (std::vector<Bytes>{a, b})) << split;
  }
}

TEST(LengthFramedBufferTest, ByteByByte) {
  const Bytes a = Message(65538, 9);
  LengthFramedBuffer buffer(65538);
  Collector out;
  EXPECT_EQ(Feed(&buffer, a, {1}, &out), LengthFramedBuffer::Result::kOk);
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_EQ(out.messages[0], a);
}

TEST(LengthFramedBufferTest, LargestMessagesBackToBack) {
  Bytes stream;
  for (uint8_t i = 0; i < 4; ++i) {
    const Bytes m = Message(65538 - i, i);
    stream.insert(stream.end(), m.begin(), m.end());
  }
  LengthFramedBuffer buffer(65538);
  Collector out;
  EXPECT_EQ(Feed(&buffer, stream, {40000, 70000, 1, 65538}, &out), LengthFramedBuffer::Result::kOk);
  ASSERT_EQ(out.messages.size(), 4u);
  for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(out.messages[i], Message(65538 - i, i));
}

TEST(LengthFramedBufferTest, LengthsNoMessageCanHaveLoseTheFraming) {
  for (uint32_t bad : {0u, 1u, 2u, 65539u, 0xFFFFFFu}) {
    const Bytes good = Message(5, 1);
    Bytes stream = good;
    stream.push_back(static_cast<uint8_t>(bad >> 16));
    stream.push_back(static_cast<uint8_t>(bad >> 8));
    stream.push_back(static_cast<uint8_t>(bad));
    stream.push_back(0x55);
    LengthFramedBuffer buffer(65538);
    Collector out;
    EXPECT_EQ(Feed(&buffer, stream, {stream.size()}, &out),
              LengthFramedBuffer::Result::kFramingLost)
        << bad;
    EXPECT_EQ(buffer.bad_length(), bad);
    // The good message before it was handed out first.
    EXPECT_EQ(out.messages, (std::vector<Bytes>{good}));
  }
}

TEST(LengthFramedBufferTest, BadLengthIsSeenAsSoonAsItsThreeBytesArrive) {
  LengthFramedBuffer buffer(65538);
  Collector out;
  const Bytes stream = {0x01, 0x00, 0x03};  // 65539
  std::memcpy(buffer.WritePtr(), stream.data(), 2);
  EXPECT_EQ(buffer.Append(2, out.callback()), LengthFramedBuffer::Result::kOk);
  std::memcpy(buffer.WritePtr(), stream.data() + 2, 1);
  EXPECT_EQ(buffer.Append(1, out.callback()), LengthFramedBuffer::Result::kFramingLost);
  EXPECT_EQ(buffer.bad_length(), 65539u);
}

TEST(LengthFramedBufferTest, StopFromTheCallbackHandsOutNothingMore) {
  const Bytes a = Message(4, 1), b = Message(4, 2);
  Bytes stream = a;
  stream.insert(stream.end(), b.begin(), b.end());
  LengthFramedBuffer buffer(65538);
  int calls = 0;
  std::memcpy(buffer.WritePtr(), stream.data(), stream.size());
  EXPECT_EQ(buffer.Append(stream.size(),
                          [&](const uint8_t*, size_t) {
                            ++calls;
                            return false;
                          }),
            LengthFramedBuffer::Result::kStopped);
  EXPECT_EQ(calls, 1);
  buffer.Clear();
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.WritableSize(), 65538u);
}

TEST(LengthFramedBufferTest, IncompleteMessageWaits) {
  LengthFramedBuffer buffer(65538);
  Collector out;
  const Bytes a = Message(100, 3);
  std::memcpy(buffer.WritePtr(), a.data(), 99);
  EXPECT_EQ(buffer.Append(99, out.callback()), LengthFramedBuffer::Result::kOk);
  EXPECT_TRUE(out.messages.empty());
  EXPECT_EQ(buffer.size(), 99u);
  EXPECT_EQ(buffer.WritableSize(), 65538u - 99);
}

}  // namespace
}  // namespace rtc
