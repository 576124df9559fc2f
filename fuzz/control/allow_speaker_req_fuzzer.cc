// Arbitrary bytes as the body of a AllowSpeakerReq.
#include <cstddef>
#include <cstdint>

#include "control/control_messages.h"

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzcheck::FuzzBody<corvaneserver::AllowSpeakerReq>(data, size);
  return 0;
}
