#include "fec/decoder.h"

#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "base/time_utils.h"
#include "fec/block_builder.h"
#include "fec/fec_metrics.h"

#include "support/log_capture.h"

namespace fec {
namespace {

constexpr uint64_t kUser = 77;

// A media datagram: flags, payload type 0x60, sequence number, user id, then
// `payload` bytes that depend on the sequence number.
Datagram Media(uint32_t sequence, size_t payload = 40) {
  Datagram media(14 + payload);
  media[0] = 0x80;
  media[1] = 0x60;
  rtc::SetBE32(media.data() + 2, sequence);
  rtc::SetBE64(media.data() + 6, kUser);
  for (size_t i = 0; i < payload; ++i) media[14 + i] = static_cast<uint8_t>(sequence * 7 + i);
  return media;
}

// The block at FEC sequence number `start` carrying media sequence numbers
// first_media .. first_media + k - 1.
std::vector<Datagram> Block(uint32_t start, uint32_t first_media, int k, int r, bool pad = false,
                            size_t payload = 40) {
  std::vector<Datagram> media;
  for (int i = 0; i < k; ++i) media.push_back(Media(first_media + i, payload));
  std::vector<Datagram> block;
  EXPECT_TRUE(BuildFecBlock(kUser, start, media, r, pad, &block));
  return block;
}

struct Loss {
  uint32_t reference;
  uint16_t mask;
  bool operator==(const Loss& o) const { return reference == o.reference && mask == o.mask; }
};

class DecoderTest : public ::testing::Test {
 protected:
  DecoderTest()
      : decoder_(
            [this](const unsigned char* data, unsigned int len) {
              out_.emplace_back(data, data + len);
              return 0;
            },
            [this](unsigned int reference, unsigned short mask) {
              losses_.push_back({reference, mask});
              return 0;
            }) {}

  int Send(const Datagram& datagram) {
    return decoder_.OnPacketReceived(datagram.data(), static_cast<unsigned int>(datagram.size()));
  }
  // Media sequence numbers handed out so far, checking each one's bytes.
  std::vector<uint32_t> Sequences() const {
    std::vector<uint32_t> sequences;
    for (const Datagram& d : out_) {
      EXPECT_GE(d.size(), 14u);
      if (d.size() < 14) continue;
      const uint32_t s = rtc::GetBE32(d.data() + 2);
      EXPECT_EQ(d, Media(s, d.size() - 14)) << "bytes of media " << s;
      sequences.push_back(s);
    }
    return sequences;
  }

  // Before the decoder: its rebuild budget refills with this clock.
  rtc::ScopedFakeClock clock_;
  testutil::LogCapture log_;
  std::vector<Datagram> out_;
  std::vector<Loss> losses_;
  Decoder decoder_;
};

using Seqs = std::vector<uint32_t>;

TEST_F(DecoderTest, CompleteBlockComesOutInOrderAsItArrives) {
  const auto block = Block(0, 100, 4, 2);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Send(block[i]), 0);
    Seqs expected;
    for (int j = 0; j <= i; ++j) expected.push_back(100 + j);
    EXPECT_EQ(Sequences(), expected);
  }
  EXPECT_EQ(Send(block[4]), 0);  // late: the block finished with its fourth datagram
  EXPECT_EQ(Send(block[5]), 0);
  EXPECT_EQ(out_.size(), 4u);
  // The next block follows at 6.
  for (const Datagram& d : Block(6, 104, 4, 2)) Send(d);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105, 106, 107}));
  EXPECT_TRUE(losses_.empty());
  EXPECT_EQ(log_.Count("modify next decoded"), 0u);
}

TEST_F(DecoderTest, OneLostSourceIsRebuiltAsSoonAsKDatagramsArrive) {
  const auto block = Block(0, 100, 4, 2);
  Send(block[0]);
  Send(block[1]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101}));
  Send(block[3]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101}));
  Send(block[4]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103}));
  Send(block[5]);
  EXPECT_EQ(out_.size(), 4u);
  EXPECT_TRUE(losses_.empty());
}

TEST_F(DecoderTest, SeveralGapsHandTheRebuiltOutFirst) {
  const auto block = Block(0, 100, 4, 2);
  Send(block[0]);
  Send(block[2]);
  Send(block[4]);
  EXPECT_EQ(Sequences(), (Seqs{100}));
  Send(block[5]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 103, 102}));
}

TEST_F(DecoderTest, UnrecoverableBlockIsGivenUpAfterOneAndAQuarterBlocks) {
  const auto first = Block(0, 100, 4, 2);
  Send(first[0]);
  Send(first[3]);
  Send(first[4]);
  EXPECT_EQ(Sequences(), (Seqs{100}));
  // The largest s of the block is 4: it waits until s >= 4 + 7 arrives.
  const auto second = Block(6, 104, 4, 2);
  for (int i = 0; i < 5; ++i) {
    Send(second[i]);  // s = 6 .. 10
    EXPECT_EQ(Sequences(), (Seqs{100})) << "after s=" << 6 + i;
  }
  EXPECT_TRUE(losses_.empty());
  Send(second[5]);  // s = 11
  EXPECT_EQ(Sequences(), (Seqs{100, 103, 104, 105, 106, 107}));
  // Reference f - 1 with f = 103 - 3: bits 1 and 2 are media 101 and 102.
  ASSERT_EQ(losses_.size(), 1u);
  EXPECT_EQ(losses_[0], (Loss{99, 0b0110}));
}

TEST_F(DecoderTest, FreshDecoderAdoptsABlockThatIsNotAtAMultipleOfTheRing) {
  const auto block = Block(1000, 100, 4, 2);
  Send(block[0]);
  EXPECT_EQ(log_.Count("user [77] modify next decoded start sequence number from [0]  to [1000]"),
            1u);
  EXPECT_EQ(Sequences(), (Seqs{100}));
  Send(block[1]);
  Send(block[2]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102}));
  Send(block[3]);
  for (const Datagram& d : Block(1006, 104, 4, 2)) Send(d);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105, 106, 107}));
}

TEST_F(DecoderTest, SkippedBlockMovesTheHandOutToTheNewBlock) {
  for (const Datagram& d : Block(0, 100, 4, 2)) Send(d);
  // The block at 6 is lost whole; the one at 12 comes out as it arrives.
  const auto third = Block(12, 108, 4, 2);
  Send(third[0]);
  EXPECT_EQ(log_.Count("modify next decoded start sequence number from [6]  to [12]"), 1u);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 108}));
  Send(third[1]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 108, 109}));
  Send(third[3]);
  Send(third[4]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 108, 109, 110, 111}));
}

// Regression: the datagrams of the next block that were already there
// waited, after their block's predecessor was finished, for the sender's next
// datagram.
TEST_F(DecoderTest, NextBlocksDatagramsComeOutInThePassThatFinishesABlock) {
  const auto first = Block(0, 100, 4, 2);
  const auto second = Block(6, 104, 4, 2);
  Send(first[0]);
  Send(first[2]);
  Send(first[3]);
  Send(second[0]);
  Send(second[1]);
  EXPECT_EQ(Sequences(), (Seqs{100}));
  Send(first[4]);  // the fourth of the first block: 101 is rebuilt
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105}));
  // The same after a block given up: 107 and 108 wait behind the lost 106.
  const auto third = Block(12, 108, 4, 2);
  Send(second[3]);
  for (int i = 0; i < 4; ++i) Send(third[i]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105}));
  const auto fourth = Block(18, 112, 4, 2);
  Send(fourth[0]);  // s = 18 gives the second block (largest s 9) up
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105, 107, 108, 109, 110, 111, 112}));
}

// Regression: a fresh decoder whose first datagram is not its block's first
// but lands in slot 0 left the hand-out position one slot behind, on an
// emptied slot, for good.
TEST_F(DecoderTest, HandOutFollowsAFreshStartInSlotZeroThatIsNotTheBlocksFirst) {
  const auto block = Block(510, 100, 4, 2);  // s = 510 .. 515; 512 is slot 0
  Send(block[2]);
  EXPECT_EQ(Sequences(), (Seqs{102}));
  Send(block[3]);
  Send(block[4]);
  Send(block[5]);
  EXPECT_EQ(Sequences(), (Seqs{102, 100, 101, 103}));
  const auto next = Block(516, 104, 4, 2);
  Send(next[0]);
  EXPECT_EQ(Sequences(), (Seqs{102, 100, 101, 103, 104}));
  Send(next[1]);
  EXPECT_EQ(Sequences(), (Seqs{102, 100, 101, 103, 104, 105}));
}

TEST_F(DecoderTest, StreamGoesOnAcrossTheWrapOfSequenceNumbers) {
  // Blocks at 2^32 - 9, 2^32 - 3 (it straddles the wrap: s = ..FD .. ..FF, 0, 1, 2),
  // then 3. In the middle block the source at s = 0 is lost.
  const uint32_t a = 0xFFFFFFF7u;
  for (const Datagram& d : Block(a, 100, 4, 2)) Send(d);
  const auto middle = Block(a + 6, 104, 4, 2);
  Send(middle[0]);
  Send(middle[1]);
  Send(middle[2]);
  Send(middle[4]);
  for (const Datagram& d : Block(3, 108, 4, 2)) Send(d);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111}));
  EXPECT_TRUE(losses_.empty());
}

TEST_F(DecoderTest, ShortSourceDatagramCountsAsZeroPastItsEnd) {
  // Fill slots 0 .. 5 with full-length datagrams of long media first.
  for (const Datagram& d : Block(0, 100, 4, 2, /*pad=*/true, /*payload=*/1400)) Send(d);
  // The block at 512 lands in the same slots; its sources are short, and the
  // second is lost: rebuilding it reads the others' symbols past their ends.
  // The lost one is long: its bytes past the others' ends come from their
  // symbols' zero tails.
  std::vector<Datagram> block;
  ASSERT_TRUE(BuildFecBlock(kUser, 512,
                            {Media(104, 30), Media(105, 1000), Media(106, 30), Media(107, 30)}, 2,
                            /*pad_sources=*/false, &block));
  ASSERT_LT(block[0].size(), 100u);
  Send(block[0]);
  Send(block[2]);
  Send(block[3]);
  Send(block[4]);
  EXPECT_EQ(Sequences(), (Seqs{100, 101, 102, 103, 104, 105, 106, 107}));
}

TEST_F(DecoderTest, DatagramInTheSlotOfAnOlderOneReplacesItWithAWarning) {
  const auto first = Block(0, 100, 4, 2);
  Send(first[0]);
  Datagram later = Block(512, 200, 4, 2)[0];
  Send(later);
  EXPECT_EQ(log_.Count("user [77] index [0] is in used, sequence number [0] start sequence number "
                       "[0], fec parameter [R: 4 | C: 2] and now coming sequence number is [512]"),
            1u);
}

TEST_F(DecoderTest, MalformedDatagramsAreDroppedOnArrival) {
  Datagram ok = Block(0, 100, 4, 2)[0];
  Datagram short_header(ok.begin(), ok.begin() + 21);
  Datagram no_sources = ok;
  no_sources[18] = 0;
  Datagram too_large = ok;
  too_large[18] = 200;
  too_large[19] = 57;  // 257 symbols
  Datagram outside = ok;
  rtc::SetBE32(outside.data() + 10, 6);  // s = b + k + r
  for (const Datagram* d : {&short_header, &no_sources, &too_large, &outside}) {
    EXPECT_EQ(Send(*d), -1);
  }
  EXPECT_TRUE(out_.empty());
  EXPECT_EQ(log_.Count("drop fec packet"), 1u) << "one line per second";
  // The largest block the codec takes is accepted.
  Datagram largest = ok;
  largest[18] = 200;
  largest[19] = 56;
  EXPECT_EQ(Send(largest), 0);
}

TEST_F(DecoderTest, DuplicateIsHandedOutOnce) {
  const auto block = Block(0, 100, 4, 2);
  Send(block[0]);
  Send(block[0]);
  EXPECT_EQ(Sequences(), (Seqs{100}));
}

TEST_F(DecoderTest, PlainDatagramGoesStraightToTheCallback) {
  const Datagram media = Media(5);
  EXPECT_EQ(Send(media), 0);
  EXPECT_EQ(out_, (std::vector<Datagram>{media}));
}

TEST_F(DecoderTest, PassOverUnchangedContentsHandsOutNothing) {
  const auto block = Block(0, 100, 4, 2);
  Send(block[0]);
  Send(block[2]);
  decoder_.Run();
  decoder_.Run();
  EXPECT_EQ(Sequences(), (Seqs{100}));
}

TEST_F(DecoderTest, StoppedDecoderRefusesFecDatagrams) {
  decoder_.Stop();
  EXPECT_EQ(Send(Block(0, 100, 4, 2)[0]), -1);
  EXPECT_TRUE(out_.empty());
}

// A long stream with random losses: every media datagram comes out at most
// once and intact, and every block that lost no more than r comes out whole.
TEST_F(DecoderTest, LongLossyStreamRebuildsEveryRecoverableBlock) {
  std::mt19937 rng(5);
  const int k = 8;
  const int r = 3;
  uint32_t start = 0xFFFF0000u;  // wraps the 32-bit numbers on the way
  uint32_t media = 1;
  std::set<uint32_t> recoverable;
  for (int b = 0; b < 12000; ++b) {
    const auto block = Block(start, media, k, r);
    int lost = 0;
    std::vector<bool> keep(k + r);
    for (int i = 0; i < k + r; ++i) {
      keep[i] = rng() % 10 != 0;
      lost += keep[i] ? 0 : 1;
    }
    if (lost <= r) {
      for (int i = 0; i < k; ++i) recoverable.insert(media + i);
    }
    for (int i = 0; i < k + r; ++i) {
      if (keep[i]) Send(block[i]);
    }
    start += k + r;
    media += k;
    clock_.AdvanceTime(160);  // 8 sources at 50 datagrams a second
  }
  // Only the slots of the blocks in flight hold buffers: a block waiting to be
  // given up, the 1.25 blocks behind it, and the one arriving.
  EXPECT_LE(decoder_.BufferCount(), 4u * (k + r));
  const Seqs seqs = Sequences();
  const std::set<uint32_t> unique(seqs.begin(), seqs.end());
  EXPECT_EQ(unique.size(), seqs.size()) << "a media datagram came out twice";
  // The last block may still wait for the stream to move on.
  for (uint32_t s : recoverable) {
    if (s + 2 * k < media) {
      EXPECT_TRUE(unique.count(s)) << "media " << s;
    }
  }
}

}  // namespace
// Rebuild work is budgeted per stream: a sender that makes every block a
// k = 128 rebuild from repairs alone gets one now and then, not every one,
// while blocks of the sizes clients use are always rebuilt.
class DecoderBudgetTest : public ::testing::Test {
 protected:
  DecoderBudgetTest()
      : decoder_(
            [this](const unsigned char*, unsigned int) {
              ++handed_out_;
              return 0;
            },
            Decoder::LossCallback()) {}

  // Sends only the repairs of the block at `start`; true when its k sources
  // were handed out, rebuilt.
  bool SendRepairsOnly(uint32_t start, uint32_t first_media, int k, int r) {
    const size_t before = handed_out_;
    const auto block = Block(start, first_media, k, r);
    for (int i = k; i < k + r; ++i) {
      decoder_.OnPacketReceived(block[i].data(), static_cast<unsigned int>(block[i].size()));
    }
    return handed_out_ - before == static_cast<size_t>(k);
  }

  rtc::ScopedFakeClock clock_;
  testutil::LogCapture log_;
  size_t handed_out_ = 0;
  Decoder decoder_;
};

TEST_F(DecoderBudgetTest, SixteenSourceBlocksFromRepairsAloneAreAlwaysRebuilt) {
  // 100 datagrams a second of k = 16, r = 16, every source lost: 10 s of them.
  uint32_t start = 0;
  for (int block = 0; block < 62; ++block) {
    ASSERT_TRUE(SendRepairsOnly(start, 1000 + 16 * block, 16, 16)) << "block " << block;
    start += 32;
    clock_.AdvanceTime(160);
  }
  EXPECT_EQ(log_.Count("over the decoding budget"), 0u);
}

TEST_F(DecoderBudgetTest, HugeBlocksBeyondTheBudgetAreSkippedCountedAndLogged) {
  const uint64_t skipped_before = FecMetrics::Get().blocks_over_budget.Value();
  uint32_t start = 0;
  uint32_t media = 1000;
  auto next = [&] {
    const bool rebuilt = SendRepairsOnly(start, media, 128, 128);
    start += 256;
    media += 128;
    return rebuilt;
  };
  EXPECT_TRUE(next()) << "the full bucket pays for one";
  EXPECT_FALSE(next());
  EXPECT_FALSE(next());
  EXPECT_EQ(FecMetrics::Get().blocks_over_budget.Value() - skipped_before, 2u);
  EXPECT_EQ(log_.Count("] fec block of k [128] r [128] with [128] sources missing not rebuilt: "
                       "over the decoding budget",
                       rtc::LS_WARNING),
            1u);
  // The budget refills with time: one such rebuild per kMaxUnits / kUnitsPerSecond.
  clock_.AdvanceTime(DecodeBudget::kMaxUnits * 1000 / DecodeBudget::kUnitsPerSecond);
  EXPECT_TRUE(next());
}

}  // namespace fec
