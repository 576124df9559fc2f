#include "packet/fec_header.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace corvaneserver {
namespace {

// A source datagram's first bytes as a sender writes them.
const std::vector<uint8_t> kHeader = {0xA0, 0x50,                                      // flags, 'P'
                                      0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // user id
                                      0xFF, 0xFF, 0xFF, 0xFE,                          // s
                                      0xFF, 0xFF, 0xFF, 0xFD,                          // b
                                      0x03, 0x02,                                      // k, r
                                      0x00, 0x04};  // L of the wrapped datagram

TEST(FecHeaderTest, ParseReadsEveryField) {
  FecHeader header;
  ASSERT_TRUE(ParseFecHeader(kHeader.data(), kHeader.size(), &header));
  EXPECT_EQ(header.user_id, 0x0102030405060708ull);
  EXPECT_EQ(header.sequence, 0xFFFFFFFEu);
  EXPECT_EQ(header.start, 0xFFFFFFFDu);
  EXPECT_EQ(header.k, 3);
  EXPECT_EQ(header.r, 2);
  EXPECT_EQ(ChannelId(kHeader.data()), header.user_id);
  EXPECT_EQ(SequenceNum(kHeader.data()), header.sequence);
}

TEST(FecHeaderTest, ShortDatagramIsNotParsedAndLeavesTheFields) {
  FecHeader header;
  header.k = 9;
  EXPECT_FALSE(ParseFecHeader(kHeader.data(), kFecHeaderSize - 1, &header));
  EXPECT_FALSE(ParseFecHeader(nullptr, 0, &header));
  EXPECT_EQ(header.k, 9);
}

TEST(FecHeaderTest, WriteGivesBackTheSameBytesAndLeavesTheRest) {
  FecHeader header;
  ASSERT_TRUE(ParseFecHeader(kHeader.data(), kHeader.size(), &header));
  std::vector<uint8_t> out(kHeader.size(), 0xEE);
  WriteFecHeader(header, out.data());
  for (size_t i = 0; i < kHeader.size(); ++i) {
    const bool written = i >= kFecUserIdOffset && i < kFecSymbolOffset;
    EXPECT_EQ(out[i], written ? kHeader[i] : 0xEE) << "byte " << i;
  }
}

}  // namespace
}  // namespace corvaneserver
