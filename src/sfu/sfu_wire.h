// Server-to-server and NACK datagrams of the forwarding server: the cascade
// datagram a link sends to prove itself (and expects back from its peer), and
// the part of a NACK that the server reads to route it.
#ifndef SFU_SFU_WIRE_H_
#define SFU_SFU_WIRE_H_

#include <cstddef>
#include <cstdint>

#include "base/socket_address.h"
#include "packet/media_constants.h"

namespace corvaneserver {

// Where a NACK's sender may put its own user id (the media header's id); the
// server reads it only as a hint to find the sender among the room's members.
constexpr size_t kNackSenderIdOffset = 6;

// Where a cascade datagram carries its mark: 0 in a link's detect datagram, and
// kCascadeAnswerMark in the answer a server sends back to that detect datagram.
// An answer is never answered, so two servers cannot keep answering each other.
constexpr size_t kCascadeMarkOffset = 2;
constexpr uint32_t kCascadeAnswerMark = 1;

struct CascadeFields {
  uint64_t room_id = 0;
  uint32_t address_hash = 0;
  bool answer = false;  // the mark is not 0
};

// The value a cascade link and its peer exchange for `address`: the low 32 bits
// of its hash (IPv4 address XOR (port | port << 16)).
uint32_t CascadeAddressHash(const rtc::SocketAddress& address);

void BuildCascadePacket(uint64_t room_id, uint32_t address_hash,
                        uint8_t (&out)[kCascadePacketSize]);
// The answer to a detect datagram: the same room id and value, marked.
void BuildCascadeAnswer(uint64_t room_id, uint32_t address_hash,
                        uint8_t (&out)[kCascadePacketSize]);
// False (and *fields untouched) when the datagram is shorter than 18 bytes.
bool ParseCascadePacket(const uint8_t* data, size_t size, CascadeFields* fields);
// The user id a NACK is about; false when the datagram is shorter than 22 bytes.
bool ParseNackUserId(const uint8_t* data, size_t size, uint64_t* user_id);

}  // namespace corvaneserver

#endif  // SFU_SFU_WIRE_H_
