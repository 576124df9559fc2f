// Cascade datagrams: the parser alone, then the route through the server to
// the rooms' members.
#include <cstddef>
#include <cstdint>

#include "sfu/sfu_wire.h"

#include "fuzz_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvaneserver;
  CascadeFields fields;
  const bool parsed = ParseCascadePacket(data, size, &fields);
  if (parsed != (size >= kCascadePacketSize)) __builtin_trap();
  if (parsed) {
    uint8_t rebuilt[kCascadePacketSize];
    BuildCascadePacket(fields.room_id, fields.address_hash, rebuilt);
    CascadeFields again;
    if (!ParseCascadePacket(rebuilt, sizeof(rebuilt), &again) || again.room_id != fields.room_id ||
        again.address_hash != fields.address_hash || again.answer) {
      __builtin_trap();
    }
    BuildCascadeAnswer(fields.room_id, fields.address_hash, rebuilt);
    if (!ParseCascadePacket(rebuilt, sizeof(rebuilt), &again) || !again.answer) __builtin_trap();
  }
  RouteThroughServer(data, size, kCascadePayloadType);
  return 0;
}
