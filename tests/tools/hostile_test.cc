#include "client/hostile.h"

#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "client/media_datagrams.h"

namespace corvanetools {
namespace {

uint64_t IdAt(const std::vector<uint8_t>& bytes, size_t offset) {
  uint64_t id = 0;
  for (size_t i = 0; i < 8; ++i) id = (id << 8) | bytes[offset + i];
  return id;
}
uint16_t Be16(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] << 8 | bytes[offset + 1]);
}

// Many draws of each kind: every one has the flaw it is named for.
TEST(HostileTest, EveryKindCarriesItsFlaw) {
  std::mt19937_64 rng(7);
  const std::vector<uint64_t> members = {1001, 1002};
  for (int draw = 0; draw < 2000; ++draw) {
    auto bytes = MakeHostileDatagram(HostileKind::kRandomBytes, rng, members);
    EXPECT_LE(bytes.size(), kMaxDatagramSize);
    if (bytes.size() > 1) {
      EXPECT_NE(bytes[1], kAuthPayloadType);
      EXPECT_NE(bytes[1], 'P');
    }

    bytes = MakeHostileDatagram(HostileKind::kForeignNoToken, rng, members);
    ASSERT_EQ(bytes.size(), kMediaHeaderBytes + 2);
    EXPECT_TRUE(IdAt(bytes, 6) == 1001 || IdAt(bytes, 6) == 1002);
    EXPECT_EQ(Be16(bytes, 14), 0);

    bytes = MakeHostileDatagram(HostileKind::kForeignBadToken, rng, members);
    const size_t token = Be16(bytes, 14) & 0x7FF;
    EXPECT_GE(token, 1u);
    EXPECT_LE(kMediaHeaderBytes + 2 + token, bytes.size());
    EXPECT_NE(bytes[1], kAuthPayloadType);

    bytes = MakeHostileDatagram(HostileKind::kReportOverclaim, rng, members);
    EXPECT_EQ(bytes[1], kReportPayloadType);
    EXPECT_LT(bytes.size(), 14 + 12 * static_cast<size_t>(bytes[0] & 0x0F));

    bytes = MakeHostileDatagram(HostileKind::kFecAbsurd, rng, members);
    EXPECT_EQ(bytes[1], 'P');
    if (bytes.size() > 23) {
      EXPECT_NE(bytes[23], kAuthPayloadType);
    }
    if (bytes.size() >= 22) {
      EXPECT_TRUE(bytes[18] == 0 || bytes[18] + bytes[19] > 256);
    }

    bytes = MakeHostileDatagram(HostileKind::kTokenOverclaim, rng, members);
    EXPECT_LT(bytes.size(), kMediaHeaderBytes + 2 + (Be16(bytes, 14) & 0x7FF));

    bytes = MakeHostileDatagram(HostileKind::kDetectNewPort, rng, members);
    EXPECT_TRUE(IsDetectDatagram(bytes.data(), bytes.size()));
  }
}

}  // namespace
}  // namespace corvanetools
