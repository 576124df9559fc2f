// Datagrams a simulated user sends and the classification of what it gets
// back. All numbers are big-endian. A user's media datagram is
//
//   0  flags (0x80; 0x10 added to ask for an acknowledgement)
//   1  payload type      2  sequence number (32)      6  user id (64)
//   14 token header (0x0800 | length, or 0 for none)  16 token
//   for a mixing server's speakers (and whenever FEC is on) two bytes first:
//     +0  level   +1  0x10 when the frame carries the priority mark
//   then the probe the receivers measure with:
//     +0  'c' 'v'   +2 stream kind   +3 0   +4 stream index (32)
//     +8  send time, microseconds of the monotonic clock (64)
//     +16 filler up to the configured payload size
#ifndef TOOLS_CLIENT_MEDIA_DATAGRAMS_H_
#define TOOLS_CLIENT_MEDIA_DATAGRAMS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "channel/receiver_report.h"
#include "packet/media_constants.h"

namespace corvanetools {

// The wire numbers shared with the servers, under the names the client uses.
constexpr uint8_t kAskAckFlag = corvaneserver::kAckFlag;
constexpr uint8_t kMusicPayloadType = corvaneserver::kMusicPayloadType;
constexpr uint8_t kReliablePayloadType = corvaneserver::kRetainedPayloadType;
constexpr uint8_t kAuthPayloadType = corvaneserver::kAuthenticationPayloadType;
constexpr uint8_t kCascadeType = corvaneserver::kCascadePayloadType;
constexpr uint8_t kReportPayloadType = corvaneserver::kReceiverReportPayloadType;
constexpr size_t kDetectSize = corvaneserver::kDetectPktSize;
constexpr size_t kMediaHeaderBytes = corvaneserver::kMediaHeaderSize;
constexpr size_t kCascadeDatagramSize = corvaneserver::kCascadePacketSize;
constexpr size_t kServerAckSize = corvaneserver::kAckPacketSize;
constexpr size_t kAuthAnswerSize = corvaneserver::kAuthenticationPacketSize;
constexpr size_t kServerReportSize = corvaneserver::kServerReportSize;
constexpr size_t kMaxReportBlocks = corvaneserver::kReceiverReportMaxBlocks;
constexpr size_t kMaxDatagramSize = corvaneserver::kMaxUdpPacketSize;

// The client's own.
constexpr uint8_t kClientFlags = 0x80;
constexpr uint8_t kDefaultVoicePayloadType = 0x64;
constexpr size_t kProbeSize = 16;
constexpr size_t kMaxTokenLength = 2047;

// What a probe belongs to. Each sender numbers each kind on its own.
enum class StreamKind : uint8_t {
  kControl = 0,   // handshake announce and keep-alive: not measured
  kVoice = 1,     // voice payload type
  kReliable = 2,  // 0x82, kept by the server until acknowledged
  kMusic = 3,     // 0x80
};
constexpr int kMeasuredStreams = 3;  // voice, reliable, music
// 0 for voice, 1 for reliable, 2 for music; -1 for control.
int StreamSlot(StreamKind kind);
const char* StreamName(StreamKind kind);

// A detect probe: "COr", a version byte 1 and the user id.
size_t BuildDetect(uint64_t user_id, uint8_t* out);
bool IsDetectDatagram(const uint8_t* data, size_t size);

struct MediaFields {
  uint8_t payload_type = kDefaultVoicePayloadType;
  bool ask_ack = false;
  uint32_t sequence = 0;
  uint64_t user_id = 0;
  const std::string* token = nullptr;  // null or empty: no token
  StreamKind kind = StreamKind::kVoice;
  uint32_t stream_index = 0;
  int64_t send_time_us = 0;
  size_t payload_size = kProbeSize;  // bytes after the token; at least kProbeSize
  // Level and priority bytes in front of the probe (payload_size counts them).
  bool mix_marks = false;
  uint8_t level = 0;
  bool priority = false;
};

constexpr size_t kMixMarkBytes = 2;
constexpr uint8_t kPriorityMark = 0x10;

// Writes the datagram; returns its size, or 0 when it does not fit `capacity`
// or the fields are unusable (payload below kProbeSize, plus kMixMarkBytes
// with mix marks; token over 2047 bytes).
size_t BuildMedia(const MediaFields& fields, uint8_t* out, size_t capacity);

// The acknowledgement of a datagram of payload type `acked_type`, sent by the
// acknowledging user: type acked_type - 1, the acknowledged sequence number,
// the user's own id and token, then the original sender's id. 0 if too small.
size_t BuildClientAck(uint8_t acked_type, uint32_t sequence, uint64_t user_id,
                      const std::string* token, uint64_t original_sender, uint8_t* out,
                      size_t capacity);

struct ReportBlock {
  uint64_t user_id = 0;
  uint32_t value = 0;
};
// A receiver report with `count` (at most 15) blocks: 14 + 12 * count bytes.
// 0 if count is above 15 or the buffer is too small.
size_t BuildReceiverReport(uint32_t sequence, uint64_t reporter_id, const ReportBlock* blocks,
                           size_t count, uint8_t* out, size_t capacity);

// A peer server's answer to a cascade detect datagram: flags 0xA0, type 'n',
// sequence 0, the room id and the address hash. 18 bytes.
size_t BuildCascadeAnswer(uint64_t room_id, uint32_t hash, uint8_t* out);

enum class Incoming {
  kMalformed,     // too short for what its type needs
  kDetectEcho,    // the 12-byte detect came back
  kAuthAnswer,    // 'b': the server refused our token
  kAck,           // any odd payload type: the server acknowledged one of ours
  kServerReport,  // 200: the aggregated receiver report for a speaker
  kCascade,       // 'n': a cascade datagram (what a peer server receives)
  kMedia,         // anything else: a forwarded datagram, plain or the source of a FEC one
  kFecRepair,     // a FEC repair datagram
};

struct IncomingDatagram {
  Incoming kind = Incoming::kMalformed;
  uint8_t flags = 0;
  uint8_t payload_type = 0;
  uint32_t sequence = 0;
  uint64_t id = 0;  // header id: user id, or room id of a cascade datagram
  // kAck: the id of the acknowledged datagram's sender (offset 14).
  uint64_t acked_user_id = 0;
  // kServerReport: the first block.
  uint64_t report_user_id = 0;
  uint32_t report_value = 0;
  // kCascade: the address hash.
  uint32_t cascade_hash = 0;
  // kMedia: wrapped in a FEC source datagram (the fields are the wrapped ones).
  bool fec = false;
  // kMedia: the level and priority bytes, when the probe follows them.
  bool has_mix_marks = false;
  uint8_t level = 0;
  bool priority = false;
  // kMedia: the probe, when the payload carries one.
  bool has_probe = false;
  StreamKind stream = StreamKind::kControl;
  uint32_t stream_index = 0;
  int64_t send_time_us = 0;
  // kMedia with a probe: what follows the probe (an Opus frame from a speaker
  // with speech, filler otherwise), inside the classified buffer.
  const uint8_t* body = nullptr;
  size_t body_size = 0;
};

// Classifies a received datagram without reading past `size`. A FEC source
// datagram is classified by the media datagram it wraps; a repair datagram
// gives kFecRepair with the sender's id.
IncomingDatagram ClassifyIncoming(const uint8_t* data, size_t size);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_MEDIA_DATAGRAMS_H_
