// One speaker's contribution to one mixer pass: a run of its FEC datagrams
// with the marks the mixer ranks it by.
#ifndef MFU_MFU_FRAME_H_
#define MFU_MFU_FRAME_H_

#include <cstdint>
#include <list>
#include <memory>

namespace corvaneserver {

class UDPPacket;

// Bit of payload byte 1 that marks a frame as having priority.
constexpr uint8_t kFramePriorityMask = 0x10;

struct MfUFrame {
  // Any source datagram of the frame carries the priority mark.
  bool priority = false;
  // The largest payload byte 0 over the frame's source datagrams.
  uint8_t level = 0;
  // The frame's FEC datagrams, in the order they were queued.
  std::list<std::shared_ptr<UDPPacket>> packets;

  // Priority first, then the higher level. Equal frames are not greater than
  // each other.
  bool operator>(const MfUFrame& other) const;
};

// Payload bytes 0 and 1 of the media datagram wrapped in a FEC source
// datagram; the payload starts after the 16-byte media and token headers and
// the token (low 11 bits of the token header). Bytes that the datagram does
// not hold read as 0.
struct FrameMarks {
  uint8_t level = 0;
  bool priority = false;
};
FrameMarks ReadFrameMarks(const UDPPacket& packet);

}  // namespace corvaneserver

#endif  // MFU_MFU_FRAME_H_
