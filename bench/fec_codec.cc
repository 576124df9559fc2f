// Rebuilding one FEC block of 1480-byte symbols, matrix work included, against
// ISA-L's ec_encode_data over the same inputs and outputs with its tables
// prebuilt: the least the rebuild can cost.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <isa-l/erasure_code.h>

#include "fec/block_builder.h"
#include "fec/decoder.h"
#include "fec/reed_solomon.h"

namespace {

constexpr size_t kSymbolSize = 1480;

struct Block {
  Block(int source_count, int repair_count, int lost) : k(source_count), r(repair_count) {
    codec = fec::ReedSolomon::Get(k, r);
    std::mt19937 rng(k * 31 + r);
    storage.assign(k + r, std::vector<uint8_t>(kSymbolSize));
    for (int i = 0; i < k; ++i) {
      for (auto& byte : storage[i]) byte = static_cast<uint8_t>(rng());
    }
    std::vector<const uint8_t*> sources;
    for (int i = 0; i < k; ++i) sources.push_back(storage[i].data());
    std::vector<uint8_t*> repairs;
    for (int j = 0; j < r; ++j) repairs.push_back(storage[k + j].data());
    codec->Encode(sources.data(), repairs.data(), kSymbolSize);

    // Lose `lost` sources spread over the block; all repairs arrive.
    symbols.assign(k + r, nullptr);
    for (int i = 0; i < k + r; ++i) symbols[i] = storage[i].data();
    rebuilt_storage.assign(k, std::vector<uint8_t>(kSymbolSize));
    rebuilt.assign(k, nullptr);
    for (int m = 0; m < lost; ++m) {
      const int position = (m * k) / lost + (k / lost) / 2;
      symbols[position] = nullptr;
      rebuilt[position] = rebuilt_storage[position].data();
      outputs.push_back(rebuilt_storage[position].data());
    }
    // The raw limit: the same k inputs (present sources, then as many repairs
    // as were lost) and outputs, with tables of arbitrary coefficients.
    for (int i = 0; i < k; ++i) {
      if (symbols[i] != nullptr) inputs.push_back(storage[i].data());
    }
    for (int m = 0; m < lost; ++m) inputs.push_back(storage[k + m].data());
    std::vector<uint8_t> matrix(static_cast<size_t>(lost) * k);
    for (auto& c : matrix) c = static_cast<uint8_t>(rng() | 1);
    tables.resize(32 * matrix.size());
    ec_init_tables(k, lost, matrix.data(), tables.data());
  }

  const int k;
  const int r;
  std::shared_ptr<const fec::ReedSolomon> codec;
  std::vector<std::vector<uint8_t>> storage;
  std::vector<std::vector<uint8_t>> rebuilt_storage;
  std::vector<const uint8_t*> symbols;
  std::vector<uint8_t*> rebuilt;
  std::vector<uint8_t*> inputs;
  std::vector<uint8_t*> outputs;
  std::vector<uint8_t> tables;
};

void BM_Rebuild(benchmark::State& state) {
  Block block(state.range(0), state.range(1), state.range(2));
  for (auto _ : state) {
    bool ok = block.codec->Decode(block.symbols.data(), block.rebuilt.data(), kSymbolSize);
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  state.SetLabel("k=" + std::to_string(block.k) + " r=" + std::to_string(block.r) +
                 " lost=" + std::to_string(state.range(2)));
}

void BM_IsalEncodeLimit(benchmark::State& state) {
  Block block(state.range(0), state.range(1), state.range(2));
  const int lost = state.range(2);
  for (auto _ : state) {
    ec_encode_data(kSymbolSize, block.k, lost, block.tables.data(), block.inputs.data(),
                   block.outputs.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel("k=" + std::to_string(block.k) + " rows=" + std::to_string(lost));
}

void Cases(benchmark::internal::Benchmark* b) {
  b->Args({4, 2, 1})->Args({8, 4, 2})->Args({20, 10, 5});
  b->ArgNames({"k", "r", "lost"});
  b->Unit(benchmark::kMicrosecond);
}

// A decoder that only counts what it hands out.
fec::Decoder CountingDecoder(uint64_t* handed_out) {
  return fec::Decoder(
      [handed_out](const unsigned char*, unsigned int) {
        ++*handed_out;
        return 0;
      },
      fec::Decoder::LossCallback());
}

// One datagram through a decoder on the steady path: a stream of blocks of
// k=4 r=1 with one datagram in 50 lost, 200-byte media datagrams.
void BM_DecoderPerDatagram(benchmark::State& state) {
  constexpr int kBlocks = 512;
  std::vector<fec::Datagram> stream;
  uint32_t start = 0;
  for (int b = 0; b < kBlocks; ++b) {
    std::vector<fec::Datagram> media(4, fec::Datagram(200, 0x20));
    std::vector<fec::Datagram> block;
    fec::BuildFecBlock(1, start, media, 1, false, &block);
    for (auto& d : block) stream.push_back(std::move(d));
    start += 5;
  }
  uint64_t handed_out = 0;
  fec::Decoder decoder = CountingDecoder(&handed_out);
  size_t i = 0;
  for (auto _ : state) {
    fec::Datagram& d = stream[i];
    if (i % 50 != 7) decoder.OnPacketReceived(d.data(), static_cast<unsigned int>(d.size()));
    if (++i == stream.size()) {
      // Next lap: the same blocks further on.
      i = 0;
      for (auto& datagram : stream) {
        const uint32_t s =
            (datagram[10] << 24 | datagram[11] << 16 | datagram[12] << 8 | datagram[13]) +
            5 * kBlocks;
        const uint32_t b =
            (datagram[14] << 24 | datagram[15] << 16 | datagram[16] << 8 | datagram[17]) +
            5 * kBlocks;
        for (int j = 0; j < 4; ++j) {
          datagram[10 + j] = static_cast<uint8_t>(s >> (24 - 8 * j));
          datagram[14 + j] = static_cast<uint8_t>(b >> (24 - 8 * j));
        }
      }
    }
  }
  benchmark::DoNotOptimize(handed_out);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Rebuild)->Apply(Cases);
BENCHMARK(BM_DecoderPerDatagram);

// One member's stream through the decoder as fast as it can go: blocks of
// k sources and r repairs, of which only the repairs are sent (every block a
// rebuild of all k), or everything but one source in 50. Per datagram; the
// decoding budget skips the rebuilds a stream cannot pay for.
void BM_DecoderStream(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  const int r = static_cast<int>(state.range(1));
  const bool repairs_only = state.range(2) != 0;
  const int blocks = std::max(4, 2048 / (k + r));
  std::vector<fec::Datagram> stream;
  uint32_t start = 0;
  for (int b = 0; b < blocks; ++b) {
    std::vector<fec::Datagram> media(k, fec::Datagram(200, 0x20));
    std::vector<fec::Datagram> block;
    fec::BuildFecBlock(1, start, media, r, false, &block);
    for (int i = repairs_only ? k : 0; i < k + r; ++i) stream.push_back(std::move(block[i]));
    start += k + r;
  }
  uint64_t handed_out = 0;
  fec::Decoder decoder = CountingDecoder(&handed_out);
  const uint32_t lap = static_cast<uint32_t>(k + r) * blocks;
  size_t i = 0;
  size_t sent = 0;
  for (auto _ : state) {
    fec::Datagram& d = stream[i];
    if (repairs_only || sent % 50 != 7) {
      decoder.OnPacketReceived(d.data(), static_cast<unsigned int>(d.size()));
    }
    ++sent;
    if (++i == stream.size()) {
      i = 0;  // the same blocks one lap further on
      for (auto& datagram : stream) {
        for (int offset : {10, 14}) {
          const uint32_t v = (datagram[offset] << 24 | datagram[offset + 1] << 16 |
                              datagram[offset + 2] << 8 | datagram[offset + 3]) +
                             lap;
          for (int j = 0; j < 4; ++j)
            datagram[offset + j] = static_cast<uint8_t>(v >> (24 - 8 * j));
        }
      }
    }
  }
  benchmark::DoNotOptimize(handed_out);
  state.SetItemsProcessed(state.iterations());
  state.counters["handed_out_per_datagram"] =
      static_cast<double>(handed_out) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DecoderStream)
    ->ArgNames({"k", "r", "repairs_only"})
    ->Args({4, 1, 0})
    ->Args({16, 16, 0})
    ->Args({16, 16, 1})
    ->Args({128, 128, 1})
    ->MinTime(1.0);
BENCHMARK(BM_IsalEncodeLimit)->Apply(Cases);

}  // namespace

BENCHMARK_MAIN();
