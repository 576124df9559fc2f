// Arithmetic in GF(2^8) with the polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D),
// the field of the Reed-Solomon codec. Table driven; for matrix work on a few
// hundred elements. Bulk symbol arithmetic goes through ISA-L instead.
#ifndef FEC_GF256_H_
#define FEC_GF256_H_

#include <cstdint>

namespace fec {
namespace gf256 {

struct Tables {
  uint8_t exp[512];  // exp[i] = alpha^i, doubled so that log a + log b needs no reduction
  uint8_t log[256];  // log[0] is unused
};

const Tables& GetTables();

inline uint8_t Mul(uint8_t a, uint8_t b) {
  if (a == 0 || b == 0) return 0;
  const Tables& t = GetTables();
  return t.exp[t.log[a] + t.log[b]];
}

// a must not be 0.
inline uint8_t Inv(uint8_t a) {
  const Tables& t = GetTables();
  return t.exp[255 - t.log[a]];
}

// alpha^e for any e >= 0.
inline uint8_t Pow(unsigned e) { return GetTables().exp[e % 255]; }

// Gauss-Jordan inversion of the n x n row-major matrix a into inv; a is
// destroyed. False when a is singular.
bool InvertMatrix(uint8_t* a, uint8_t* inv, int n);

}  // namespace gf256
}  // namespace fec

#endif  // FEC_GF256_H_
