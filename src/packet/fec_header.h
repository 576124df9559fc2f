// The 22-byte header in front of every FEC datagram ('P' at byte 1): who sent
// it, its number in the sender's FEC stream and the block it belongs to. A
// source datagram wraps a whole media datagram after the header; a repair
// datagram carries repair bytes there, which are no media header at all.
// This header is the one statement of the layout: the FEC decoder, the test
// and client tools read and write it through the names below.
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
constexpr size_t kFecRepairCountOffset = 19;  // 1 byte: repair datagrams in the block (r)
// The codec's symbol runs from here to the end of the datagram. In a source
// datagram it is a 2-byte length L, then the L-byte media datagram, which
// therefore starts at kFecHeaderSize.
constexpr size_t kFecSymbolOffset = 20;
static_assert(kFecHeaderSize == kFecSymbolOffset + 2);

// The header's fields.
struct FecHeader {
  uint64_t user_id = 0;
  uint32_t sequence = 0;  // s, number in the sender's FEC stream
  uint32_t start = 0;     // b, number of the block's first datagram
  uint8_t k = 0;
  uint8_t r = 0;
};

// Reads the header; false, with *header untouched, when the datagram is
// shorter than kFecHeaderSize. Byte 1 is not looked at.
bool ParseFecHeader(const unsigned char* data, size_t size, FecHeader* header);
// Writes bytes 2 to kFecSymbolOffset - 1; the caller writes the flags and
// marker bytes. REQUIRES: kFecSymbolOffset writable bytes at `out`.
void WriteFecHeader(const FecHeader& header, unsigned char* out);

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
