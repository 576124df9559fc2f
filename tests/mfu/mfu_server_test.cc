// MfuServer's room operations, routing and sweep, driven directly: datagrams
// are handed to OnPacketReceived as a deliver worker would, as if they had
// arrived on `server_socket_`; members are real UDP sockets on loopback. The
// server is not initialised, so its rooms have no mixer: the test drives the
// passes.
#include "mfu/mfu_server.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_room.h"
#include "packet/udp_packet.h"

#include "support/fec_test_datagram.h"
#include "support/log_capture.h"
#include "support/server_fixture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

Bytes Source(uint64_t user, uint32_t seq, uint8_t level = 1) {
  return MakeFecSource(user, seq, MakeMedia(0xA0, kVoice, seq, user, "", {level, 0}));
}

class MfuServerTest : public ::testing::Test {
 protected:
  int Deliver(const UdpPeer& from, const Bytes& bytes) {
    return testing_support::DeliverTo(server_, server_socket_, from, bytes);
  }
  void JoinAndAdmit(uint64_t room, uint64_t user, uint32_t type, const UdpPeer& peer) {
    testing_support::JoinAndAdmit(server_, server_socket_, room, user, type, peer);
  }

  size_t Members(uint64_t room) {
    auto found = server_.FindRoom(room);
    return found ? found->ChannelCount() : 0;
  }

  void Pass(uint64_t room) { server_.FindRoom(room)->DeliverFrame(); }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
  UdpPeer server_socket_;
  MfuServer server_;
};

TEST_F(MfuServerTest, IsTheMixingServerWithoutCascadesOrRecorders) {
  EXPECT_EQ(server_.GetServerType(), 3);
  EXPECT_EQ(server_.AddRecorder(1, 2, 3, "x"), -1);
  EXPECT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, "t"), 0);
  EXPECT_EQ(server_.AddCascade(1, 100, "127.0.0.1:4000"), -1);
  EXPECT_EQ(logs_.Count("add cascade channel failed for room [1], as this is not a sfu server",
                        rtc::LS_ERROR),
            1u);
  EXPECT_EQ(Members(1), 1u);
}

TEST_F(MfuServerTest, JoinCreatesTheRoom) {
  EXPECT_EQ(server_.JoinRoom(4, 5, kUserTypeSpeaker, "t"), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_EQ(server_.UserCount(), 1u);
  EXPECT_EQ(server_.FindUser(5)->RoomId(), 4u);
  EXPECT_EQ(Members(4), 1u);
}

TEST_F(MfuServerTest, JoinMovesTheUserWithAFreshChannel) {
  UdpPeer peer, old_mate, listener;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  JoinAndAdmit(1, 4, kUserTypeSpeaker, old_mate);
  JoinAndAdmit(2, 6, kUserTypeListener, listener);
  // Member 5's report on speaker 4 goes when 5 leaves room 1.
  server_.FindUser(4)->OnRReportReceived(5, 9);
  logs_.Clear();
  EXPECT_EQ(server_.JoinRoom(2, 5, kUserTypeSpeaker, TokenOf(5)), 0);
  EXPECT_EQ(logs_.Count("user [5] is exist in room [1], now transfrom to room [2]", rtc::LS_INFO),
            1u);
  EXPECT_EQ(logs_.Count("remove user [5] in room [1]"), 1u);
  EXPECT_EQ(server_.FindUser(4)->receiver_report().SampleCount(), 0u);
  EXPECT_EQ(Members(1), 1u);
  EXPECT_EQ(Members(2), 2u);
  // The fresh channel knows no address: the token is needed again.
  EXPECT_EQ(Deliver(peer, Source(5, 1)), -1);
  ASSERT_TRUE(peer.Receive());  // the authentication answer
  const Bytes voice = MakeFecSource(5, 2, MakeMedia(0xA0, kVoice, 2, 5, TokenOf(5), {1, 0}));
  EXPECT_EQ(Deliver(peer, voice), 0);
  Pass(2);
  EXPECT_EQ(listener.Receive(), voice);
}

TEST_F(MfuServerTest, SecondJoinIntoTheSameRoomReplacesTheChannel) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  ASSERT_EQ(Deliver(peer, Source(5, 1)), 0);
  auto first = server_.FindUser(5);
  ASSERT_EQ(first->QueueSize(), 1u);
  EXPECT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, TokenOf(5)), 0);
  auto second = server_.FindUser(5);
  EXPECT_NE(first, second);
  EXPECT_EQ(second->QueueSize(), 0u);
  EXPECT_EQ(Members(1), 1u);
  EXPECT_EQ(logs_.Count("user [5] is exist in room [1], now transfrom to room [1]"), 1u);
}

TEST_F(MfuServerTest, QuitRoomTakesTheUserOut) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  EXPECT_EQ(server_.QuitRoom(1, 5), 0);
  EXPECT_EQ(server_.UserCount(), 0u);
  EXPECT_EQ(Members(1), 0u);
  EXPECT_EQ(logs_.Count("remove user [5] in room [1]"), 1u);
  EXPECT_EQ(Deliver(peer, Source(5, 1)), -1);
  EXPECT_EQ(server_.QuitRoom(1, 5), 0);
  EXPECT_EQ(server_.QuitRoom(8, 9), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
}

TEST_F(MfuServerTest, QuitNamingAnotherRoomChangesNothing) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, speaker);
  JoinAndAdmit(1, 6, kUserTypeListener, listener);
  EXPECT_EQ(server_.QuitRoom(9, 5), 0);
  EXPECT_EQ(server_.UserCount(), 2u);
  EXPECT_EQ(Members(1), 2u);
  EXPECT_FALSE(logs_.Contains("remove user"));
  // Still reachable and still heard.
  const Bytes voice = Source(5, 3);
  EXPECT_EQ(Deliver(speaker, voice), 0);
  Pass(1);
  EXPECT_EQ(listener.Receive(), voice);
  EXPECT_EQ(server_.QuitRoom(1, 5), 0);
  EXPECT_EQ(server_.UserCount(), 1u);
}

TEST_F(MfuServerTest, AllowAndMuteFindTheUserByIdAlone) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 5, kUserTypeListener, speaker);
  JoinAndAdmit(1, 6, kUserTypeListener, listener);
  EXPECT_EQ(Deliver(speaker, Source(5, 1)), 0);
  EXPECT_EQ(server_.FindUser(5)->QueueSize(), 0u);

  EXPECT_EQ(server_.AllowSpeaker(99, 5, true), 0);
  EXPECT_EQ(Deliver(speaker, Source(5, 2)), 0);
  EXPECT_EQ(server_.FindUser(5)->QueueSize(), 1u);

  EXPECT_EQ(server_.MuteSpeaker(99, 5, false), 0);
  EXPECT_TRUE(server_.FindUser(5)->Muted());
  Pass(1);
  EXPECT_TRUE(listener.Drain().empty());
  EXPECT_EQ(server_.MuteSpeaker(1, 5, true), 0);
  EXPECT_EQ(Deliver(speaker, Source(5, 3)), 0);
  Pass(1);
  EXPECT_EQ(listener.Receive(), Source(5, 3));

  EXPECT_EQ(server_.AllowSpeaker(1, 77, true), -1);
  EXPECT_EQ(server_.MuteSpeaker(1, 77, true), -1);
}

TEST_F(MfuServerTest, RemoveRoomDropsItsUsers) {
  UdpPeer a, b, c;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, a);
  JoinAndAdmit(1, 6, kUserTypeListener, b);
  JoinAndAdmit(2, 7, kUserTypeListener, c);
  logs_.Clear();
  EXPECT_EQ(server_.RemoveRoom(1), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_EQ(server_.UserCount(), 1u);
  EXPECT_EQ(logs_.Count("remove room [1]"), 1u);
  EXPECT_EQ(logs_.Count("remove user [5] in room [1]"), 1u);
  EXPECT_EQ(logs_.Count("remove user [6] in room [1]"), 1u);
  EXPECT_EQ(Deliver(a, Source(5, 1)), -1);
  EXPECT_EQ(server_.RemoveRoom(42), 0);
  EXPECT_EQ(server_.UserCount(), 1u);
}

TEST_F(MfuServerTest, NackAndCascadeDatagramsAreTakenAndIgnored) {
  UdpPeer speaker;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, speaker);
  Bytes nack = MakeMedia(0xA0, kNackPayloadType, 1, 5);
  nack.resize(30, 0);
  EXPECT_EQ(Deliver(speaker, nack), 0);
  EXPECT_EQ(Deliver(speaker, MakeMedia(0xA0, kCascadePayloadType, 1, 1)), 0);
  EXPECT_EQ(server_.FindUser(5)->QueueSize(), 0u);
  EXPECT_TRUE(speaker.Drain().empty());
}

TEST_F(MfuServerTest, ReceiverReportsReachSpeakersAndUseOnlyCompleteBlocks) {
  UdpPeer a, b, c;
  JoinAndAdmit(1, 1, kUserTypeSpeaker, a);
  JoinAndAdmit(1, 2, kUserTypeSpeaker, b);
  JoinAndAdmit(1, 3, kUserTypeListener, c);
  // Three blocks: speaker 1, listener 3 (ignored), unknown 77 (skipped).
  Bytes report = ReceiverReportDatagram(3, {{1, 10}, {3, 10}, {77, 10}});
  EXPECT_EQ(Deliver(c, report), 0);
  EXPECT_EQ(server_.FindUser(1)->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(server_.FindUser(3)->receiver_report().SampleCount(), 0u);
  // Declares two blocks, holds one and a half: only speaker 2's block counts.
  Bytes cut = ReceiverReportDatagram(3, {{2, 4}}, /*declared=*/2);
  cut.resize(cut.size() + 6, 0);
  cut.back() = 1;  // six bytes of a second block, cut short
  EXPECT_EQ(Deliver(c, cut), 0);
  EXPECT_EQ(server_.FindUser(2)->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(logs_.Count("declares [2] blocks but only [1] fit in [32] bytes", rtc::LS_ERROR), 1u);
  // Reports are not sent back by this server, and no datagram of theirs is queued.
  EXPECT_EQ(server_.FindUser(1)->QueueSize(), 0u);
  // A made-up reporter, or a member of another room, adds nothing.
  UdpPeer d;
  JoinAndAdmit(2, 4, kUserTypeListener, d);
  for (uint64_t reporter : {uint64_t{99}, uint64_t{4}}) {
    rtc::SetBE64(report.data() + 6, reporter);
    EXPECT_EQ(Deliver(c, report), 0);
  }
  EXPECT_EQ(server_.FindUser(1)->receiver_report().SampleCount(), 1u);
}

TEST_F(MfuServerTest, ShortOrUnknownDatagramsAreDropped) {
  UdpPeer peer;
  EXPECT_EQ(Deliver(peer, Bytes(10, 0)), -1);
  EXPECT_EQ(logs_.Count("bytes is shorter than its media header", rtc::LS_ERROR), 1u);
  EXPECT_EQ(Deliver(peer, Source(99, 1)), -1);
}

TEST_F(MfuServerTest, SweepResetsSilentUsersButKeepsThemAndRemovesAbandonedRooms) {
  UdpPeer peer, other;
  JoinAndAdmit(1, 5, kUserTypeListener, peer);
  JoinAndAdmit(2, 6, kUserTypeListener, other);
  ASSERT_EQ(server_.QuitRoom(2, 6), 0);
  const int64_t left = rtc::TimeMillis();
  clock_.AdvanceTime(kChannelInactiveMs);
  EXPECT_TRUE(server_.OnTimer(kTimerInactive));
  EXPECT_EQ(
      logs_.Count("user [5] haven't received packet for a long time, reset it", rtc::LS_WARNING),
      1u);
  EXPECT_TRUE(server_.FindUser(5));
  EXPECT_EQ(Members(1), 1u);
  EXPECT_FALSE(server_.FindUser(5)->FromAddress().IsComplete());
  EXPECT_EQ(server_.RoomCount(), 2u);
  clock_.AdvanceTime(left + kRoomInactiveMs - 1 - rtc::TimeMillis());
  server_.InactiveTimerProcess();
  EXPECT_EQ(server_.RoomCount(), 2u);
  clock_.AdvanceTime(left + kRoomInactiveMs - rtc::TimeMillis());
  server_.InactiveTimerProcess();
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_FALSE(server_.FindRoom(2));
  EXPECT_EQ(logs_.Count("remove room [2] for it is inactive", rtc::LS_WARNING), 1u);
  // A room with a member stays, however long.
  EXPECT_TRUE(server_.FindRoom(1));
}

TEST_F(MfuServerTest, OnlyHeartbeatAndInactivityTimersAreTaken) {
  EXPECT_TRUE(server_.OnTimer(kTimerInactive));
  EXPECT_FALSE(server_.OnTimer(kTimerRedeliver));
  EXPECT_FALSE(server_.OnTimer(0x10004));
}

TEST_F(MfuServerTest, RepairDatagramsAreVoiceWhateverTheirBytesLookLike) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, speaker);
  JoinAndAdmit(1, 6, kUserTypeListener, listener);
  const std::vector<Bytes> repairs = LookAlikeRepairs(5, TokenOf(5));
  for (const Bytes& repair : repairs) EXPECT_EQ(Deliver(speaker, repair), 0);
  EXPECT_EQ(server_.FindUser(5)->QueueSize(), repairs.size());
  // They go out with the source datagram behind them, unchanged.
  const Bytes source = Source(5, 200);
  ASSERT_EQ(Deliver(speaker, source), 0);
  Pass(1);
  for (const Bytes& repair : repairs) EXPECT_EQ(listener.Receive(), repair);
  EXPECT_EQ(listener.Receive(), source);
  EXPECT_TRUE(speaker.Drain().empty());  // no acknowledgement, no relay
  EXPECT_EQ(server_.FindUser(6)->receiver_report().SampleCount(), 0u);
  EXPECT_FALSE(logs_.Contains("declares"));
}

TEST_F(MfuServerTest, FecSourceAskingForAnAckIsAcknowledgedAndSentWithoutTheBit) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, speaker);
  JoinAndAdmit(1, 6, kUserTypeListener, listener);
  const Bytes source = MakeFecSource(5, 7, MakeMedia(0xB0, kVoice, 41, 5, "", {1, 0}));
  ASSERT_EQ(Deliver(speaker, source), 0);
  ASSERT_NO_FATAL_FAILURE(ExpectAck(speaker, kVoice, 41));
  Pass(1);
  Bytes forwarded = source;
  forwarded[kFecHeaderSize] = 0xA0;  // the wrapped datagram's ack bit is cleared, nothing else
  EXPECT_EQ(listener.Receive(), forwarded);
}

}  // namespace
}  // namespace corvaneserver
