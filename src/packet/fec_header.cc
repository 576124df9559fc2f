#include "packet/fec_header.h"

#include "base/byte_io.h"

namespace corvaneserver {

uint64_t ChannelId(const unsigned char* data) { return rtc::GetBE64(data + kFecUserIdOffset); }

uint32_t SequenceNum(const unsigned char* data) { return rtc::GetBE32(data + kFecSequenceOffset); }

bool IsSourceAudio(const unsigned char* data) {
  const uint32_t block_start = rtc::GetBE32(data + kFecBlockStartOffset);
  const uint32_t source_count = rtc::Get8(data, kFecSourceCountOffset);
  // Counted from the block start, so that a block straddling 2^32 reads right.
  return SequenceNum(data) - block_start < source_count;
}

}  // namespace corvaneserver
