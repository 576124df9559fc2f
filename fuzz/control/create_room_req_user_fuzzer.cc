// Arbitrary bytes as the body of a CreateRoomReq_User.
#include <cstddef>
#include <cstdint>

#include "control/control_messages.h"

#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzcheck::FuzzBody<corvaneserver::CreateRoomReq_User>(data, size);
  return 0;
}
