// Arbitrary bytes through the varint decoders, the field-key decoder and the
// unknown-field skipper, starting at every offset of the input.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "control/pb_obj.h"

#include "fuzz_check.h"

namespace {

using fuzzcheck::Check;

void AtOffset(const uint8_t* data, size_t size, size_t start) {
  // The 64-bit decoder against the 32-bit ones: same bytes, same outcome.
  size_t pos64 = start;
  uint64_t value64 = 0;
  const int rc64 = decodeVarUint64(data, size, &pos64, &value64);
  Check(rc64 == kPbOk || rc64 == kPbErrMalformed || rc64 == kPbErrTruncated);
  Check(pos64 <= size && pos64 - start <= static_cast<size_t>(kMaxVarintBytes));

  size_t pos32 = start;
  uint32_t value32 = 0xA5A5A5A5u;
  const int rc32 = decodeVarUint32(data, size, &pos32, &value32);
  Check(rc32 == rc64 && pos32 == pos64);
  size_t pos_int = start;
  int32_t value_int = 0;
  const int rc_int = decodeVarInt32(data, size, &pos_int, &value_int);
  Check(rc_int == rc64 && pos_int == pos64);
  if (rc64 == kPbOk) {
    Check(value32 == static_cast<uint32_t>(value64));
    Check(value_int == static_cast<int32_t>(value32));
    // The canonical encoding is never longer than what was read.
    Check(static_cast<size_t>(encodeVarintSize(value64)) <= pos64 - start);
    uint8_t encoded[kMaxVarintBytes];
    size_t written = 0;
    encodeVarint(encoded, &written, value64);
    size_t reread_pos = 0;
    uint64_t reread = 0;
    Check(decodeVarUint64(encoded, written, &reread_pos, &reread) == kPbOk);
    Check(reread == value64 && reread_pos == written);
  } else {
    Check(value32 == 0xA5A5A5A5u);  // the 32-bit decoders store only on success
  }

  size_t length_pos = start;
  size_t length = 0;
  const int length_rc = decodeLength(data, size, &length_pos, &length);
  Check(length_rc == kPbOk || length_rc == kPbErrMalformed || length_rc == kPbErrTruncated);
  if (length_rc == kPbOk) Check(length <= static_cast<size_t>(INT_MAX));

  size_t key_pos = start;
  int64_t field = 0;
  int wire_type = 0;
  const int key_rc = decodeFieldKey(data, size, &key_pos, &field, &wire_type);
  if (key_rc == kPbOk) Check(field > 0 && wire_type >= 0 && wire_type <= 7 && wire_type != 4);

  const int skipped = skipDefaultField(data + start, size - start);
  Check(skipped >= kPbErrNoField);
  if (start == size) Check(skipped == kPbErrNoField);
  if (skipped > 0) Check(rc64 == kPbOk);  // a skipped field starts with a good key
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto input = fuzzcheck::ExactCopy(data, size);
  for (size_t start = 0; start <= size && start < 64; ++start) AtOffset(input.get(), size, start);
  return 0;
}
