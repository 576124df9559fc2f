#include "client/fec_stream.h"

#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_io.h"

#include "client/media_datagrams.h"

namespace corvanetools {
namespace {

// Repair j is the XOR of the sources plus j: enough to see which bytes went in.
bool XorEncoder(int k, int r, const uint8_t* const* sources, uint8_t* const* repairs, size_t len) {
  for (int j = 0; j < r; ++j) {
    for (size_t b = 0; b < len; ++b) {
      uint8_t value = static_cast<uint8_t>(j);
      for (int i = 0; i < k; ++i) value ^= sources[i][b];
      repairs[j][b] = value;
    }
  }
  return true;
}

std::vector<uint8_t> Voice(uint32_t sequence, uint64_t user, uint8_t level, bool priority,
                           size_t payload = 20) {
  const std::string token = "tk";
  MediaFields fields;
  fields.sequence = sequence;
  fields.user_id = user;
  fields.token = &token;
  fields.stream_index = sequence;
  fields.payload_size = payload;
  fields.mix_marks = true;
  fields.level = level;
  fields.priority = priority;
  std::vector<uint8_t> out(kMaxDatagramSize);
  out.resize(BuildMedia(fields, out.data(), out.size()));
  return out;
}

TEST(FecStreamTest, SourceDatagramWrapsTheMediaBehindTheHeader) {
  FecStream stream(0x0102030405060708ull, 2, 1, XorEncoder, 100);
  const std::vector<uint8_t> media = Voice(7, 0x0102030405060708ull, 90, true);
  uint8_t out[kMaxDatagramSize];
  const size_t size = stream.AddSource(media.data(), media.size(), out);
  ASSERT_EQ(size, 22 + media.size());
  const std::vector<uint8_t> header(out, out + 22);
  EXPECT_EQ(header, (std::vector<uint8_t>{0x80, 'P',
                                          1,    2,
                                          3,    4,
                                          5,    6,
                                          7,    8,  // marker, user
                                          0,    0,
                                          0,    100,
                                          0,    0,
                                          0,    100,  // s, b
                                          2,    1,    // k, r
                                          0,    static_cast<uint8_t>(media.size())}));
  EXPECT_EQ(std::memcmp(out + 22, media.data(), media.size()), 0);
}

TEST(FecStreamTest, BlocksNumberOnWithoutGapsAndRepairsCoverThePaddedSymbols) {
  FecStream stream(9, 2, 2, XorEncoder);
  uint8_t out[kMaxDatagramSize];
  std::vector<uint8_t> repairs(2 * kFecRepairSize);
  for (int block = 0; block < 2; ++block) {
    const std::vector<uint8_t> a = Voice(1, 9, 10, false, 20);
    const std::vector<uint8_t> b = Voice(2, 9, 10, false, 60);
    stream.AddSource(a.data(), a.size(), out);
    EXPECT_EQ(rtc::GetBE32(out + 10), static_cast<uint32_t>(4 * block));
    EXPECT_FALSE(stream.BlockFull());
    stream.AddSource(b.data(), b.size(), out);
    EXPECT_EQ(rtc::GetBE32(out + 10), static_cast<uint32_t>(4 * block + 1));
    EXPECT_EQ(rtc::GetBE32(out + 14), static_cast<uint32_t>(4 * block));
    ASSERT_TRUE(stream.BlockFull());
    ASSERT_TRUE(stream.TakeRepairs(repairs.data()));
    for (int j = 0; j < 2; ++j) {
      const uint8_t* repair = repairs.data() + j * kFecRepairSize;
      FecHeader header;
      ASSERT_TRUE(ParseFecHeader(repair, kFecRepairSize, &header));
      EXPECT_EQ(header.sequence, static_cast<uint32_t>(4 * block + 2 + j));
      EXPECT_EQ(header.block_start, static_cast<uint32_t>(4 * block));
      EXPECT_FALSE(header.IsSource());
      // Symbol byte 1 is the low byte of each length; past the longer media only padding.
      EXPECT_EQ(repair[20 + 1], static_cast<uint8_t>(a.size() ^ b.size() ^ j));
      EXPECT_EQ(repair[20 + 2 + 10], static_cast<uint8_t>(a[10] ^ b[10] ^ j));
      EXPECT_EQ(repair[20 + 2 + b.size() + 5], static_cast<uint8_t>(j));
      EXPECT_EQ(repair[kFecRepairSize - 1], static_cast<uint8_t>(j));
    }
  }
}

TEST(FecStreamTest, OneSourceBlocksRepeatTheSymbol) {
  FecStream stream(5, 1, 2, CopyRepairEncoder);
  const std::vector<uint8_t> media = Voice(3, 5, 1, false);
  uint8_t out[kMaxDatagramSize];
  stream.AddSource(media.data(), media.size(), out);
  std::vector<uint8_t> repairs(2 * kFecRepairSize);
  ASSERT_TRUE(stream.TakeRepairs(repairs.data()));
  for (int j = 0; j < 2; ++j) {
    const uint8_t* symbol = repairs.data() + j * kFecRepairSize + 20;
    EXPECT_EQ(rtc::GetBE16(symbol), media.size());
    EXPECT_EQ(std::memcmp(symbol + 2, media.data(), media.size()), 0);
  }
  EXPECT_EQ(stream.next_sequence(), 3u);
}

TEST(FecStreamTest, CopyEncoderRefusesBlocksOfSeveralSources) {
  FecStream stream(5, 2, 1, CopyRepairEncoder);
  const std::vector<uint8_t> media = Voice(3, 5, 1, false);
  uint8_t out[kMaxDatagramSize];
  stream.AddSource(media.data(), media.size(), out);
  stream.AddSource(media.data(), media.size(), out);
  std::vector<uint8_t> repairs(kFecRepairSize);
  EXPECT_FALSE(stream.TakeRepairs(repairs.data()));
  EXPECT_EQ(stream.next_sequence(), 3u);  // the block is skipped all the same
}

TEST(FecStreamTest, MediaLongerThanASymbolIsRefused) {
  FecStream stream(5, 1, 0, CopyRepairEncoder);
  std::vector<uint8_t> media(kMaxFecMedia + 1, 0);
  std::vector<uint8_t> out(kMaxFecMedia + 64);
  EXPECT_EQ(stream.AddSource(media.data(), media.size(), out.data()), 0u);
  media.resize(kMaxFecMedia);
  EXPECT_EQ(stream.AddSource(media.data(), media.size(), out.data()), kMaxFecMedia + 22);
}

TEST(FecStreamTest, ClassifierReadsTheWrappedVoiceAndItsMarks) {
  FecStream stream(77, 1, 1, CopyRepairEncoder);
  const std::vector<uint8_t> media = Voice(42, 77, 200, true);
  uint8_t out[kMaxDatagramSize];
  const size_t size = stream.AddSource(media.data(), media.size(), out);
  const IncomingDatagram in = ClassifyIncoming(out, size);
  EXPECT_EQ(in.kind, Incoming::kMedia);
  EXPECT_TRUE(in.fec);
  EXPECT_EQ(in.id, 77u);
  EXPECT_EQ(in.sequence, 42u);
  EXPECT_TRUE(in.has_probe);
  EXPECT_EQ(in.stream_index, 42u);
  EXPECT_TRUE(in.has_mix_marks);
  EXPECT_EQ(in.level, 200);
  EXPECT_TRUE(in.priority);
  // The same media unwrapped, as a NACK answer brings it.
  const IncomingDatagram plain = ClassifyIncoming(media.data(), media.size());
  EXPECT_EQ(plain.kind, Incoming::kMedia);
  EXPECT_FALSE(plain.fec);
  EXPECT_EQ(plain.stream_index, 42u);

  std::vector<uint8_t> repair(kFecRepairSize);
  stream.TakeRepairs(repair.data());
  const IncomingDatagram r = ClassifyIncoming(repair.data(), repair.size());
  EXPECT_EQ(r.kind, Incoming::kFecRepair);
  EXPECT_EQ(r.id, 77u);
  EXPECT_EQ(r.sequence, 1u);
}

TEST(FecStreamTest, ClassifierRefusesBrokenFecDatagrams) {
  FecStream stream(77, 1, 0, CopyRepairEncoder);
  const std::vector<uint8_t> media = Voice(42, 77, 1, false);
  uint8_t out[kMaxDatagramSize];
  const size_t size = stream.AddSource(media.data(), media.size(), out);
  // Cut short: the length says more than there is.
  for (size_t cut : {size - 1, size_t{22}, size_t{21}, size_t{19}}) {
    std::vector<uint8_t> copy(out, out + cut);
    EXPECT_EQ(ClassifyIncoming(copy.data(), copy.size()).kind, Incoming::kMalformed) << cut;
  }
  // A wrapped datagram of another user.
  std::vector<uint8_t> other(out, out + size);
  rtc::SetBE64(other.data() + 2, 78);
  EXPECT_EQ(ClassifyIncoming(other.data(), other.size()).kind, Incoming::kMalformed);
  // A FEC datagram inside a FEC datagram.
  FecStream outer(77, 1, 0, CopyRepairEncoder);
  uint8_t nested[kMaxDatagramSize];
  const size_t nested_size = outer.AddSource(out, size, nested);
  EXPECT_EQ(ClassifyIncoming(nested, nested_size).kind, Incoming::kMalformed);
}

}  // namespace
}  // namespace corvanetools

#include "fec/reed_solomon.h"

#include "client/fec_encoder.h"

namespace corvanetools {
namespace {

TEST(FecEncoderTest, TheCodecRebuildsLostSourcesFromTheRepairsSent) {
  constexpr int kK = 4;
  constexpr int kR = 2;
  RepairEncoder encoder = DefaultRepairEncoder(kK, kR);
  ASSERT_TRUE(encoder);
  FecStream stream(11, kK, kR, encoder);
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < kK; ++i) {
    const std::vector<uint8_t> media = Voice(100 + i, 11, 5, false, 20 + 30 * i);
    std::vector<uint8_t> out(kMaxDatagramSize);
    out.resize(stream.AddSource(media.data(), media.size(), out.data()));
    sent.push_back(out);
  }
  std::vector<uint8_t> repairs(kR * kFecRepairSize);
  ASSERT_TRUE(stream.TakeRepairs(repairs.data()));

  // Sources 1 and 2 lost: what the server holds is the padded symbols of 0, 3
  // and the two repairs.
  std::vector<std::vector<uint8_t>> symbols(kK + kR, std::vector<uint8_t>(kFecSymbolBytes, 0));
  for (int i : {0, 3}) std::copy(sent[i].begin() + 20, sent[i].end(), symbols[i].begin());
  for (int j = 0; j < kR; ++j) {
    std::copy(repairs.begin() + j * kFecRepairSize + 20, repairs.begin() + (j + 1) * kFecRepairSize,
              symbols[kK + j].begin());
  }
  const uint8_t* present[kK + kR] = {symbols[0].data(), nullptr,           nullptr,
                                     symbols[3].data(), symbols[4].data(), symbols[5].data()};
  std::vector<std::vector<uint8_t>> rebuilt(kK, std::vector<uint8_t>(kFecSymbolBytes));
  uint8_t* out[kK] = {rebuilt[0].data(), rebuilt[1].data(), rebuilt[2].data(), rebuilt[3].data()};
  ASSERT_TRUE(fec::ReedSolomon::Get(kK, kR)->Decode(present, out, kFecSymbolBytes));
  for (int i : {1, 2}) {
    const size_t length = rtc::GetBE16(rebuilt[i].data());
    ASSERT_EQ(length + 22, sent[i].size());
    EXPECT_TRUE(std::equal(sent[i].begin() + 22, sent[i].end(), rebuilt[i].begin() + 2)) << i;
  }
}

TEST(FecEncoderTest, BlocksTheCodecCannotCodeGetNoEncoder) {
  EXPECT_FALSE(DefaultRepairEncoder(0, 1));
  EXPECT_FALSE(DefaultRepairEncoder(200, 57));
  EXPECT_TRUE(DefaultRepairEncoder(1, 0));
}

}  // namespace
}  // namespace corvanetools
