// Arbitrary bytes as the body of a AddCascadeReq.
#include <cstddef>
#include <cstdint>

#include "control/control_messages.h"

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzcheck::FuzzBody<corvaneserver::AddCascadeReq>(data, size);
  return 0;
}
