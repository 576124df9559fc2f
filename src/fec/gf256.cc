#include "fec/gf256.h"

#include <cstring>
#include <utility>

namespace fec {
namespace gf256 {

namespace {

Tables BuildTables() {
  Tables t{};
  unsigned x = 1;
  for (int i = 0; i < 255; ++i) {
    t.exp[i] = static_cast<uint8_t>(x);
    t.exp[i + 255] = static_cast<uint8_t>(x);
    t.log[x] = static_cast<uint8_t>(i);
    x <<= 1;
    if (x & 0x100) x ^= 0x11D;
  }
  t.exp[510] = t.exp[0];
  t.exp[511] = t.exp[1];
  return t;
}

}  // namespace

const Tables& GetTables() {
  static const Tables tables = BuildTables();
  return tables;
}

bool InvertMatrix(uint8_t* a, uint8_t* inv, int n) {
  std::memset(inv, 0, static_cast<size_t>(n) * n);
  for (int i = 0; i < n; ++i) inv[i * n + i] = 1;
  for (int col = 0; col < n; ++col) {
    int pivot = col;
    while (pivot < n && a[pivot * n + col] == 0) ++pivot;
    if (pivot == n) return false;
    if (pivot != col) {
      for (int j = 0; j < n; ++j) {
        std::swap(a[pivot * n + j], a[col * n + j]);
        std::swap(inv[pivot * n + j], inv[col * n + j]);
      }
    }
    const uint8_t scale = Inv(a[col * n + col]);
    for (int j = 0; j < n; ++j) {
      a[col * n + j] = Mul(a[col * n + j], scale);
      inv[col * n + j] = Mul(inv[col * n + j], scale);
    }
    for (int row = 0; row < n; ++row) {
      const uint8_t f = a[row * n + col];
      if (row == col || f == 0) continue;
      for (int j = 0; j < n; ++j) {
        a[row * n + j] ^= Mul(f, a[col * n + j]);
        inv[row * n + j] ^= Mul(f, inv[col * n + j]);
      }
    }
  }
  return true;
}

}  // namespace gf256
}  // namespace fec
