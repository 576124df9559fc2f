// The 22-byte header in front of every FEC datagram ('P' at byte 1): who sent
// it, its number in the sender's FEC stream and the block it belongs to. A
// source datagram wraps a whole media datagram after the header; a repair
// datagram carries repair bytes there, which are no media header at all.
#ifndef PACKET_FEC_HEADER_H_
#define PACKET_FEC_HEADER_H_

#include <cstddef>
#include <cstdint>

#include "packet/media_constants.h"

namespace corvaneserver {

// Offsets inside the FEC header, all fields big-endian.
constexpr size_t kFecUserIdOffset = 2;        // 8 bytes: the sending user
constexpr size_t kFecSequenceOffset = 10;     // 4 bytes: number in the FEC stream
constexpr size_t kFecBlockStartOffset = 14;   // 4 bytes: number of the block's first datagram
constexpr size_t kFecSourceCountOffset = 18;  // 1 byte: source datagrams in the block (k)

// The readers below take the first bytes of a FEC datagram.
// REQUIRES: at least kFecHeaderSize readable bytes at `data`.
uint64_t ChannelId(const unsigned char* data);
uint32_t SequenceNum(const unsigned char* data);
// True when the datagram's number lies less than k past its block start
// (s - b < k in 32-bit arithmetic, so across the wrap of the numbers too): it
// wraps a media datagram. Otherwise it is a repair datagram.
bool IsSourceAudio(const unsigned char* data);

}  // namespace corvaneserver

#endif  // PACKET_FEC_HEADER_H_
