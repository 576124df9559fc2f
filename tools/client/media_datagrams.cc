#include "client/media_datagrams.h"

#include <cstring>

#include "base/byte_io.h"
#include "sfu/sfu_wire.h"

#include "client/fec_stream.h"

namespace corvanetools {

namespace {

constexpr uint8_t kProbeMagic0 = 'c';
constexpr uint8_t kProbeMagic1 = 'v';
constexpr uint8_t kServerFlags = corvaneserver::kServerPacketFlags;
constexpr uint16_t kTokenMarker = 0x0800;

void WriteHeader(uint8_t flags, uint8_t payload_type, uint32_t sequence, uint64_t id,
                 uint8_t* out) {
  out[corvaneserver::kMediaFlagsOffset] = flags;
  out[corvaneserver::kMediaPayloadTypeOffset] = payload_type;
  rtc::SetBE32(out + corvaneserver::kMediaSequenceOffset, sequence);
  rtc::SetBE64(out + corvaneserver::kMediaUserIdOffset, id);
}

// Token header and token at out + 14; returns the bytes written, or 0 when the
// token is too long (a missing token writes the 2-byte header 0).
size_t WriteToken(const std::string* token, uint8_t* out) {
  if (token == nullptr || token->empty()) {
    rtc::SetBE16(out, 0);
    return 2;
  }
  if (token->size() > kMaxTokenLength) return 0;
  rtc::SetBE16(out, static_cast<uint16_t>(kTokenMarker | token->size()));
  std::memcpy(out + 2, token->data(), token->size());
  return 2 + token->size();
}

size_t TokenBytes(const std::string* token) { return 2 + (token == nullptr ? 0 : token->size()); }

}  // namespace

int StreamSlot(StreamKind kind) {
  switch (kind) {
    case StreamKind::kVoice:
      return 0;
    case StreamKind::kReliable:
      return 1;
    case StreamKind::kMusic:
      return 2;
    case StreamKind::kControl:
      return -1;
  }
  return -1;
}

const char* StreamName(StreamKind kind) {
  switch (kind) {
    case StreamKind::kVoice:
      return "voice";
    case StreamKind::kReliable:
      return "reliable";
    case StreamKind::kMusic:
      return "music";
    case StreamKind::kControl:
      return "control";
  }
  return "?";
}

size_t BuildDetect(uint64_t user_id, uint8_t* out) {
  out[0] = 'C';
  out[1] = 'O';
  out[2] = 'r';
  out[3] = 1;
  rtc::SetBE64(out + 4, user_id);
  return kDetectSize;
}

bool IsDetectDatagram(const uint8_t* data, size_t size) {
  return size == kDetectSize && data[0] == 'C' && data[1] == 'O' && data[2] == 'r';
}

size_t BuildMedia(const MediaFields& fields, uint8_t* out, size_t capacity) {
  const size_t marks = fields.mix_marks ? kMixMarkBytes : 0;
  if (fields.payload_size < kProbeSize + marks) return 0;
  if (fields.token != nullptr && fields.token->size() > kMaxTokenLength) return 0;
  const size_t total = kMediaHeaderBytes + TokenBytes(fields.token) + fields.payload_size;
  if (total > capacity) return 0;
  WriteHeader(static_cast<uint8_t>(kClientFlags | (fields.ask_ack ? kAskAckFlag : 0)),
              fields.payload_type, fields.sequence, fields.user_id, out);
  size_t pos = kMediaHeaderBytes;
  pos += WriteToken(fields.token, out + pos);
  if (fields.mix_marks) {
    out[pos] = fields.level;
    out[pos + 1] = fields.priority ? kPriorityMark : 0;
    pos += kMixMarkBytes;
  }
  uint8_t* probe = out + pos;
  probe[0] = kProbeMagic0;
  probe[1] = kProbeMagic1;
  probe[2] = static_cast<uint8_t>(fields.kind);
  probe[3] = 0;
  rtc::SetBE32(probe + 4, fields.stream_index);
  rtc::SetBE64(probe + 8, static_cast<uint64_t>(fields.send_time_us));
  // A recognisable filler so that a cut or shifted payload shows in a capture.
  for (size_t i = kProbeSize; i < fields.payload_size - marks; ++i) {
    probe[i] = static_cast<uint8_t>(i);
  }
  return total;
}

size_t BuildClientAck(uint8_t acked_type, uint32_t sequence, uint64_t user_id,
                      const std::string* token, uint64_t original_sender, uint8_t* out,
                      size_t capacity) {
  if (token != nullptr && token->size() > kMaxTokenLength) return 0;
  const size_t total = kMediaHeaderBytes + TokenBytes(token) + 8;
  if (total > capacity) return 0;
  WriteHeader(kClientFlags, static_cast<uint8_t>(acked_type - 1), sequence, user_id, out);
  size_t pos = kMediaHeaderBytes;
  pos += WriteToken(token, out + pos);
  rtc::SetBE64(out + pos, original_sender);
  return total;
}

size_t BuildReceiverReport(uint32_t sequence, uint64_t reporter_id, const ReportBlock* blocks,
                           size_t count, uint8_t* out, size_t capacity) {
  if (count > kMaxReportBlocks) return 0;
  using corvaneserver::kReceiverReportBlockSize;
  const size_t total = corvaneserver::kReceiverReportHeaderSize + kReceiverReportBlockSize * count;
  if (total > capacity) return 0;
  WriteHeader(static_cast<uint8_t>(kClientFlags | count), kReportPayloadType, sequence, reporter_id,
              out);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* block = out + corvaneserver::kReceiverReportHeaderSize + kReceiverReportBlockSize * i;
    rtc::SetBE64(block + corvaneserver::kReportBlockUserIdOffset, blocks[i].user_id);
    rtc::SetBE32(block + corvaneserver::kReportBlockValueOffset, blocks[i].value);
  }
  return total;
}

size_t BuildCascadeAnswer(uint64_t room_id, uint32_t hash, uint8_t* out) {
  WriteHeader(kServerFlags, kCascadeType, 0, room_id, out);
  rtc::SetBE32(out + corvaneserver::kCascadeAddressHashOffset, hash);
  return kCascadeDatagramSize;
}

IncomingDatagram ClassifyIncoming(const uint8_t* data, size_t size) {
  IncomingDatagram in;
  if (IsDetectDatagram(data, size)) {
    in.kind = Incoming::kDetectEcho;
    return in;
  }
  FecHeader fec;
  if (size >= 2 && data[1] == kFecMarker) {
    if (!ParseFecHeader(data, size, &fec) || fec.k == 0) return in;
    if (!fec.IsSource()) {
      in.kind = Incoming::kFecRepair;
      in.id = fec.user_id;
      in.sequence = fec.sequence;
      return in;
    }
    if (size < kFecSourceHeaderBytes) return in;
    const size_t length = rtc::GetBE16(data + kFecHeaderBytes);
    if (length > size - kFecSourceHeaderBytes) return in;
    if (length >= 2 && data[kFecSourceHeaderBytes + 1] == kFecMarker) return in;  // nested
    in = ClassifyIncoming(data + kFecSourceHeaderBytes, length);
    // Only voice is wrapped; anything else inside is not what a client sends.
    if (in.kind != Incoming::kMedia || in.id != fec.user_id) {
      in = IncomingDatagram();
      return in;
    }
    in.fec = true;
    return in;
  }
  if (size < kMediaHeaderBytes) return in;
  in.flags = data[corvaneserver::kMediaFlagsOffset];
  in.payload_type = data[corvaneserver::kMediaPayloadTypeOffset];
  in.sequence = rtc::GetBE32(data + corvaneserver::kMediaSequenceOffset);
  in.id = rtc::GetBE64(data + corvaneserver::kMediaUserIdOffset);

  if (in.payload_type == kAuthPayloadType) {
    in.kind = Incoming::kAuthAnswer;
    return in;
  }
  if ((in.payload_type & 1) != 0) {
    if (size < kServerAckSize) return in;
    in.acked_user_id = rtc::GetBE64(data + corvaneserver::kAckUserIdOffset);
    in.kind = Incoming::kAck;
    return in;
  }
  if (in.payload_type == kReportPayloadType) {
    if (size < kServerReportSize) return in;
    const uint8_t* block = data + corvaneserver::kReceiverReportHeaderSize;
    in.report_user_id = rtc::GetBE64(block + corvaneserver::kReportBlockUserIdOffset);
    in.report_value = rtc::GetBE32(block + corvaneserver::kReportBlockValueOffset);
    in.kind = Incoming::kServerReport;
    return in;
  }
  if (in.payload_type == kCascadeType) {
    if (size < kCascadeDatagramSize) return in;
    in.cascade_hash = rtc::GetBE32(data + corvaneserver::kCascadeAddressHashOffset);
    in.kind = Incoming::kCascade;
    return in;
  }

  in.kind = Incoming::kMedia;
  if (size < kMediaHeaderBytes + 2) return in;
  const uint16_t token_header = rtc::GetBE16(data + kMediaHeaderBytes);
  size_t token_length = 0;
  if ((token_header >> 11) == 1) token_length = token_header & 0x7FF;
  const size_t payload_at = kMediaHeaderBytes + 2 + token_length;
  auto probe_at = [&](size_t at) {
    return at + kProbeSize <= size && data[at] == kProbeMagic0 && data[at + 1] == kProbeMagic1 &&
           data[at + 2] <= 3;
  };
  const uint8_t* probe = nullptr;
  if (probe_at(payload_at)) {
    probe = data + payload_at;
  } else if (probe_at(payload_at + kMixMarkBytes)) {
    // The marks byte is 0 or 0x10, never the probe's second magic byte.
    in.has_mix_marks = true;
    in.level = data[payload_at];
    in.priority = (data[payload_at + 1] & kPriorityMark) != 0;
    probe = data + payload_at + kMixMarkBytes;
  } else {
    return in;
  }
  in.has_probe = true;
  in.stream = static_cast<StreamKind>(probe[2]);
  in.stream_index = rtc::GetBE32(probe + 4);
  in.send_time_us = static_cast<int64_t>(rtc::GetBE64(probe + 8));
  in.body = probe + kProbeSize;
  in.body_size = static_cast<size_t>(data + size - in.body);
  return in;
}

}  // namespace corvanetools
