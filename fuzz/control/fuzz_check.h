// Helpers shared by the control-link fuzz targets.
#ifndef FUZZ_CONTROL_FUZZ_CHECK_H_
#define FUZZ_CONTROL_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "control/pb_obj.h"

namespace fuzzcheck {

// Aborts (a finding for libFuzzer) when an invariant does not hold.
inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The input in an exactly sized heap block, so that ASan sees any read past it.
inline std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* data, size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size == 0 ? 1 : size);
  if (size > 0) std::memcpy(copy.get(), data, size);
  return copy;
}

inline std::vector<uint8_t> Marshal(const PbObj& msg) {
  std::vector<uint8_t> out(msg.Size());
  const int written = msg.MarshalTo(out.data());
  Check(written == static_cast<int>(out.size()));
  return out;
}

// Decodes arbitrary bytes into a message class. Whatever decodes must encode
// to bytes that decode to the same encoding again (a fixed point), and a
// failure must be one of the decoder's codes (never "nothing left", which the
// message loop cannot reach).
template <class Msg>
void FuzzBody(const uint8_t* data, size_t size) {
  const auto input = ExactCopy(data, size);
  Msg msg;
  const int rc = msg.Unmarshal(input.get(), size);
  Check(rc == kPbOk || rc == kPbErrMalformed || rc == kPbErrTruncated || rc == kPbErrBadWireType ||
        rc == kPbErrNegativeLength);
  // Even a partly decoded message is a valid value to encode.
  const std::vector<uint8_t> first = Marshal(msg);
  Msg again;
  Check(again.Unmarshal(first.data(), first.size()) == kPbOk);
  Check(Marshal(again) == first);
}

}  // namespace fuzzcheck

#endif  // FUZZ_CONTROL_FUZZ_CHECK_H_
