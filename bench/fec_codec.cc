// Rebuilding one FEC block of 1480-byte symbols, matrix work included, against
// ISA-L's ec_encode_data over the same inputs and outputs with its tables
// prebuilt: the least the rebuild can cost.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <isa-l/erasure_code.h>

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

BENCHMARK(BM_Rebuild)->Apply(Cases);
BENCHMARK(BM_IsalEncodeLimit)->Apply(Cases);

}  // namespace

BENCHMARK_MAIN();
