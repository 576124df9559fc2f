// Varints, field keys and unknown-field skipping of the control encoding.
#include "control/pb_obj.h"

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "support/decode_case.h"

namespace {

using Bytes = std::vector<uint8_t>;
using corvaneserver::testing_support::DecodeCase;

// Varint length computed from the bit width, independently of the encoder.
int ExpectedVarintSize(uint64_t v) {
  int bits = 0;
  while (bits < 64 && (v >> bits) != 0) ++bits;
  return bits == 0 ? 1 : (bits + 6) / 7;
}

Bytes Encode(uint64_t v) {
  Bytes out(kMaxVarintBytes);
  size_t pos = 0;
  encodeVarint(out.data(), &pos, v);
  out.resize(pos);
  return out;
}

TEST(EncodeVarintSizeTest, Boundaries) {
  EXPECT_EQ(encodeVarintSize(0), 1);
  EXPECT_EQ(encodeVarintSize(127), 1);
  EXPECT_EQ(encodeVarintSize(128), 2);
  EXPECT_EQ(encodeVarintSize(16383), 2);
  EXPECT_EQ(encodeVarintSize(16384), 3);
  EXPECT_EQ(encodeVarintSize(0xFFFFFFFFu), 5);
  EXPECT_EQ(encodeVarintSize(UINT64_MAX), 10);
  for (int bit = 0; bit < 64; ++bit) {
    const uint64_t power = uint64_t{1} << bit;
    EXPECT_EQ(encodeVarintSize(power), ExpectedVarintSize(power)) << bit;
    EXPECT_EQ(encodeVarintSize(power - 1), ExpectedVarintSize(power - 1)) << bit;
  }
}

TEST(EncodeVarintTest, WireExamples) {
  EXPECT_EQ(Encode(300), (Bytes{0xAC, 0x02}));
  EXPECT_EQ(Encode(0), (Bytes{0x00}));
  EXPECT_EQ(Encode(1), (Bytes{0x01}));
  EXPECT_EQ(Encode(127), (Bytes{0x7F}));
  EXPECT_EQ(Encode(128), (Bytes{0x80, 0x01}));
  EXPECT_EQ(Encode(0xFFFFFFFFu), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
  EXPECT_EQ(Encode(UINT64_MAX),
            (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));
}

TEST(EncodeVarintTest, WritesAtAndAdvancesThePosition) {
  Bytes out(6, 0xEE);
  size_t pos = 2;
  encodeVarint(out.data(), &pos, 300);
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(out, (Bytes{0xEE, 0xEE, 0xAC, 0x02, 0xEE, 0xEE}));
}

TEST(DecodeVarintTest, RoundTripsBoundariesAndRandomValues) {
  std::vector<uint64_t> values = {0, 1, 127, 128, 300, 16383, 16384, 0xFFFFFFFFu, UINT64_MAX};
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) values.push_back(rng() >> (rng() % 64));
  for (uint64_t v : values) {
    const Bytes bytes = Encode(v);
    ASSERT_EQ(static_cast<int>(bytes.size()), encodeVarintSize(v));
    size_t pos = 0;
    uint64_t out = 12345;
    ASSERT_EQ(decodeVarUint64(bytes.data(), bytes.size(), &pos, &out), kPbOk);
    EXPECT_EQ(out, v);
    EXPECT_EQ(pos, bytes.size());
    pos = 0;
    uint32_t out32 = 0;
    ASSERT_EQ(decodeVarUint32(bytes.data(), bytes.size(), &pos, &out32), kPbOk);
    EXPECT_EQ(out32, static_cast<uint32_t>(v));
  }
}

TEST(DecodeVarintTest, DecodesAtTheReadPosition) {
  const Bytes bytes = {0x55, 0xAC, 0x02, 0x01};
  size_t pos = 1;
  uint64_t out = 0;
  ASSERT_EQ(decodeVarUint64(bytes.data(), bytes.size(), &pos, &out), kPbOk);
  EXPECT_EQ(out, 300u);
  EXPECT_EQ(pos, 3u);
}

TEST(DecodeVarintTest, TenByteVarintKeepsLow32Bits) {
  const Bytes ten = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  size_t pos = 0;
  uint32_t out = 0;
  EXPECT_EQ(decodeVarUint32(ten.data(), ten.size(), &pos, &out), kPbOk);
  EXPECT_EQ(out, 0xFFFFFFFFu);
  EXPECT_EQ(pos, 10u);
}

TEST(DecodeVarintTest, ElevenByteVarintIsMalformed) {
  const Bytes eleven = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  size_t pos = 0;
  uint32_t out32 = 77;
  EXPECT_EQ(decodeVarUint32(eleven.data(), eleven.size(), &pos, &out32), kPbErrMalformed);
  EXPECT_EQ(out32, 77u);  // stored only on success
  EXPECT_EQ(pos, 10u);
  pos = 0;
  uint64_t out64 = 0;
  EXPECT_EQ(decodeVarUint64(eleven.data(), eleven.size(), &pos, &out64), kPbErrMalformed);
  pos = 0;
  int32_t out_int = 0;
  EXPECT_EQ(decodeVarInt32(eleven.data(), eleven.size(), &pos, &out_int), kPbErrMalformed);
  pos = 0;
  EXPECT_EQ(decodeVarInt(eleven.data(), eleven.size(), &pos, &out_int), kPbErrMalformed);
}

TEST(DecodeVarintTest, NegativeInt32FromFiveAndTenBytes) {
  const Bytes five = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
  const Bytes ten = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  const Bytes min_five = {0x80, 0x80, 0x80, 0x80, 0x08};
  for (const Bytes* bytes : {&five, &ten}) {
    size_t pos = 0;
    int32_t out = 0;
    EXPECT_EQ(decodeVarInt32(bytes->data(), bytes->size(), &pos, &out), kPbOk);
    EXPECT_EQ(out, -1);
    pos = 0;
    out = 0;
    EXPECT_EQ(decodeVarInt(bytes->data(), bytes->size(), &pos, &out), kPbOk);
    EXPECT_EQ(out, -1);
  }
  size_t pos = 0;
  int32_t out = 0;
  EXPECT_EQ(decodeVarInt32(min_five.data(), min_five.size(), &pos, &out), kPbOk);
  EXPECT_EQ(out, INT32_MIN);
}

TEST(DecodeVarintTest, TruncationAtEveryLength) {
  const Bytes full = Encode(UINT64_MAX);
  for (size_t cut = 0; cut < full.size(); ++cut) {
    // Exactly sized copy: a read past the end shows up under ASan.
    const Bytes prefix(full.begin(), full.begin() + static_cast<long>(cut));
    size_t pos = 0;
    uint64_t out64 = 0;
    EXPECT_EQ(decodeVarUint64(prefix.data(), prefix.size(), &pos, &out64), kPbErrTruncated) << cut;
    EXPECT_EQ(pos, cut);
    pos = 0;
    uint32_t out32 = 5;
    EXPECT_EQ(decodeVarUint32(prefix.data(), prefix.size(), &pos, &out32), kPbErrTruncated);
    EXPECT_EQ(out32, 5u);
    pos = 0;
    int32_t out_int = 6;
    EXPECT_EQ(decodeVarInt32(prefix.data(), prefix.size(), &pos, &out_int), kPbErrTruncated);
    EXPECT_EQ(out_int, 6);
    pos = 0;
    EXPECT_EQ(decodeVarInt(prefix.data(), prefix.size(), &pos, &out_int), kPbErrTruncated);
  }
}

TEST(DecodeVarintTest, PositionAtTheEndIsTruncated) {
  const Bytes bytes = {0x01};
  size_t pos = 1;
  uint64_t out = 0;
  EXPECT_EQ(decodeVarUint64(bytes.data(), bytes.size(), &pos, &out), kPbErrTruncated);
  EXPECT_EQ(pos, 1u);
}

TEST(DecodeVarintTest, Uint64KeepsTheBitsReadBeforeAnError) {
  const Bytes cut = {0x81, 0x82};
  size_t pos = 0;
  uint64_t out = 999;
  EXPECT_EQ(decodeVarUint64(cut.data(), cut.size(), &pos, &out), kPbErrTruncated);
  EXPECT_EQ(out, 1u | (2u << 7));
}

TEST(DecodeLengthTest, RefusesLengthsThatAreNegativeAsInt) {
  size_t length = 0;
  size_t pos = 0;
  const Bytes max_int = Encode(INT_MAX);
  EXPECT_EQ(decodeLength(max_int.data(), max_int.size(), &pos, &length), kPbOk);
  EXPECT_EQ(length, static_cast<size_t>(INT_MAX));
  for (uint64_t bad :
       {uint64_t{0x80000000u}, uint64_t{0xFFFFFFFFu}, uint64_t{0x100000005u}, UINT64_MAX}) {
    const Bytes bytes = Encode(bad);
    pos = 0;
    EXPECT_EQ(decodeLength(bytes.data(), bytes.size(), &pos, &length), kPbErrMalformed) << bad;
  }
  const Bytes cut = {0x80};
  pos = 0;
  EXPECT_EQ(decodeLength(cut.data(), cut.size(), &pos, &length), kPbErrTruncated);
}

struct KeyCase {
  Bytes bytes;
  int rc;
  int64_t field;
  int wire_type;
};

TEST(DecodeFieldKeyTest, Cases) {
  const std::vector<KeyCase> cases = {
      {{0x08}, kPbOk, 1, 0},
      {{0x12}, kPbOk, 2, 2},
      {{0x1D}, kPbOk, 3, 5},
      {{0x80, 0x01}, kPbOk, 16, 0},
      {{0xFA, 0xFF, 0xFF, 0xFF, 0x0F}, kPbOk, 0x1FFFFFFF, 2},
      {{0x04}, kPbErrMalformed, 0, 4},  // end group before the field-number check
      {{0x0C}, kPbErrMalformed, 1, 4},
      {{0x00}, kPbErrTruncated, 0, 0},
      {{0x07}, kPbErrTruncated, 0, 7},
      {{0x80}, kPbErrTruncated, -1, -1},
      {{}, kPbErrTruncated, -1, -1},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, kPbErrMalformed, -1, -1},
  };
  for (const KeyCase& c : cases) {
    size_t pos = 0;
    int64_t field = -1;
    int wire_type = -1;
    EXPECT_EQ(decodeFieldKey(c.bytes.data(), c.bytes.size(), &pos, &field, &wire_type), c.rc)
        << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(field, c.field) << ::testing::PrintToString(c.bytes);
    EXPECT_EQ(wire_type, c.wire_type) << ::testing::PrintToString(c.bytes);
  }
}

TEST(DecodeFieldKeyTest, HugeFieldNumberIsNotTruncatedToASmallOne) {
  // (2^32 + 1) << 3: taken as a 32-bit int this would alias to field 1.
  const Bytes key = Encode(((uint64_t{1} << 32) + 1) << 3);
  size_t pos = 0;
  int64_t field = 0;
  int wire_type = -1;
  ASSERT_EQ(decodeFieldKey(key.data(), key.size(), &pos, &field, &wire_type), kPbOk);
  EXPECT_EQ(field, (int64_t{1} << 32) + 1);
  EXPECT_EQ(wire_type, 0);
}

TEST(SkipDefaultFieldTest, EveryWireTypeAndError) {
  const std::vector<DecodeCase> cases = {
      {"varint", {0x28, 0x96, 0x01, 0x99}, 3},
      {"varint 10 bytes", {0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 11},
      {"varint 11 bytes",
       {0x28, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
       kPbErrMalformed},
      {"varint cut", {0x28, 0x96}, kPbErrTruncated},
      {"varint missing", {0x28}, kPbErrTruncated},
      {"fixed64", {0x29, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 9},
      {"fixed64 short: end not checked here", {0x29, 1, 2, 3}, 9},
      {"length-delimited", {0x2A, 0x03, 'a', 'b', 'c', 'd'}, 5},
      {"length-delimited empty", {0x2A, 0x00}, 2},
      {"length-delimited past the end", {0x2A, 0x05, 'a'}, 7},
      {"length-delimited length cut", {0x2A, 0x80}, kPbErrTruncated},
      {"length-delimited length missing", {0x2A}, kPbErrTruncated},
      {"length-delimited negative", {0x2A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, kPbErrNegativeLength},
      {"length-delimited 2^31", {0x2A, 0x80, 0x80, 0x80, 0x80, 0x08}, kPbErrNegativeLength},
      {"length-delimited length overlong",
       {0x2A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
       kPbErrMalformed},
      {"group", {0x2B, 0x08, 0x01, 0x2C, 0x77}, 4},
      {"empty group", {0x2B, 0x2C}, 2},
      {"group ended by any end key", {0x2B, 0x0C}, 2},
      {"nested group", {0x2B, 0x33, 0x08, 0x05, 0x34, 0x12, 0x01, 'x', 0x2C}, 9},
      {"group holding every wire type",
       {0x2B, 0x08, 0x01, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 0x1A, 0x01, 'z', 0x25, 1, 2, 3, 4, 0x2C},
       21},
      {"group unterminated", {0x2B, 0x08, 0x01}, kPbErrTruncated},
      {"group with bad wire type inside", {0x2B, 0x0E, 0x2C}, kPbErrBadWireType},
      {"group with negative length inside",
       {0x2B, 0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x2C},
       kPbErrNegativeLength},
      {"group with fixed64 running past the end", {0x2B, 0x09, 1, 2, 0x2C}, kPbErrTruncated},
      {"group with string running past the end", {0x2B, 0x0A, 0x09, 'a', 0x2C}, kPbErrTruncated},
      {"group with overlong varint inside",
       {0x2B, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x2C},
       kPbErrMalformed},
      {"end group", {0x2C, 0x08}, 1},
      {"fixed32", {0x2D, 1, 2, 3, 4, 5}, 5},
      {"fixed32 short", {0x2D, 1}, 5},
      {"wire type 6", {0x2E, 0x00}, kPbErrBadWireType},
      {"wire type 7", {0x2F, 0x00}, kPbErrBadWireType},
      {"two-byte key", {0x80, 0x01, 0x05}, 3},
      {"key cut", {0x80}, kPbErrTruncated},
      {"key overlong",
       {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
       kPbErrMalformed},
      {"nothing left", {}, kPbErrNoField},
  };
  for (const DecodeCase& c : cases) {
    EXPECT_EQ(skipDefaultField(c.bytes.data(), c.bytes.size()), c.result) << c.name;
  }
}

TEST(SkipDefaultFieldTest, DeeplyNestedGroupsDoNotExhaustTheStack) {
  const size_t depth = 200000;
  Bytes bytes(depth, 0x0B);
  bytes.insert(bytes.end(), depth, 0x0C);
  EXPECT_EQ(skipDefaultField(bytes.data(), bytes.size()), static_cast<int>(2 * depth));
  bytes.pop_back();
  EXPECT_EQ(skipDefaultField(bytes.data(), bytes.size()), kPbErrTruncated);
}

TEST(SkipDefaultFieldTest, HugeLengthDoesNotOverflow) {
  // A 2^31 - 1 byte field ends beyond INT_MAX once its key and length are added.
  const Bytes bytes = {0x2A, 0xFF, 0xFF, 0xFF, 0xFF, 0x07};
  EXPECT_EQ(skipDefaultField(bytes.data(), bytes.size()), kPbErrTruncated);
  const Bytes fits = {0x2A, 0xF0, 0xFF, 0xFF, 0xFF, 0x07};  // INT_MAX - 15 + 6 fits
  EXPECT_EQ(skipDefaultField(fits.data(), fits.size()), INT_MAX - 15 + 6);
}

}  // namespace
