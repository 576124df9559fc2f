#include "mfu/mfu_frame.h"

#include "base/byte_io.h"
#include "packet/udp_packet.h"

namespace corvaneserver {
namespace {

// Media header plus token header, in front of the token.
constexpr size_t kMediaAndTokenHeaderSize = kMediaHeaderSize + kTokenHeaderSize;
constexpr uint16_t kTokenLengthMask = 0x7FF;

}  // namespace

bool MfUFrame::operator>(const MfUFrame& other) const {
  if (priority != other.priority) return priority;
  return level > other.level;
}

FrameMarks ReadFrameMarks(const UDPPacket& packet) {
  FrameMarks marks;
  const size_t size = packet.size();
  const unsigned char* data = packet.data();
  if (size < kFecHeaderSize + kMediaAndTokenHeaderSize) return marks;
  const unsigned char* media = data + kFecHeaderSize;
  const size_t token_length = rtc::GetBE16(media + kMediaHeaderSize) & kTokenLengthMask;
  const size_t payload = kFecHeaderSize + kMediaAndTokenHeaderSize + token_length;
  if (payload < size) marks.level = data[payload];
  if (payload + 1 < size) marks.priority = (data[payload + 1] & kFramePriorityMask) != 0;
  return marks;
}

}  // namespace corvaneserver
