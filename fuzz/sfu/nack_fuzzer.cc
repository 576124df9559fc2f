// NACKs: the user-id reader alone, then the route through the server.
#include <cstddef>
#include <cstdint>

#include "sfu/sfu_wire.h"

#include "fuzz_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvaneserver;
  uint64_t user_id = 0;
  if (ParseNackUserId(data, size, &user_id) != (size >= kNackMinSize)) __builtin_trap();
  RouteThroughServer(data, size, kNackPayloadType);
  return 0;
}
