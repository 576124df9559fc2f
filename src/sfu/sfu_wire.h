// Server-to-server and NACK datagrams of the forwarding server: the cascade
// datagram a link sends to prove itself (and expects back from its peer), and
// the NACK, routed by the server and served by the member's retransmission
// buffer. Their layouts are stated here once; all numbers are big-endian.
#ifndef SFU_SFU_WIRE_H_
#define SFU_SFU_WIRE_H_

#include <cstddef>
#include <cstdint>

#include "base/socket_address.h"
#include "packet/media_constants.h"

namespace corvaneserver {

// NACK (payload type 202). Where its sender may put its own user id (the media
// header's id); the server reads it only as a hint to find the sender among the
// room's members.
constexpr size_t kNackSenderIdOffset = kMediaUserIdOffset;
// The user whose datagrams it asks for (8 bytes).
constexpr size_t kNackUserIdOffset = 14;
static_assert(kNackMinSize == kNackUserIdOffset + 8);
// The sequence number the mask counts from (4 bytes), and the mask (2 bytes):
// bit i asks for reference + 1 + i.
constexpr size_t kNackReferenceOffset = 22;
constexpr size_t kNackMaskOffset = 26;
// Bytes a NACK needs for the fields the retransmission buffer reads.
constexpr size_t kNackPacketSize = kNackMaskOffset + 2;

// Cascade datagram: flags, payload type 'n', the mark (4 bytes), the room id
// (8) and the address hash (4).
constexpr size_t kCascadeRoomIdOffset = 6;
constexpr size_t kCascadeAddressHashOffset = 14;
static_assert(kCascadePacketSize == kCascadeAddressHashOffset + 4);
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
