// MfuRoom: which frames a pass chooses, in what order it sends their
// datagrams and to whom, when an empty room counts as inactive, and how a
// room's own mixer thread stops. Passes are driven by the test unless a test
// is about the room's own thread.
#include "mfu/mfu_room.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "mfu/mfu_channel.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"

#include "support/fec_test_datagram.h"
#include "support/log_capture.h"
#include "support/server_fixture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

Bytes Source(uint64_t user, uint32_t seq, uint8_t level, uint8_t flags = 0) {
  return MakeFecSource(user, seq, MakeMedia(0xA0, 0x20, seq, user, TokenOf(user), {level, flags}));
}

MixerOptions Driven() {
  MixerOptions options;
  options.mode = MixerOptions::Mode::kDriven;
  return options;
}

// A member of the room played by a UDP socket.
struct Member {
  Member(MfuRoom* room, uint64_t user_id, uint32_t type, const UdpPeer& server)
      : id(user_id), server_socket(server.fd()) {
    channel = std::make_shared<MfuChannel>(room->Id(), id, type, TokenOf(id));
    // Admits the member's address with a plain datagram, which is not queued.
    EXPECT_EQ(Receive(MakeMedia(0xA0, 0x20, 0, id, TokenOf(id))), 0);
    room->AddChannel(channel);
  }
  int Receive(const Bytes& bytes) {
    return channel->OnPacketReceived(MakePacket(bytes, server_socket, peer.address()));
  }

  uint64_t id;
  int server_socket;
  UdpPeer peer;
  std::shared_ptr<MfuChannel> channel;
};

class MfuRoomTest : public ::testing::Test {
 protected:
  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
  UdpPeer server_;
  MfuRoom room_{1, Driven()};
};

TEST_F(MfuRoomTest, PriorityThenLevelChooseTwoAndTheSecondIsSentFirst) {
  Member a(&room_, 1, kUserTypeSpeaker, server_);
  Member b(&room_, 2, kUserTypeSpeaker, server_);
  Member c(&room_, 3, kUserTypeSpeaker, server_);
  Member listener(&room_, 4, kUserTypeListener, server_);
  const Bytes from_a = Source(1, 10, 90);
  const Bytes from_b = Source(2, 20, 10, 0x10);
  const Bytes from_c = Source(3, 30, 40);
  ASSERT_EQ(a.Receive(from_a), 0);
  ASSERT_EQ(b.Receive(from_b), 0);
  ASSERT_EQ(c.Receive(from_c), 0);
  room_.DeliverFrame();
  EXPECT_EQ(logs_.Count("deliver frame, packet list size is 2, seq is [1:10][2:20]", rtc::LS_INFO),
            1u);
  EXPECT_EQ(a.peer.Receive(), from_b);
  EXPECT_EQ(b.peer.Receive(), from_a);
  EXPECT_EQ(c.peer.Receive(), from_a);
  EXPECT_EQ(c.peer.Receive(), from_b);
  EXPECT_EQ(listener.peer.Receive(), from_a);
  EXPECT_EQ(listener.peer.Receive(), from_b);
  for (Member* m : {&a, &b, &c, &listener}) EXPECT_TRUE(m->peer.Drain().empty()) << m->id;
  // Every queue gave its frame; C's was dropped.
  EXPECT_EQ(c.channel->QueueSize(), 0u);
}

TEST_F(MfuRoomTest, EqualFramesKeepAscendingUserIdAndTheTwoLowestWin) {
  Member m1(&room_, 5, kUserTypeSpeaker, server_);
  Member m2(&room_, 6, kUserTypeSpeaker, server_);
  Member m3(&room_, 7, kUserTypeSpeaker, server_);
  Member listener(&room_, 8, kUserTypeListener, server_);
  ASSERT_EQ(m3.Receive(Source(7, 3, 50)), 0);
  ASSERT_EQ(m1.Receive(Source(5, 1, 50)), 0);
  ASSERT_EQ(m2.Receive(Source(6, 2, 50)), 0);
  room_.DeliverFrame();
  EXPECT_EQ(logs_.Count("deliver frame, packet list size is 2, seq is [6:2][5:1]"), 1u);
  EXPECT_EQ(listener.peer.Receive(), Source(6, 2, 50));
  EXPECT_EQ(listener.peer.Receive(), Source(5, 1, 50));
}

TEST_F(MfuRoomTest, TwoFramesAreTakenUnsortedWithTheHigherUserIdFirst) {
  Member low(&room_, 1, kUserTypeSpeaker, server_);
  Member high(&room_, 2, kUserTypeSpeaker, server_);
  Member listener(&room_, 3, kUserTypeListener, server_);
  // The lower id's frame ranks higher, and still comes last.
  const Bytes loud = Source(1, 1, 200, 0x10);
  const Bytes quiet = Source(2, 2, 1);
  const Bytes quiet_repair = MakeFecRepair(2, 3, Bytes(30, 0xC8));
  ASSERT_EQ(low.Receive(loud), 0);
  ASSERT_EQ(high.Receive(quiet), 0);
  ASSERT_EQ(high.Receive(quiet_repair), 0);
  room_.DeliverFrame();
  EXPECT_EQ(logs_.Count("deliver frame, packet list size is 3, seq is [2:2][2:3][1:1]"), 1u);
  EXPECT_EQ(listener.peer.Receive(), quiet);
  EXPECT_EQ(listener.peer.Receive(), quiet_repair);
  EXPECT_EQ(listener.peer.Receive(), loud);
}

TEST_F(MfuRoomTest, ALoneSpeakerReachesEveryoneButItself) {
  Member speaker(&room_, 1, kUserTypeSpeaker, server_);
  Member l2(&room_, 2, kUserTypeListener, server_);
  Member l3(&room_, 3, kUserTypeListener, server_);
  const Bytes voice = Source(1, 1, 5);
  ASSERT_EQ(speaker.Receive(voice), 0);
  room_.DeliverFrame();
  EXPECT_EQ(l2.peer.Receive(), voice);
  EXPECT_EQ(l3.peer.Receive(), voice);
  EXPECT_TRUE(speaker.peer.Drain().empty());
  // The queue is empty now: the next pass sends and logs nothing.
  logs_.Clear();
  room_.DeliverFrame();
  EXPECT_FALSE(logs_.Contains("deliver frame"));
}

TEST_F(MfuRoomTest, AfterIdlePassesAGrownQueueIsTakenAndKeepsDrainingWithoutNewArrivals) {
  Member speaker(&room_, 1, kUserTypeSpeaker, server_);
  Member listener(&room_, 2, kUserTypeListener, server_);
  for (int i = 0; i < 5; ++i) room_.DeliverFrame();
  EXPECT_FALSE(logs_.Contains("get audio"));
  // 21 datagrams arrive between two passes: the first pass takes two, and the
  // passes after it go on draining one per pass although nothing new arrives.
  for (uint32_t seq = 1; seq <= 21; ++seq) ASSERT_EQ(speaker.Receive(Source(1, seq, 5)), 0);
  room_.DeliverFrame();
  EXPECT_EQ(
      logs_.Count("user [1] get audio, list leave size [19], get size [2]. seq is [1:S][2:S]"), 1u);
  for (int pass = 0; pass < 19; ++pass) room_.DeliverFrame();
  EXPECT_EQ(logs_.Count("deliver frame, packet list size is 1"), 19u);
  EXPECT_EQ(logs_.Count("user [1] get audio, list leave size [0], get size [1]. seq is [21:S]"),
            1u);
  for (uint32_t seq = 1; seq <= 21; ++seq) EXPECT_EQ(listener.peer.Receive(), Source(1, seq, 5));
  logs_.Clear();
  room_.DeliverFrame();
  EXPECT_FALSE(logs_.Contains("get audio"));
  EXPECT_TRUE(listener.peer.Drain().empty());
}

// Regression: passes on an exact 20 ms grid took one frame of a speaker who
// sends 50 a second, so a burst's backlog stayed for good. A speaker's
// frames every 20 ms, with 10 of them held on the way and arriving at once:
// every frame still reaches the listener once and in order, and within 4 s of
// the burst its added delay is back within one frame.
TEST_F(MfuRoomTest, BacklogOfABurstDrainsWithinFourSecondsAndLosesNoFrame) {
  Member speaker(&room_, 1, kUserTypeSpeaker, server_);
  Member listener(&room_, 2, kUserTypeListener, server_);
  const Bytes repair = MakeFecRepair(1, 0, Bytes(30, 0xC8));
  constexpr uint32_t kFrames = 300;
  constexpr uint32_t kHeldFrom = 50;
  constexpr uint32_t kReleasedAt = 60;  // frames 50 .. 59 arrive with frame 60
  std::vector<int64_t> sent_ms(kFrames + 1);
  std::vector<uint32_t> order;
  int64_t worst_after_4s_ms = 0;
  const int64_t start_ms = rtc::TimeMillis();
  for (uint32_t tick = 1; tick <= kFrames; ++tick) {
    clock_.AdvanceTime(kMixerPeriodMs);
    sent_ms[tick] = rtc::TimeMillis();
    if (tick < kHeldFrom || tick >= kReleasedAt) {
      for (uint32_t seq = tick < kReleasedAt ? tick : (tick == kReleasedAt ? kHeldFrom : tick);
           seq <= tick; ++seq) {
        ASSERT_EQ(speaker.Receive(Source(1, seq, 5)), 0);
        // Every other frame carries a repair datagram, which never counts as one.
        if (seq % 2 == 0) {
          ASSERT_EQ(speaker.Receive(repair), 0);
        }
      }
    }
    room_.DeliverFrame();
    while (auto bytes = listener.peer.Receive(0)) {
      if (*bytes == repair) continue;
      const uint32_t seq = SequenceNum(bytes->data());
      order.push_back(seq);
      const int64_t delay_ms = rtc::TimeMillis() - sent_ms[seq];
      if (rtc::TimeMillis() >= start_ms + (kReleasedAt + 200) * kMixerPeriodMs) {
        worst_after_4s_ms = std::max(worst_after_4s_ms, delay_ms);
      }
    }
  }
  std::vector<uint32_t> expected;
  for (uint32_t seq = 1; seq <= kFrames; ++seq) expected.push_back(seq);
  EXPECT_EQ(order, expected);
  EXPECT_LE(worst_after_4s_ms, kMixerPeriodMs);
}

TEST_F(MfuRoomTest, RepairDatagramsWaitOverIdlePassesForTheirSourceDatagram) {
  Member speaker(&room_, 1, kUserTypeSpeaker, server_);
  Member listener(&room_, 2, kUserTypeListener, server_);
  const Bytes repair = MakeFecRepair(1, 7, Bytes(30, 0xC8));
  ASSERT_EQ(speaker.Receive(repair), 0);
  for (int i = 0; i < 3; ++i) room_.DeliverFrame();
  EXPECT_EQ(speaker.channel->QueueSize(), 1u);
  EXPECT_FALSE(logs_.Contains("deliver frame"));
  ASSERT_EQ(speaker.Receive(Source(1, 8, 5)), 0);
  room_.DeliverFrame();
  EXPECT_EQ(logs_.Count("deliver frame, packet list size is 2, seq is [1:7][1:8]"), 1u);
  EXPECT_EQ(listener.peer.Receive(), repair);
  EXPECT_EQ(listener.peer.Receive(), Source(1, 8, 5));
}

TEST_F(MfuRoomTest, AChannelThatJoinsWithDatagramsQueuedIsTakenByTheNextPass) {
  Member listener(&room_, 2, kUserTypeListener, server_);
  UdpPeer peer;
  auto channel = std::make_shared<MfuChannel>(room_.Id(), 1, kUserTypeSpeaker, TokenOf(1));
  ASSERT_EQ(channel->OnPacketReceived(MakePacket(Source(1, 3, 5), server_.fd(), peer.address())),
            0);
  room_.DeliverFrame();
  room_.AddChannel(channel);
  room_.DeliverFrame();
  EXPECT_EQ(listener.peer.Receive(), Source(1, 3, 5));
}

TEST_F(MfuRoomTest, AChannelThatOutlivesItsRoomStillQueues) {
  auto room = std::make_unique<MfuRoom>(5, Driven());
  Member speaker(room.get(), 1, kUserTypeSpeaker, server_);
  Member removed(room.get(), 2, kUserTypeSpeaker, server_);
  room->RemoveChannel(2);
  room.reset();
  // Neither channel may touch the room's memory now.
  EXPECT_EQ(speaker.Receive(Source(1, 1, 5)), 0);
  EXPECT_EQ(removed.Receive(Source(2, 1, 5)), 0);
  EXPECT_EQ(speaker.channel->QueueSize(), 1u);
  EXPECT_EQ(removed.channel->QueueSize(), 1u);
}

TEST_F(MfuRoomTest, ListenersAloneSendAndLogNothing) {
  Member l1(&room_, 1, kUserTypeListener, server_);
  Member l2(&room_, 2, kUserTypeListener, server_);
  EXPECT_EQ(l1.Receive(Source(1, 1, 5)), 0);
  room_.DeliverFrame();
  EXPECT_FALSE(logs_.Contains("deliver frame"));
  EXPECT_FALSE(logs_.Contains("get audio"));
  EXPECT_TRUE(l2.peer.Drain().empty());
}

TEST_F(MfuRoomTest, MutedSpeakersFrameIsConsumedAndNotSent) {
  Member speaker(&room_, 1, kUserTypeSpeaker, server_);
  Member listener(&room_, 2, kUserTypeListener, server_);
  speaker.channel->MuteSpeaker(false);
  ASSERT_EQ(speaker.Receive(Source(1, 1, 5)), 0);
  room_.DeliverFrame();
  EXPECT_EQ(speaker.channel->QueueSize(), 0u);
  EXPECT_FALSE(logs_.Contains("deliver frame"));
  EXPECT_TRUE(listener.peer.Drain().empty());
}

TEST_F(MfuRoomTest, FrameLogOffLeavesOutTheDeliverLine) {
  MixerOptions options = Driven();
  options.frame_log = false;
  auto quiet = std::make_unique<MfuRoom>(2, options);
  Member speaker(quiet.get(), 1, kUserTypeSpeaker, server_);
  Member listener(quiet.get(), 2, kUserTypeListener, server_);
  ASSERT_EQ(speaker.Receive(Source(1, 1, 5)), 0);
  quiet->DeliverFrame();
  EXPECT_EQ(listener.peer.Receive(), Source(1, 1, 5));
  EXPECT_FALSE(logs_.Contains("deliver frame"));
}

TEST_F(MfuRoomTest, RemovedMemberIsToldToTheOthersAndNoLongerServed) {
  Member speaker(&room_, 1, kUserTypeSpeaker, server_);
  Member listener(&room_, 2, kUserTypeListener, server_);
  speaker.channel->OnRReportReceived(2, 10);
  ASSERT_EQ(speaker.channel->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(room_.RemoveChannel(2), 0);
  EXPECT_EQ(room_.ChannelCount(), 1u);
  EXPECT_EQ(speaker.channel->receiver_report().SampleCount(), 0u);
  ASSERT_EQ(speaker.Receive(Source(1, 1, 5)), 0);
  room_.DeliverFrame();
  EXPECT_TRUE(listener.peer.Drain().empty());
}

TEST_F(MfuRoomTest, EmptyRoomIsInactiveTenMinutesAfterItsLastRemoval) {
  const auto advance_to = [&](int64_t time_ms) { clock_.AdvanceTime(time_ms - rtc::TimeMillis()); };
  // A room that never lost a member counts from its creation.
  auto fresh = std::make_unique<MfuRoom>(9, Driven());
  clock_.AdvanceTime(kRoomInactiveMs - 1);
  EXPECT_FALSE(fresh->IsInactive());
  clock_.AdvanceTime(1);
  EXPECT_TRUE(fresh->IsInactive());
  // A member keeps the room active; joining moved no time.
  Member member(&room_, 1, kUserTypeListener, server_);
  EXPECT_FALSE(room_.IsInactive());
  room_.RemoveChannel(1);
  const int64_t removed = rtc::TimeMillis();
  EXPECT_FALSE(room_.IsInactive());
  advance_to(removed + 500000);
  room_.RemoveChannel(42);  // not a member: still moves the time
  advance_to(removed + kRoomInactiveMs);
  EXPECT_FALSE(room_.IsInactive());
  advance_to(removed + 1100000 - 1);
  EXPECT_FALSE(room_.IsInactive());
  advance_to(removed + 1100000);
  EXPECT_TRUE(room_.IsInactive());
  // Removed at T: inactive at T + 10 minutes, not a millisecond earlier.
  Member again(&room_, 2, kUserTypeListener, server_);
  EXPECT_FALSE(room_.IsInactive());
  room_.RemoveChannel(2);
  const int64_t left = rtc::TimeMillis();
  advance_to(left + kRoomInactiveMs - 1);
  EXPECT_FALSE(room_.IsInactive());
  advance_to(left + kRoomInactiveMs);
  EXPECT_TRUE(room_.IsInactive());
}

TEST_F(MfuRoomTest, DestroyingARoomStopsItsMixerBeforeItsChannelsGo) {
  auto room = std::make_unique<MfuRoom>(3, MixerOptions());
  room->AddChannel(std::make_shared<MfuChannel>(3, 1, kUserTypeSpeaker, "t"));
  room.reset();
  const std::vector<std::string> lines = logs_.Lines("remove ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("remove room [3]"), std::string::npos);
  EXPECT_NE(lines[1].find("remove user [1] in room [3]"), std::string::npos);
}

TEST(MfuRoomMixTest, GetMixedFrameWithNoFramesIsEmpty) {
  EXPECT_TRUE(MfuRoom::GetMixedFrame({}).empty());
}

}  // namespace
}  // namespace corvaneserver
