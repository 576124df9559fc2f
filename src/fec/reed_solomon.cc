#include "fec/reed_solomon.h"

#include <map>
#include <utility>
#include <vector>

#include <isa-l/erasure_code.h>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "fec/gf256.h"

namespace fec {

// E[e][i] for e < 256, i < k: the value at x_e of the Lagrange basis
// polynomial of source i through x_0 .. x_{k-1}, where x_0 = 0 and
// x_e = alpha^(e-1). Rows 0 .. k-1 are the identity.
struct ReedSolomon::Generator {
  explicit Generator(int source_count)
      : k(source_count), rows(static_cast<size_t>(kMaxSymbols) * source_count, 0) {
    auto point = [](int e) -> uint8_t { return e == 0 ? 0 : gf256::Pow(e - 1); };
    // denominators[i] = prod over j != i of (x_i - x_j).
    std::vector<uint8_t> denominators(k, 1);
    for (int i = 0; i < k; ++i) {
      for (int j = 0; j < k; ++j) {
        if (j != i) denominators[i] = gf256::Mul(denominators[i], point(i) ^ point(j));
      }
    }
    for (int e = 0; e < kMaxSymbols; ++e) {
      uint8_t* row = &rows[static_cast<size_t>(e) * k];
      if (e < k) {
        row[e] = 1;
        continue;
      }
      // x_e differs from every x_j (j < k), so the full product is not zero.
      const uint8_t x = point(e);
      uint8_t all = 1;
      for (int j = 0; j < k; ++j) all = gf256::Mul(all, x ^ point(j));
      for (int i = 0; i < k; ++i) {
        const uint8_t numerator = gf256::Mul(all, gf256::Inv(x ^ point(i)));
        row[i] = gf256::Mul(numerator, gf256::Inv(denominators[i]));
      }
    }
  }

  const uint8_t* Row(int esi) const { return &rows[static_cast<size_t>(esi) * k]; }

  const int k;
  std::vector<uint8_t> rows;
};

namespace {

struct Cache {
  rtc::Mutex mutex;
  std::map<int, std::shared_ptr<const void>> generators GUARDED_BY(mutex);
  std::map<std::pair<int, int>, std::shared_ptr<const ReedSolomon>> codecs GUARDED_BY(mutex);
};

Cache& GetCache() {
  static Cache* cache = new Cache;  // never destroyed: callers may outlive static teardown
  return *cache;
}

// Per-thread matrices and ISA-L tables of Decode; they grow to the largest
// block seen and are then reused.
struct DecodeScratch {
  std::vector<uint8_t> square;   // e x e: repair rows restricted to the missing columns
  std::vector<uint8_t> inverse;  // e x e
  std::vector<uint8_t> matrix;   // e x k: the decoding rows
  std::vector<uint8_t> tables;   // 32 * k * e

  void Reserve(int k, int e) {
    const size_t ee = static_cast<size_t>(e) * e;
    if (square.size() < ee) square.resize(ee);
    if (inverse.size() < ee) inverse.resize(ee);
    const size_t ek = static_cast<size_t>(e) * k;
    if (matrix.size() < ek) matrix.resize(ek);
    if (tables.size() < 32 * ek) tables.resize(32 * ek);
  }
};

}  // namespace

std::shared_ptr<const ReedSolomon> ReedSolomon::Get(int k, int r) {
  if (k < 1 || k > kMaxSourceSymbols || r < 0 || k + r > kMaxSymbols) return nullptr;
  Cache& cache = GetCache();
  rtc::MutexLock lock(&cache.mutex);
  auto found = cache.codecs.find({k, r});
  if (found != cache.codecs.end()) return found->second;
  std::shared_ptr<const void>& slot = cache.generators[k];
  if (!slot) slot = std::make_shared<const Generator>(k);
  auto generator = std::static_pointer_cast<const Generator>(slot);
  std::shared_ptr<const ReedSolomon> codec(new ReedSolomon(k, r, std::move(generator)));
  cache.codecs.emplace(std::make_pair(k, r), codec);
  return codec;
}

ReedSolomon::ReedSolomon(int k, int r, std::shared_ptr<const Generator> generator)
    : k_(k), r_(r), generator_(std::move(generator)) {}

ReedSolomon::~ReedSolomon() = default;

uint8_t ReedSolomon::Coefficient(int esi, int source) const { return generator_->Row(esi)[source]; }

void ReedSolomon::Encode(const uint8_t* const* sources, uint8_t* const* repairs, size_t len) const {
  if (r_ == 0 || len == 0) return;
  std::call_once(encode_once_, [this] {
    encode_tables_.reset(new uint8_t[32 * static_cast<size_t>(k_) * r_]);
    ec_init_tables(k_, r_, const_cast<uint8_t*>(generator_->Row(k_)), encode_tables_.get());
  });
  ec_encode_data(static_cast<int>(len), k_, r_, encode_tables_.get(),
                 const_cast<uint8_t**>(sources), const_cast<uint8_t**>(repairs));
}

bool ReedSolomon::Decode(const uint8_t* const* symbols, uint8_t* const* rebuilt, size_t len) const {
  // Missing sources M, present sources P, and the first |M| present repairs R.
  // With A = E[R][M] and B = E[R][P]: repair_R = A S_M + B S_P, so
  // S_M = inv(A) repair_R + inv(A) B S_P. Only an |M| x |M| inversion.
  int missing[kMaxSymbols];
  int e = 0;
  for (int i = 0; i < k_; ++i) {
    if (symbols[i] == nullptr) missing[e++] = i;
  }
  if (e == 0) return true;
  int repairs[kMaxSymbols];
  int found = 0;
  for (int j = k_; j < k_ + r_ && found < e; ++j) {
    if (symbols[j] != nullptr) repairs[found++] = j;
  }
  if (found < e) return false;

  thread_local DecodeScratch scratch;
  scratch.Reserve(k_, e);
  uint8_t* square = scratch.square.data();
  uint8_t* inverse = scratch.inverse.data();
  for (int a = 0; a < e; ++a) {
    const uint8_t* row = generator_->Row(repairs[a]);
    for (int b = 0; b < e; ++b) square[a * e + b] = row[missing[b]];
  }
  // Any e columns of the repair rows form an invertible matrix (the code is
  // MDS); a failure here means a broken generator.
  if (!gf256::InvertMatrix(square, inverse, e)) return false;

  // Inputs: the present sources in order, then the chosen repairs.
  const uint8_t* inputs[kMaxSymbols];
  int n_inputs = 0;
  for (int i = 0; i < k_; ++i) {
    if (symbols[i] != nullptr) inputs[n_inputs++] = symbols[i];
  }
  const int n_present = n_inputs;
  for (int a = 0; a < e; ++a) inputs[n_inputs++] = symbols[repairs[a]];

  const gf256::Tables& gf = gf256::GetTables();
  uint8_t* matrix = scratch.matrix.data();
  for (int m = 0; m < e; ++m) {
    uint8_t* out = &matrix[m * k_];
    const uint8_t* d = &inverse[m * e];
    int col = 0;
    for (int i = 0; i < k_; ++i) {
      if (symbols[i] == nullptr) continue;
      uint8_t sum = 0;
      for (int a = 0; a < e; ++a) {
        const uint8_t b = generator_->Row(repairs[a])[i];
        if (d[a] != 0 && b != 0) sum ^= gf.exp[gf.log[d[a]] + gf.log[b]];
      }
      out[col++] = sum;
    }
    for (int a = 0; a < e; ++a) out[n_present + a] = d[a];
  }

  if (len == 0) return true;
  uint8_t* outputs[kMaxSymbols];
  for (int m = 0; m < e; ++m) outputs[m] = rebuilt[missing[m]];
  ec_init_tables(k_, e, matrix, scratch.tables.data());
  ec_encode_data(static_cast<int>(len), k_, e, scratch.tables.data(), const_cast<uint8_t**>(inputs),
                 outputs);
  return true;
}

}  // namespace fec
