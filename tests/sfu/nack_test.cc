#include "sfu/nack.h"

#include <algorithm>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "base/log_rate_limiter.h"
#include "base/time_utils.h"
#include "fec/block_builder.h"
#include "packet/udp_packet.h"

#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

constexpr uint64_t kUser = 9;

// The voice of stream `stream` (a sender's numbering before and after it
// restarts) at `seq`.
Bytes VoiceOf(uint32_t seq, uint8_t stream) {
  Bytes payload(60, seq & 0xFF);
  payload[0] = stream;
  return MakeMedia(0xA0, 0x20, seq, kUser, "", payload);
}

class NackTest : public ::testing::Test {
 protected:
  Bytes Voice(uint32_t seq) const { return VoiceOf(seq, stream_); }
  // Feeds the FEC block at `start` carrying media first .. first + 3, without
  // the datagrams at the positions in `lost`.
  void FeedBlock(uint32_t start, uint32_t first, std::vector<int> lost = {}) {
    std::vector<fec::Datagram> media;
    for (uint32_t i = 0; i < 4; ++i) media.push_back(Voice(first + i));
    std::vector<fec::Datagram> block;
    ASSERT_TRUE(fec::BuildFecBlock(kUser, start, media, 2, false, &block));
    for (int i = 0; i < 6; ++i) {
      if (std::find(lost.begin(), lost.end(), i) != lost.end()) continue;
      EXPECT_EQ(nack_.OnPacketReceived(MakePacket(block[i], server_.fd(), user_.address())), 0);
    }
  }
  // Keeps the plain media datagrams first .. last through the decoder.
  void Keep(uint32_t first, uint32_t last) {
    for (uint32_t seq = first; seq <= last; ++seq) {
      const Bytes voice = Voice(seq);
      ASSERT_EQ(nack_.OnFecPacketDecoded(voice.data(), voice.size()), 0);
    }
  }
  Bytes MakeNack(uint32_t reference, uint16_t mask, size_t size = kNackPacketSize) {
    Bytes nack = MakeMedia(0xA0, kNackPayloadType, 0, 2);
    nack.resize(kNackPacketSize);
    rtc::SetBE64(nack.data() + 14, kUser);
    rtc::SetBE32(nack.data() + 22, reference);
    rtc::SetBE16(nack.data() + 26, mask);
    nack.resize(size);
    return nack;
  }
  int SendNack(const Bytes& nack) {
    return nack_.OnNackReceived(MakePacket(nack, server_.fd(), asker_.address()));
  }
  std::vector<uint32_t> ReceivedSeqs() {
    std::vector<uint32_t> seqs;
    for (const Bytes& b : asker_.Drain()) {
      EXPECT_EQ(b, Voice(SeqOf(b)));
      seqs.push_back(SeqOf(b));
    }
    return seqs;
  }

  uint8_t stream_ = 0;
  LogCapture logs_;
  UdpPeer server_;
  UdpPeer user_;
  UdpPeer asker_;
  Nack nack_{kUser};
};

using Seqs = std::vector<uint32_t>;

TEST_F(NackTest, KeepsReceivedAndRebuiltMediaOfTheFecStream) {
  FeedBlock(0, 100, {1});
  FeedBlock(6, 104, {0, 3});
  for (uint32_t seq = 100; seq < 108; ++seq) {
    auto kept = nack_.SeekPacket(seq);
    ASSERT_TRUE(kept) << seq;
    EXPECT_EQ(Bytes(kept->data(), kept->data() + kept->size()), Voice(seq));
  }
  EXPECT_EQ(nack_.PacketCount(), 8u);
}

TEST_F(NackTest, PlainMediaIsNotKept) {
  EXPECT_EQ(nack_.OnPacketReceived(MakePacket(Voice(5), server_.fd(), user_.address())), -1);
  EXPECT_EQ(nack_.PacketCount(), 0u);
}

TEST_F(NackTest, DecodedDatagramShorterThanTheMediaHeaderIsNotKept) {
  const Bytes cut(13, 1);
  EXPECT_EQ(nack_.OnFecPacketDecoded(cut.data(), cut.size()), -1);
  EXPECT_EQ(nack_.PacketCount(), 0u);
}

TEST_F(NackTest, EmptyMaskResendsAndLogsNothing) {
  Keep(100, 120);
  EXPECT_EQ(SendNack(MakeNack(99, 0)), 0);
  EXPECT_TRUE(ReceivedSeqs().empty());
  EXPECT_EQ(logs_.Count("resend packet"), 0u);
}

TEST_F(NackTest, MaskBitsSelectTheSequenceNumbersAfterTheReference) {
  Keep(100, 120);
  EXPECT_EQ(SendNack(MakeNack(99, 0x0001)), 0);
  EXPECT_EQ(ReceivedSeqs(), (Seqs{100}));
  EXPECT_EQ(SendNack(MakeNack(99, 0x8000)), 0);
  EXPECT_EQ(ReceivedSeqs(), (Seqs{115}));
  EXPECT_EQ(SendNack(MakeNack(99, 0xFFFF)), 0);
  Seqs all;
  for (uint32_t s = 100; s <= 115; ++s) all.push_back(s);
  EXPECT_EQ(ReceivedSeqs(), all);
  // One line for the first; the others are held back (see the next test).
  EXPECT_EQ(logs_.Count("+++++++++++ user [9] resend packet [100], result [OK]"), 1u);
  EXPECT_EQ(logs_.Count("resend packet"), 1u);
}

TEST_F(NackTest, ResendLinesAreOnePerIntervalWithTheCountHeldBack) {
  rtc::ScopedFakeClock clock;
  Keep(100, 115);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(SendNack(MakeNack(99, 0xFFFF)), 0);
  EXPECT_EQ(logs_.Count("resend packet"), 1u) << "a NACK flood writes one line";
  clock.AdvanceTime(rtc::kPeerLogIntervalMs);
  ASSERT_EQ(SendNack(MakeNack(99, 0x0001)), 0);
  EXPECT_EQ(logs_.Count("+++++++++++ user [9] resend packet [100], result [OK] (1599 more since "
                        "the last line)"),
            1u);
}

TEST_F(NackTest, MissingPacketIsLoggedAsFailedAndTheOthersAreStillSent) {
  Keep(100, 100);
  Keep(102, 102);
  EXPECT_EQ(SendNack(MakeNack(100, 0b1)), 0);
  EXPECT_TRUE(ReceivedSeqs().empty());
  EXPECT_EQ(SendNack(MakeNack(99, 0b111)), 0);
  EXPECT_EQ(ReceivedSeqs(), (Seqs{100, 102}));
  EXPECT_EQ(logs_.Count("+++++++++++ user [9] resend packet [101], result [Failed]"), 1u);
}

TEST_F(NackTest, ReferenceAtTheTopWrapsToZero) {
  Keep(0, 0);
  EXPECT_EQ(SendNack(MakeNack(0xFFFFFFFFu, 0x0001)), 0);
  EXPECT_EQ(ReceivedSeqs(), (Seqs{0}));
}

TEST_F(NackTest, NackShorterThanItsFieldsIsIgnored) {
  Keep(100, 101);
  EXPECT_EQ(SendNack(MakeNack(99, 0x0001, kNackPacketSize - 1)), -1);
  EXPECT_TRUE(ReceivedSeqs().empty());
  EXPECT_EQ(logs_.Count("drop nack from"), 1u);
}

TEST_F(NackTest, KeepsTheLast256AndNeverOverwrites) {
  Keep(1, 257);
  EXPECT_EQ(nack_.PacketCount(), 256u);
  EXPECT_FALSE(nack_.SeekPacket(1));
  EXPECT_TRUE(nack_.SeekPacket(2));
  EXPECT_TRUE(nack_.SeekPacket(257));
  // Below every kept number: in and out at once.
  Keep(0, 0);
  EXPECT_FALSE(nack_.SeekPacket(0));
  EXPECT_EQ(nack_.PacketCount(), 256u);
  // A number already kept keeps its first datagram.
  Bytes other = Voice(100);
  other.back() ^= 0xFF;
  ASSERT_EQ(nack_.OnFecPacketDecoded(other.data(), other.size()), 0);
  auto kept = nack_.SeekPacket(100);
  ASSERT_TRUE(kept);
  EXPECT_EQ(Bytes(kept->data(), kept->data() + kept->size()), Voice(100));
  EXPECT_EQ(nack_.PacketCount(), 256u);
}

TEST_F(NackTest, OutOfOrderArrivalsKeepTheLargest256) {
  std::vector<uint32_t> order;
  for (uint32_t seq = 1; seq <= 300; ++seq) order.push_back(seq * 11 % 301);  // 1 .. 300 shuffled
  for (uint32_t seq : order) Keep(seq, seq);
  EXPECT_EQ(nack_.PacketCount(), 256u);
  for (uint32_t seq = 1; seq <= 300; ++seq) {
    auto kept = nack_.SeekPacket(seq);
    ASSERT_EQ(kept != nullptr, seq > 44) << seq;
    if (kept) {
      EXPECT_EQ(Bytes(kept->data(), kept->data() + kept->size()), Voice(seq));
    }
  }
}

// Regression: numbers compared as plain unsigned values made every number
// after the wrap the smallest: once 256 were kept, the newest were evicted
// (or never kept) instead of the oldest, and NACKs after the wrap failed.
TEST_F(NackTest, AcrossTheWrapTheOldestIsEvictedAndTheNewestKept) {
  for (uint32_t seq = 0xFFFFFF00u; seq != 10; ++seq) {
    const Bytes voice = Voice(seq);
    ASSERT_EQ(nack_.OnFecPacketDecoded(voice.data(), voice.size()), 0);
  }
  EXPECT_EQ(nack_.PacketCount(), 256u);
  for (uint32_t seq = 0; seq <= 9; ++seq) EXPECT_TRUE(nack_.SeekPacket(seq)) << seq;
  EXPECT_FALSE(nack_.SeekPacket(0xFFFFFF09u));
  EXPECT_TRUE(nack_.SeekPacket(0xFFFFFF0Au));
  EXPECT_EQ(SendNack(MakeNack(0xFFFFFFFEu, 0b111)), 0);
  EXPECT_EQ(ReceivedSeqs(), (Seqs{0xFFFFFFFFu, 0, 1}));
}

TEST_F(NackTest, DatagramHandedOutStaysIntactAfterEviction) {
  Keep(1, 256);
  std::shared_ptr<UDPPacket> held = nack_.SeekPacket(1);
  ASSERT_TRUE(held);
  Keep(257, 600);  // evicts 1 and reuses what nobody holds
  EXPECT_FALSE(nack_.SeekPacket(1));
  EXPECT_EQ(Bytes(held->data(), held->data() + held->size()), Voice(1));
  for (uint32_t seq : {345u, 500u, 600u}) {
    auto kept = nack_.SeekPacket(seq);
    ASSERT_TRUE(kept);
    EXPECT_EQ(Bytes(kept->data(), kept->data() + kept->size()), Voice(seq));
  }
}

// Regression: a sender that restarted its FEC and media numbers without a new
// join was never decoded again, and NACKs were answered with the datagrams of
// its old stream that had the same numbers.
TEST_F(NackTest, SenderRestartingItsNumbersGetsAFreshDecoderAndAnEmptiedBuffer) {
  FeedBlock(6000, 100);
  FeedBlock(6006, 104);
  stream_ = 1;
  FeedBlock(0, 100, {1});  // the new stream; its 101 is rebuilt
  EXPECT_EQ(logs_.Count("user [9] restarted its fec sequence numbers from [6011] to [0]"), 1u);
  EXPECT_EQ(SendNack(MakeNack(99, 0xFF)), 0);
  // 100 .. 103 of the new stream; 104 .. 107 were the old stream's only, and
  // are not served.
  EXPECT_EQ(ReceivedSeqs(), (Seqs{100, 101, 102, 103}));
  // A late datagram of the old stream neither restarts again nor is kept.
  std::vector<fec::Datagram> old_block;
  stream_ = 0;
  ASSERT_TRUE(fec::BuildFecBlock(kUser, 6012, {Voice(108), Voice(109), Voice(110), Voice(111)}, 2,
                                 false, &old_block));
  nack_.OnPacketReceived(MakePacket(old_block[0], server_.fd(), user_.address()));
  stream_ = 1;
  FeedBlock(6, 104);
  EXPECT_EQ(logs_.Count("restarted its fec sequence numbers"), 1u);
  EXPECT_FALSE(nack_.SeekPacket(108));
  EXPECT_EQ(SendNack(MakeNack(99, 0xFF)), 0);
  EXPECT_EQ(ReceivedSeqs(), (Seqs{100, 101, 102, 103, 104, 105, 106, 107}));
}

TEST_F(NackTest, InsertPacketKeepsByTheMediaSequenceNumber) {
  const Bytes voice = Voice(42);
  EXPECT_EQ(nack_.InsertPacket(std::make_shared<UDPPacket>(voice.data(), voice.size())), 0);
  ASSERT_TRUE(nack_.SeekPacket(42));
}

}  // namespace
}  // namespace corvaneserver
