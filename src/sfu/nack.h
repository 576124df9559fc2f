// The per-user retransmission buffer: keeps the media datagrams that the user's
// FEC decoder hands out and resends the ones a NACK asks for.
//
// Every voice channel is built with its NACK switch off, so no channel makes a
// buffer and a NACK is answered by nothing. The FEC-backed implementation comes
// with the FEC decoder; this class fixes the interface the channel calls.
#ifndef SFU_NACK_H_
#define SFU_NACK_H_

#include <cstdint>
#include <memory>

namespace corvaneserver {

class UDPPacket;

class Nack {
 public:
  explicit Nack(uint64_t user_id) : user_id_(user_id) {}
  Nack(const Nack&) = delete;
  Nack& operator=(const Nack&) = delete;

  uint64_t user_id() const { return user_id_; }
  // A datagram of the user that the channel accepted (neither ack nor music).
  // -1 for anything that is not a FEC datagram.
  int OnPacketReceived(const std::shared_ptr<UDPPacket>& packet);
  // A NACK naming this user. -1 while nothing is kept.
  int OnNackReceived(const std::shared_ptr<UDPPacket>& nack);

 private:
  const uint64_t user_id_;
};

}  // namespace corvaneserver

#endif  // SFU_NACK_H_
