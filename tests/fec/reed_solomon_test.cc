#include "fec/reed_solomon.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "fec/gf256.h"

namespace fec {
namespace {

using Symbols = std::vector<std::vector<uint8_t>>;

Symbols RandomSymbols(int count, size_t len, uint32_t seed) {
  std::mt19937 rng(seed);
  Symbols symbols(count, std::vector<uint8_t>(len));
  for (auto& symbol : symbols) {
    for (auto& byte : symbol) byte = static_cast<uint8_t>(rng());
  }
  return symbols;
}

// Sources followed by their repairs.
Symbols EncodeBlock(const ReedSolomon& codec, const Symbols& sources) {
  const size_t len = sources[0].size();
  Symbols block = sources;
  block.resize(codec.k() + codec.r(), std::vector<uint8_t>(len));
  std::vector<const uint8_t*> in;
  for (int i = 0; i < codec.k(); ++i) in.push_back(block[i].data());
  std::vector<uint8_t*> out;
  for (int j = 0; j < codec.r(); ++j) out.push_back(block[codec.k() + j].data());
  codec.Encode(in.data(), out.data(), len);
  return block;
}

// Erases the symbols whose bit is clear in `present`, decodes, and checks that
// every source comes back.
void ExpectRoundTrip(const ReedSolomon& codec, const Symbols& block, uint32_t present) {
  const int k = codec.k();
  const int n = k + codec.r();
  const size_t len = block[0].size();
  std::vector<const uint8_t*> symbols(n, nullptr);
  int count = 0;
  for (int i = 0; i < n; ++i) {
    if (present & (1u << i)) {
      symbols[i] = block[i].data();
      ++count;
    }
  }
  Symbols rebuilt(k, std::vector<uint8_t>(len, 0xEE));
  std::vector<uint8_t*> out(k);
  for (int i = 0; i < k; ++i) out[i] = rebuilt[i].data();
  const bool ok = codec.Decode(symbols.data(), out.data(), len);
  if (count < k) {
    EXPECT_FALSE(ok) << "k=" << k << " r=" << codec.r() << " present=" << present;
    return;
  }
  ASSERT_TRUE(ok) << "k=" << k << " r=" << codec.r() << " present=" << present;
  for (int i = 0; i < k; ++i) {
    if (symbols[i] != nullptr) {
      EXPECT_EQ(rebuilt[i], std::vector<uint8_t>(len, 0xEE)) << "present source written";
    } else {
      EXPECT_EQ(rebuilt[i], block[i])
          << "k=" << k << " r=" << codec.r() << " present=" << present << " source " << i;
    }
  }
}

TEST(ReedSolomonTest, GetRefusesBlocksOutsideTheFieldLimits) {
  EXPECT_EQ(ReedSolomon::Get(0, 2), nullptr);
  EXPECT_EQ(ReedSolomon::Get(-1, 2), nullptr);
  EXPECT_EQ(ReedSolomon::Get(4, -1), nullptr);
  EXPECT_EQ(ReedSolomon::Get(256, 0), nullptr);
  EXPECT_EQ(ReedSolomon::Get(200, 57), nullptr);
  EXPECT_NE(ReedSolomon::Get(200, 56), nullptr);
  EXPECT_NE(ReedSolomon::Get(255, 1), nullptr);
  EXPECT_NE(ReedSolomon::Get(1, 255), nullptr);
}

TEST(ReedSolomonTest, GetCachesOneCodecPerParameters) {
  auto a = ReedSolomon::Get(4, 2);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, ReedSolomon::Get(4, 2));
  EXPECT_NE(a, ReedSolomon::Get(4, 3));
  EXPECT_EQ(a->k(), 4);
  EXPECT_EQ(a->r(), 2);
}

TEST(ReedSolomonTest, KnownCoefficientsForTwoSources) {
  auto codec = ReedSolomon::Get(2, 1);
  ASSERT_NE(codec, nullptr);
  EXPECT_EQ(codec->Coefficient(2, 0), 3);
  EXPECT_EQ(codec->Coefficient(2, 1), 2);
}

TEST(ReedSolomonTest, KnownCoefficientsForFourSources) {
  auto codec = ReedSolomon::Get(4, 2);
  ASSERT_NE(codec, nullptr);
  const uint8_t expected[2][4] = {{119, 64, 56, 14}, {199, 167, 13, 108}};
  for (int j = 0; j < 2; ++j) {
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(codec->Coefficient(4 + j, i), expected[j][i]) << "row " << j << " col " << i;
    }
  }
  // Systematic: the source rows are the identity.
  for (int e = 0; e < 4; ++e) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(codec->Coefficient(e, i), e == i ? 1 : 0);
  }
}

TEST(ReedSolomonTest, RepairRowsDoNotDependOnTheRepairCount) {
  auto small = ReedSolomon::Get(5, 1);
  auto large = ReedSolomon::Get(5, 7);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(small->Coefficient(5, i), large->Coefficient(5, i));
}

TEST(ReedSolomonTest, EncodeWritesTheKnownRepairBytes) {
  auto codec = ReedSolomon::Get(4, 2);
  const Symbols sources = RandomSymbols(4, 1480, 7);
  const Symbols block = EncodeBlock(*codec, sources);
  const uint8_t rows[2][4] = {{119, 64, 56, 14}, {199, 167, 13, 108}};
  for (int j = 0; j < 2; ++j) {
    for (size_t b = 0; b < 1480; ++b) {
      uint8_t want = 0;
      for (int i = 0; i < 4; ++i) want ^= gf256::Mul(rows[j][i], sources[i][b]);
      ASSERT_EQ(block[4 + j][b], want) << "repair " << j << " byte " << b;
    }
  }
  // k = 2, r = 1: repair = 3 * S0 xor 2 * S1, on a hand-picked pair too.
  auto two = ReedSolomon::Get(2, 1);
  const Symbols pair = {{0x01, 0x80, 0xFF}, {0x01, 0x80, 0x00}};
  const Symbols coded = EncodeBlock(*two, pair);
  // 3 * 1 ^ 2 * 1 = 1; 3 * 0x80 ^ 2 * 0x80 = 0x80; 3 * 0xFF = 0x1C (mod 0x11D).
  EXPECT_EQ(coded[2], (std::vector<uint8_t>{0x01, 0x80, 0x1C}));
}

TEST(ReedSolomonTest, EveryErasurePatternOfSmallBlocksRoundTrips) {
  for (int n = 1; n <= 8; ++n) {
    for (int k = 1; k <= n; ++k) {
      auto codec = ReedSolomon::Get(k, n - k);
      ASSERT_NE(codec, nullptr);
      for (size_t len : {size_t{1}, size_t{31}, size_t{1480}}) {
        const Symbols block = EncodeBlock(*codec, RandomSymbols(k, len, 100 * n + k));
        for (uint32_t present = 0; present < (1u << n); ++present) {
          ExpectRoundTrip(*codec, block, present);
        }
      }
    }
  }
}

TEST(ReedSolomonTest, LargeBlocksRebuildFromAnyKSymbols) {
  std::mt19937 rng(42);
  for (auto [k, r] :
       {std::pair{20, 10}, std::pair{128, 128}, std::pair{255, 1}, std::pair{100, 50}}) {
    auto codec = ReedSolomon::Get(k, r);
    ASSERT_NE(codec, nullptr);
    const Symbols block = EncodeBlock(*codec, RandomSymbols(k, 200, k * 1000 + r));
    const int n = k + r;
    for (int trial = 0; trial < 5; ++trial) {
      // Keep exactly k symbols, chosen at random.
      std::vector<int> order(n);
      for (int i = 0; i < n; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), rng);
      std::vector<const uint8_t*> symbols(n, nullptr);
      for (int i = 0; i < k; ++i) symbols[order[i]] = block[order[i]].data();
      Symbols rebuilt(k, std::vector<uint8_t>(200));
      std::vector<uint8_t*> out(k);
      for (int i = 0; i < k; ++i) out[i] = rebuilt[i].data();
      ASSERT_TRUE(codec->Decode(symbols.data(), out.data(), 200));
      for (int i = 0; i < k; ++i) {
        if (symbols[i] == nullptr) {
          EXPECT_EQ(rebuilt[i], block[i]) << k << "/" << r << " " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace fec
