#include "packet/fec_header.h"

#include "base/byte_io.h"

namespace corvaneserver {

bool ParseFecHeader(const unsigned char* data, size_t size, FecHeader* header) {
  if (data == nullptr || size < kFecHeaderSize) return false;
  header->user_id = rtc::GetBE64(data + kFecUserIdOffset);
  header->sequence = rtc::GetBE32(data + kFecSequenceOffset);
  header->start = rtc::GetBE32(data + kFecBlockStartOffset);
  header->k = data[kFecSourceCountOffset];
  header->r = data[kFecRepairCountOffset];
  return true;
}

void WriteFecHeader(const FecHeader& header, unsigned char* out) {
  rtc::SetBE64(out + kFecUserIdOffset, header.user_id);
  rtc::SetBE32(out + kFecSequenceOffset, header.sequence);
  rtc::SetBE32(out + kFecBlockStartOffset, header.start);
  out[kFecSourceCountOffset] = header.k;
  out[kFecRepairCountOffset] = header.r;
}

uint64_t ChannelId(const unsigned char* data) { return rtc::GetBE64(data + kFecUserIdOffset); }

uint32_t SequenceNum(const unsigned char* data) { return rtc::GetBE32(data + kFecSequenceOffset); }

bool IsSourceAudio(const unsigned char* data) {
  const uint32_t block_start = rtc::GetBE32(data + kFecBlockStartOffset);
  const uint32_t source_count = rtc::Get8(data, kFecSourceCountOffset);
  // Counted from the block start, so that a block straddling 2^32 reads right.
  return SequenceNum(data) - block_start < source_count;
}

}  // namespace corvaneserver
