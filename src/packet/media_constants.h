// The numbers of the media protocol on UDP: payload types, flag bits and the
// sizes of the datagrams the servers read and build. Every multi-byte number
// on the wire is big-endian.
//
#ifndef PACKET_MEDIA_CONSTANTS_H_
#define PACKET_MEDIA_CONSTANTS_H_

#include <cstddef>
#include <cstdint>

namespace corvaneserver {

// --- Header layout -----------------------------------------------------------
// Offsets inside the media header: flags (1 byte), payload type (1), sequence
// number (4), user id (8).
constexpr unsigned int kMediaFlagsOffset = 0;
constexpr unsigned int kMediaPayloadTypeOffset = 1;
constexpr unsigned int kMediaSequenceOffset = 2;
constexpr unsigned int kMediaUserIdOffset = 6;
// Bytes of the common media header: flags, payload type, sequence number, id.
constexpr unsigned int kMediaHeaderSize = 14;
// The token header sits right after the media header: 0x0800 | token length,
// or 0; then the token.
constexpr unsigned int kTokenHeaderOffset = kMediaHeaderSize;
constexpr unsigned int kTokenHeaderSize = 2;
constexpr unsigned int kTokenOffset = kTokenHeaderOffset + kTokenHeaderSize;
// Bytes of the FEC header in front of the wrapped datagram.
constexpr unsigned int kFecHeaderSize = 22;

// --- Flags byte --------------------------------------------------------------
// Bit 4: the sender asks for an acknowledgement.
constexpr uint8_t kAckFlag = 0x10;
// Flags of every datagram the server builds (never asks for an ack).
constexpr uint8_t kServerPacketFlags = 0xA0;
// Flags of the server's receiver report: kServerPacketFlags with one block.
constexpr uint8_t kServerReportFlags = 0xA1;

// --- Payload types (byte 1) --------------------------------------------------
// Byte 1 of every FEC datagram.
constexpr uint8_t kFecMarker = 0x50;                  // 'P'
constexpr uint8_t kAuthenticationPayloadType = 0x62;  // 'b', answer to a rejected datagram
constexpr uint8_t kCascadePayloadType = 0x6E;         // 'n', server to server
constexpr uint8_t kMusicPayloadType = 0x80;           // the room keeps the newest
constexpr uint8_t kRetainedPayloadType = 0x82;        // kept until acknowledged
constexpr uint8_t kReceiverReportPayloadType = 0xC8;  // 200
constexpr uint8_t kNackPayloadType = 0xCA;            // 202

// --- Datagram sizes ----------------------------------------------------------
// A probe a client sends before its media: exactly 12 bytes starting "COr".
constexpr unsigned int kDetectPktSize = 12;
inline constexpr uint8_t detect_pkt[3] = {0x43, 0x4F, 0x72};
// The server's answer to a datagram from a new address with a wrong token: a
// media header (the datagram's sequence number, the member's id), then a 0.
constexpr size_t kAuthenticationPacketSize = 15;
// The cascade datagram servers exchange (its layout: sfu/sfu_wire.h).
constexpr size_t kCascadePacketSize = 18;
// The server's acknowledgement of a datagram that asked for one: a media
// header (payload type one below the acknowledged one, its sequence number,
// user id 0), then the acknowledged datagram's sender (8 bytes).
constexpr size_t kAckUserIdOffset = kMediaHeaderSize;
constexpr size_t kAckPacketSize = 22;
static_assert(kAckPacketSize == kAckUserIdOffset + 8);
// A NACK is at least long enough to name the user whose datagrams it asks for
// (its layout: sfu/sfu_wire.h).
constexpr size_t kNackMinSize = 22;
// The server's receiver report to a speaker: header and one block.
constexpr size_t kServerReportSize = 26;
// Capacity of every received datagram; longer ones arrive cut to this.
constexpr unsigned int kMaxUdpPacketSize = 1500;

}  // namespace corvaneserver

#endif  // PACKET_MEDIA_CONSTANTS_H_
