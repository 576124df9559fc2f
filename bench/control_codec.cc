// The control codec on the bodies the gateway sends most: a join request and a
// create-room request of three members, each sized, written and read back.
#include <cstdint>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "control/control_messages.h"

namespace {

template <class Body>
void Roundtrip(benchmark::State& state, const Body& body) {
  std::vector<uint8_t> buffer(body.Size());
  for (auto _ : state) {
    const size_t size = body.Size();
    const int written = body.MarshalTo(buffer.data());
    Body decoded;
    const int rc = decoded.Unmarshal(buffer.data(), size);
    benchmark::DoNotOptimize(written);
    benchmark::DoNotOptimize(rc);
    benchmark::DoNotOptimize(decoded);
  }
}

void BM_JoinRoomReq(benchmark::State& state) {
  corvaneserver::JoinRoomReq join;
  join.room_id = 1234567890123ull;
  join.user_id = 9876543210ull;
  join.user_type = 2;
  join.token = "a-token-of-thirty-two-bytes-long";
  Roundtrip(state, join);
}
BENCHMARK(BM_JoinRoomReq);

void BM_CreateRoomReq(benchmark::State& state) {
  corvaneserver::CreateRoomReq create;
  create.room_id = 1234567890123ull;
  for (uint64_t i = 0; i < 3; ++i) {
    auto user = std::make_unique<corvaneserver::CreateRoomReq_User>();
    user->user_id = 9876543210ull + i;
    user->user_type = static_cast<int32_t>(1 + i % 2);
    user->token = "a-token-of-thirty-two-bytes-long";
    create.users.push_back(std::move(user));
  }
  Roundtrip(state, create);
}
BENCHMARK(BM_CreateRoomReq);

}  // namespace

BENCHMARK_MAIN();
