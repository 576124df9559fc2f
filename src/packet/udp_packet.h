// One media datagram: its bytes, the socket and sender it came from, and the
// accessors of the media header. Shared by std::shared_ptr, never copied.
//
// Length rule: no accessor reads past size(). Callers that need a header field
// check HasMediaHeader() (or HasRawBytes()) first and drop a datagram that is
// too short; the accessors themselves answer 0 / false / "" for missing bytes.
#ifndef PACKET_UDP_PACKET_H_
#define PACKET_UDP_PACKET_H_

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/socket_address.h"
#include "packet/fec_header.h"
#include "packet/media_constants.h"

namespace corvaneserver {

class UDPPacket : public std::enable_shared_from_this<UDPPacket> {
 public:
  // Empty datagram with room for `capacity` bytes; socket -1, nil source.
  explicit UDPPacket(unsigned int capacity);
  // A datagram holding a copy of the given bytes; size == capacity == size.
  UDPPacket(const unsigned char* data, unsigned int size);
  ~UDPPacket() = default;
  UDPPacket(const UDPPacket&) = delete;
  UDPPacket& operator=(const UDPPacket&) = delete;

  // --- Buffer -------------------------------------------------------------
  // The whole outer datagram; builders write through the mutable form and
  // then call SetSize(). May be null for a capacity of 0.
  const unsigned char* data() const { return buffer_.get(); }
  unsigned char* data() { return buffer_.get(); }
  unsigned int size() const { return size_; }
  unsigned int capcity() const { return capacity_; }
  // Ignored when above the capacity; never reallocates, never touches bytes.
  void SetSize(unsigned int size);

  // --- Socket, source and times -------------------------------------------
  int socket() const { return socket_; }
  // Stores the receiving socket and the sender, and stamps the receive time.
  void SetSocket(int socket, const sockaddr_in& from);
  void SetSocket(int socket, const rtc::SocketAddress& from);
  // The same with the time of the read (rtc::TimeMillis(), taken once for a
  // batch) and how long the datagram had waited in the socket buffer before it.
  void SetSocket(int socket, const sockaddr_in& from, int64_t receive_time_ms,
                 int64_t kernel_wait_ms);
  rtc::SocketAddress FromAddress() const { return from_address_; }
  // rtc::TimeMillis() when the datagram was read (at SetSocket), 0 before.
  int64_t ReceiveTime() const { return receive_time_ms_; }
  // When it reached the socket: ReceiveTime() less its wait in the kernel.
  int64_t ArrivalTime() const { return receive_time_ms_ - kernel_wait_ms_; }

  // --- Length checks ------------------------------------------------------
  // Offset of the media header: 22 for a FEC datagram, else 0.
  unsigned int RawOffset() const { return IsFecPacket() ? kFecHeaderSize : 0; }
  // Bytes from the media header on (0 when even the FEC header is cut short).
  unsigned int RawSize() const {
    const unsigned int offset = RawOffset();
    return size_ >= offset ? size_ - offset : 0;
  }
  // True when at least `count` bytes follow the start of the media header.
  bool HasRawBytes(unsigned int count) const { return RawSize() >= count && size_ >= RawOffset(); }
  // True when every header accessor (Ack, PayloadType, SequenceNum, UserId)
  // reads real bytes.
  bool HasMediaHeader() const { return HasRawBytes(kMediaHeaderSize); }

  // --- Header accessors -----------------------------------------------------
  // Byte 1 of the outer datagram is 'P'.
  bool IsFecPacket() const { return size_ >= 2 && buffer_[1] == kFecMarker; }
  // A FEC datagram whose whole FEC header is present and whose number lies k or
  // more past its block start (see IsSourceAudio): it carries repair bytes, not
  // a media datagram.
  // Its media header accessors read those repair bytes; handlers check this
  // first and treat it as voice: never routed, acknowledged, kept or altered by
  // what those bytes happen to hold.
  bool IsFecRepair() const;
  // Exactly 12 bytes beginning "COr", whatever else it holds.
  bool IsDetectPacket() const;
  // Start of the media header; null when a FEC datagram is shorter than its
  // FEC header.
  const unsigned char* GetRawData() const;
  // Bit 4 of the flags byte: the sender asks for an acknowledgement. Never
  // for a repair datagram, which has no flags byte.
  bool Ack() const;
  uint8_t PayloadType() const;
  uint32_t SequenceNum() const;
  // Bytes 2-9 of the outer datagram for a FEC datagram, 6-13 otherwise.
  uint64_t UserId() const;
  // Declared token length when the token header announces one whose bytes
  // all lie inside the datagram; 0 otherwise, and always for a repair datagram.
  unsigned int TokenLength() const;
  // The token bytes as a new string, or "" when there is none (see TokenLength).
  std::string Token() const;
  // Clears the acknowledgement bit in place, leaving the other flag bits.
  // Only the thread handling the datagram calls it, before fan-out.
  // Does nothing to a repair datagram.
  void ResetAck();

  // --- Sending --------------------------------------------------------------
  // Sends the whole outer datagram to `to` through `socket` with one sendto.
  // Returns 0 without sending when `to` is not complete or `socket` < 0, -1 when
  // `to` is not IPv4, else what sendto returns.
  int Send(const rtc::SocketAddress& to, int socket) const;

 private:
  // Allocated by this; its size never changes.
  std::unique_ptr<unsigned char[]> buffer_;
  unsigned int capacity_ = 0;
  unsigned int size_ = 0;

  // Written by the receive thread before hand-over, read-only afterwards.
  int socket_ = -1;
  rtc::SocketAddress from_address_;
  int64_t receive_time_ms_ = 0;
  int64_t kernel_wait_ms_ = 0;
};

// Payload-type predicates.
bool IsRtcp(unsigned char payload_type);       // 200, receiver report
bool IsNack(unsigned char payload_type);       // 202
bool IsCascade(unsigned char payload_type);    // 'n', server to server
bool IsAckPacket(unsigned char payload_type);  // any odd value

}  // namespace corvaneserver

#endif  // PACKET_UDP_PACKET_H_
