// Channels live on the heap, as in the server: a lock in a stack object that
// a later test's object reuses looks like the same lock to ThreadSanitizer.
//
// MfuChannel: what a speaker's channel queues, how GetAudio cuts frames out of
// the queue, the queue's bound, and what DeliverPackets sends.
#include "mfu/mfu_channel.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/packet_metrics.h"
#include "packet/udp_packet.h"

#include "support/fec_test_datagram.h"
#include "support/log_capture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

constexpr uint64_t kUser = 7;

// A source datagram numbered `seq` whose payload starts with `level` and `flags`.
Bytes Source(uint32_t seq, uint8_t level = 0, uint8_t flags = 0, uint64_t user = kUser) {
  return MakeFecSource(user, seq, MakeMedia(0xA0, 0x20, seq, user, "tok", {level, flags, 9}));
}
// A repair datagram numbered `seq` whose repair bytes are all 0xFF.
Bytes Repair(uint32_t seq, uint64_t user = kUser) {
  return MakeFecRepair(user, seq, Bytes(40, 0xFF));
}

std::vector<uint32_t> Seqs(const std::shared_ptr<MfUFrame>& frame) {
  std::vector<uint32_t> seqs;
  for (const auto& packet : frame->packets) seqs.push_back(SequenceNum(packet->data()));
  return seqs;
}

class MfuChannelTest : public ::testing::Test {
 protected:
  // The member's address is admitted by a plain datagram, which is not queued.
  void SetUp() override {
    ASSERT_EQ(Receive(MakeMedia(0xA0, 0x20, 0, kUser, "tok")), 0);
    ASSERT_EQ(channel_.QueueSize(), 0u);
  }

  int Receive(const Bytes& bytes) {
    return channel_.OnPacketReceived(MakePacket(bytes, socket_.fd(), member_.address()));
  }
  void Queue(const std::vector<Bytes>& datagrams) {
    for (const Bytes& bytes : datagrams) ASSERT_EQ(Receive(bytes), 0);
  }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
  UdpPeer socket_;
  UdpPeer member_;
  MfuChannel channel_{1, kUser, kUserTypeSpeaker, "tok"};
};

TEST_F(MfuChannelTest, SourceTakesTheRepairsBehindIt) {
  Queue({Source(1), Repair(2), Repair(3), Source(4)});
  auto frame = channel_.GetAudio();
  ASSERT_TRUE(frame);
  EXPECT_EQ(Seqs(frame), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(channel_.QueueSize(), 1u);
  EXPECT_EQ(logs_.Count("user [7] get audio, list leave size [1], get size [3]. seq is "
                        "[1:S][2:R][3:R]",
                        rtc::LS_INFO),
            1u);
  EXPECT_EQ(Seqs(channel_.GetAudio()), (std::vector<uint32_t>{4}));
  EXPECT_FALSE(channel_.GetAudio());
}

TEST_F(MfuChannelTest, RepairsWithoutASourceBehindThemStayQueued) {
  Queue({Repair(1), Repair(2)});
  EXPECT_FALSE(channel_.GetAudio());
  EXPECT_EQ(channel_.QueueSize(), 2u);
  EXPECT_FALSE(logs_.Contains("get audio"));
  Queue({Source(3)});
  EXPECT_EQ(Seqs(channel_.GetAudio()), (std::vector<uint32_t>{1, 2, 3}));
}

TEST_F(MfuChannelTest, LeadingRepairEndsWithTheFirstSource) {
  Queue({Repair(1), Source(2), Repair(3)});
  EXPECT_EQ(Seqs(channel_.GetAudio()), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(channel_.QueueSize(), 1u);
}

TEST_F(MfuChannelTest, TwentyQueuedStartAFrameWithTwoDatagrams) {
  std::vector<Bytes> queue = {Source(1), Source(2), Repair(3), Source(4)};
  for (uint32_t seq = 5; queue.size() < 19; ++seq) queue.push_back(Source(seq));
  Queue(queue);
  ASSERT_EQ(channel_.QueueSize(), 19u);
  EXPECT_EQ(Seqs(channel_.GetAudio()), (std::vector<uint32_t>{1}));

  auto other = std::make_shared<MfuChannel>(1, kUser, kUserTypeSpeaker, "tok");
  queue.insert(queue.begin(), MakeMedia(0xA0, 0x20, 0, kUser, "tok"));
  queue.push_back(Source(100));
  for (const Bytes& bytes : queue) {
    ASSERT_EQ(other->OnPacketReceived(MakePacket(bytes, socket_.fd(), member_.address())), 0);
  }
  ASSERT_EQ(other->QueueSize(), 20u);
  EXPECT_EQ(Seqs(other->GetAudio()), (std::vector<uint32_t>{1, 2, 3}));
  // 17 left: one at a time again.
  EXPECT_EQ(Seqs(other->GetAudio()), (std::vector<uint32_t>{4}));
}

TEST_F(MfuChannelTest, LevelAndPriorityComeFromSourceDatagramsOnly) {
  Queue({Source(1, 30, 0x00), Repair(2)});
  auto frame = channel_.GetAudio();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->level, 30);
  EXPECT_FALSE(frame->priority);
  Queue(std::vector<Bytes>(25, Source(3, 10, 0x10)));
  frame = channel_.GetAudio();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->packets.size(), 2u);
  EXPECT_EQ(frame->level, 10);
  EXPECT_TRUE(frame->priority);
  // A mark bit other than 0x10 is no priority.
  auto other = std::make_shared<MfuChannel>(1, kUser, kUserTypeSpeaker, "tok");
  ASSERT_EQ(
      other->OnPacketReceived(MakePacket(Source(5, 200, 0xEF), socket_.fd(), member_.address())),
      0);
  frame = other->GetAudio();
  EXPECT_EQ(frame->level, 200);
  EXPECT_FALSE(frame->priority);
}

TEST_F(MfuChannelTest, PayloadShorterThanItsMarksReadsZero) {
  // Token header declares 3 token bytes; the payload holds one byte only.
  Queue({MakeFecSource(kUser, 1, MakeMedia(0xA0, 0x20, 1, kUser, "tok", {77}))});
  auto frame = channel_.GetAudio();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->level, 77);
  EXPECT_FALSE(frame->priority);
  Queue({MakeFecSource(kUser, 2, MakeMedia(0xA0, 0x20, 2, kUser, "tok"))});
  EXPECT_EQ(channel_.GetAudio()->level, 0);
}

TEST_F(MfuChannelTest, MutedSpeakerIsQueuedAndDrainedButGivesNothing) {
  channel_.MuteSpeaker(false);
  Queue({Source(1), Source(2)});
  EXPECT_EQ(channel_.QueueSize(), 2u);
  EXPECT_FALSE(channel_.GetAudio());
  EXPECT_EQ(channel_.QueueSize(), 1u);
  EXPECT_EQ(logs_.Count("user [7] get audio, list leave size [1], get size [1]. seq is [1:S]"), 1u);
  channel_.MuteSpeaker(true);
  EXPECT_EQ(Seqs(channel_.GetAudio()), (std::vector<uint32_t>{2}));
}

TEST_F(MfuChannelTest, OnlyASpeakersFecDatagramsAreQueued) {
  EXPECT_EQ(Receive(MakeMedia(0xA0, 0x20, 1, kUser, "tok", {1, 2})), 0);
  EXPECT_EQ(channel_.QueueSize(), 0u);
  auto listener = std::make_shared<MfuChannel>(1, 8, kUserTypeListener, "tok");
  EXPECT_EQ(
      listener->OnPacketReceived(MakePacket(Source(1, 0, 0, 8), socket_.fd(), member_.address())),
      0);
  EXPECT_EQ(listener->QueueSize(), 0u);
  EXPECT_FALSE(listener->GetAudio());
}

TEST_F(MfuChannelTest, RejectedDatagramIsNotQueued) {
  UdpPeer moved;
  const auto from_moved = [&](const Bytes& bytes) {
    return channel_.OnPacketReceived(MakePacket(bytes, socket_.fd(), moved.address()));
  };
  const Bytes forged = MakeFecSource(kUser, 1, MakeMedia(0xA0, 0x20, 1, kUser, "bad", {1}));
  EXPECT_EQ(from_moved(forged), -1);
  EXPECT_EQ(channel_.QueueSize(), 0u);
  // A repair datagram carries no token: it cannot introduce a new address.
  EXPECT_EQ(from_moved(Repair(2)), -1);
  EXPECT_EQ(channel_.QueueSize(), 0u);
}

TEST_F(MfuChannelTest, BecomingAListenerEmptiesTheQueue) {
  Queue({Source(1), Source(2), Repair(3)});
  EXPECT_EQ(channel_.AllowSpeaker(false), 0);
  EXPECT_EQ(channel_.QueueSize(), 0u);
  EXPECT_FALSE(channel_.GetAudio());
  // Later datagrams of the listener are not queued either.
  Queue({Source(4)});
  EXPECT_EQ(channel_.QueueSize(), 0u);
}

TEST_F(MfuChannelTest, FullQueuePushesOutTheOldestWithOneWarning) {
  for (uint32_t seq = 1; seq <= MfuChannel::kMaxQueuedPackets + 5; ++seq)
    ASSERT_EQ(Receive(Source(seq)), 0);
  EXPECT_EQ(channel_.QueueSize(), MfuChannel::kMaxQueuedPackets);
  EXPECT_EQ(logs_.Count("user [7] in room [1] has [500] packets waiting for the mixer, drop the "
                        "oldest",
                        rtc::LS_WARNING),
            1u);
  // The five oldest are gone; the catch-up rule takes two at a time.
  EXPECT_EQ(Seqs(channel_.GetAudio()), (std::vector<uint32_t>{6, 7}));
  // After the rate-limit period the next overflow is logged again, with the count.
  clock_.AdvanceTime(10000);
  ASSERT_EQ(Receive(Source(1000)), 0);
  ASSERT_EQ(Receive(Source(1001)), 0);
  ASSERT_EQ(Receive(Source(1002)), 0);
  EXPECT_EQ(logs_.Count("drop the oldest (4 more since the last line)", rtc::LS_WARNING), 1u);
}

TEST_F(MfuChannelTest, FrameLogCanBeSwitchedOff) {
  auto quiet = std::make_shared<MfuChannel>(1, kUser, kUserTypeSpeaker, "tok", /*frame_log=*/false);
  ASSERT_EQ(quiet->OnPacketReceived(MakePacket(Source(1), socket_.fd(), member_.address())), 0);
  EXPECT_TRUE(quiet->GetAudio());
  EXPECT_FALSE(logs_.Contains("get audio"));
}

TEST_F(MfuChannelTest, DeliverPacketsSendsOthersDatagramsInOrderButNotOwn) {
  const Bytes own = Source(2);
  const Bytes first = Source(3, 1, 0, 8);
  const Bytes second = Repair(4, 9);
  std::list<std::shared_ptr<UDPPacket>> list = {MakePacket(first, -1, {}), MakePacket(own, -1, {}),
                                                MakePacket(second, -1, {})};
  channel_.DeliverPackets(list);
  rtc::SocketAddress from;
  EXPECT_EQ(member_.Receive(testing_support::kArrivalDeadlineMs, &from), first);
  EXPECT_EQ(from, socket_.address());
  EXPECT_EQ(member_.Receive(), second);
  channel_.DeliverPackets({MakePacket(own, -1, {})});
  EXPECT_TRUE(member_.Drain().empty());
}

TEST_F(MfuChannelTest, DeliverPacketsSendsNothingToAnUnknownAddress) {
  UdpPeer stranger;
  auto fresh = std::make_shared<MfuChannel>(1, 9, kUserTypeListener, "tok");
  const uint64_t forwarded_before = PacketMetrics::Get().forwarded.Value();
  fresh->DeliverPackets({MakePacket(Source(1), -1, {})});
  EXPECT_TRUE(stranger.Drain().empty());
  EXPECT_TRUE(member_.Drain().empty());
  EXPECT_EQ(PacketMetrics::Get().forwarded.Value(), forwarded_before) << "nothing was sent";
}

TEST(MfUFrameTest, PriorityRanksBeforeLevel) {
  MfUFrame loud, marked, quiet;
  loud.level = 90;
  marked.priority = true;
  marked.level = 10;
  quiet.level = 40;
  EXPECT_TRUE(marked > loud);
  EXPECT_FALSE(loud > marked);
  EXPECT_TRUE(loud > quiet);
  EXPECT_FALSE(quiet > loud);
  MfUFrame same = loud;
  EXPECT_FALSE(same > loud);
  EXPECT_FALSE(loud > same);
}

TEST(FecHeaderTest, SourceOrRepairIsCountedFromTheBlockStart) {
  // Numbers 10..12 of a block at 10 with k = 3 are sources; 13 is a repair.
  EXPECT_TRUE(IsSourceAudio(MakeFec(1, 12, 10, 3, {}).data()));
  EXPECT_FALSE(IsSourceAudio(MakeFec(1, 13, 10, 3, {}).data()));
  // A block straddling 2^32: ..FE, ..FF and 0 are its sources, 1 a repair.
  EXPECT_TRUE(IsSourceAudio(MakeFec(1, 0, 0xFFFFFFFEu, 3, {}).data()));
  EXPECT_TRUE(IsSourceAudio(MakeFec(1, 0xFFFFFFFEu, 0xFFFFFFFEu, 3, {}).data()));
  EXPECT_FALSE(IsSourceAudio(MakeFec(1, 1, 0xFFFFFFFEu, 3, {}).data()));
  const Bytes fec = MakeFec(0x0102030405060708ull, 0xA1B2C3D4u, 0, 1, {});
  EXPECT_EQ(ChannelId(fec.data()), 0x0102030405060708ull);
  EXPECT_EQ(SequenceNum(fec.data()), 0xA1B2C3D4u);
}

}  // namespace
}  // namespace corvaneserver
