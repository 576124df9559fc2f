// What admitting one datagram of a known source costs: a table of the
// handling thread's own (pool mode's deliver workers) against the table the
// receive threads share in inline mode (a shard lock per datagram).
#include <netinet/in.h>

#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "packet/packet_admission.h"
#include "packet/shared_source_table.h"
#include "packet/udp_packet.h"

namespace {

using corvaneserver::PacketAdmission;
using corvaneserver::SharedSourceTable;
using corvaneserver::UDPPacket;

std::shared_ptr<UDPPacket> FromPort(uint8_t payload_type, uint16_t port) {
  std::vector<uint8_t> bytes(200, 0);
  bytes[0] = 0xA0;
  bytes[1] = payload_type;
  bytes[13] = 7;
  auto packet = std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000001);
  from.sin_port = htons(port);
  packet->SetSocket(-1, from, 0, 0);
  return packet;
}

void Run(benchmark::State& state, PacketAdmission& admission) {
  // 64 known sources of this thread (each made known by its first cascade
  // datagram); each thread has sources of its own, as each receive thread does.
  std::vector<std::shared_ptr<UDPPacket>> voice;
  const auto first = static_cast<uint16_t>(20000 + 100 * state.thread_index());
  for (uint16_t port = first; port < first + 64; ++port) {
    admission.Handle(FromPort('n', port));
    voice.push_back(FromPort(0x66, port));
  }
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(admission.Handle(voice[i++ & 63]));
  }
}

void BM_AdmitOwnTable(benchmark::State& state) {
  PacketAdmission admission(0, 0, [](std::shared_ptr<UDPPacket>) { return 0; });
  Run(state, admission);
}
BENCHMARK(BM_AdmitOwnTable);

// One table for all benchmark threads, an admission for each, as in a server.
std::shared_ptr<SharedSourceTable> g_shared = std::make_shared<SharedSourceTable>(0);

void BM_AdmitSharedTable(benchmark::State& state) {
  PacketAdmission admission(g_shared, 0, [](std::shared_ptr<UDPPacket>) { return 0; });
  Run(state, admission);
}
BENCHMARK(BM_AdmitSharedTable)->Threads(1)->Threads(2);

}  // namespace

BENCHMARK_MAIN();
