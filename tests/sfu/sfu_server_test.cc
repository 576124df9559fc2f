// SfuServer's room operations, routing and sweeps, driven directly: datagrams
// are handed to OnPacketReceived as a deliver worker would, as if they had
// arrived on `server_socket_`, and members are real UDP sockets on loopback.
#include "sfu/sfu_server.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/log_rate_limiter.h"
#include "base/thread.h"
#include "base/time_utils.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_channel.h"
#include "sfu/voice_room.h"

#include "support/server_fixture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

class SfuServerTest : public ::testing::Test {
 protected:
  int Deliver(const UdpPeer& from, const Bytes& bytes) {
    return testing_support::DeliverTo(server_, server_socket_, from, bytes);
  }
  void JoinAndAdmit(uint64_t room, uint64_t user, uint32_t type, const UdpPeer& peer) {
    testing_support::JoinAndAdmit(server_, server_socket_, room, user, type, peer);
  }

  size_t Members(uint64_t room) {
    auto found = server_.FindRoom(room);
    return found ? found->MemberCount() : 0;
  }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_{rtc::LS_NONE};
  LogCapture info_logs_;
  UdpPeer server_socket_;
  SfuServer server_;
};

TEST_F(SfuServerTest, IsTheForwardingServer) {
  EXPECT_EQ(server_.GetServerType(), 1);
  EXPECT_EQ(server_.AddRecorder(1, 2, 3, "x"), -1);
}

TEST_F(SfuServerTest, JoinCreatesRoomButAddCascadeNeverDoes) {
  EXPECT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, "t"), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_EQ(server_.UserCount(), 1u);
  EXPECT_EQ(server_.FindUser(5)->RoomId(), 1u);
  EXPECT_EQ(server_.AddCascade(2, 100, "127.0.0.1:4000"), -1);
  EXPECT_EQ(info_logs_.Count("add cascade failed, room [2] is not exist", rtc::LS_ERROR), 1u);
  EXPECT_EQ(server_.RoomCount(), 1u);
}

TEST_F(SfuServerTest, AddCascadeWithoutCascadeSocketFails) {
  ASSERT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, "t"), 0);
  EXPECT_EQ(server_.AddCascade(1, 100, "127.0.0.1:4000"), -1);
  EXPECT_EQ(info_logs_.Count("room [1] add cascade failed, socket get failed", rtc::LS_ERROR), 1u);
  EXPECT_EQ(Members(1), 1u);
}

TEST_F(SfuServerTest, AddCascadeRefusesAddressesThatCannotBeReached) {
  ASSERT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, "t"), 0);
  for (const std::string address :
       {"", "nonsense", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "0.0.0.0:4000",
        "peer.example:4000", "[::1]:4000", "127.0.0.1:70000"}) {
    info_logs_.Clear();
    EXPECT_EQ(server_.AddCascade(1, 100, address), -1) << address;
    EXPECT_EQ(
        info_logs_.Count("room [1] add cascade failed, address [" + address + "]", rtc::LS_ERROR),
        1u)
        << address;
  }
  EXPECT_EQ(Members(1), 1u);
}

TEST_F(SfuServerTest, JoinMovesUserBetweenRooms) {
  UdpPeer peer, listener;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  JoinAndAdmit(2, 6, kUserTypeListener, listener);
  info_logs_.Clear();
  EXPECT_EQ(server_.JoinRoom(2, 5, kUserTypeSpeaker, TokenOf(5)), 0);
  EXPECT_EQ(info_logs_.Count("user [5] is exist in room [1], now transfrom to room 2"), 1u);
  EXPECT_EQ(info_logs_.Count("delete user [5] in room [1]"), 1u);
  EXPECT_EQ(info_logs_.Count("remove user [5] from room [1]"), 1u);
  EXPECT_EQ(Members(1), 0u);
  EXPECT_EQ(Members(2), 2u);
  EXPECT_EQ(server_.FindUser(5)->RoomId(), 2u);
  // The fresh channel knows no address: the token is needed again.
  EXPECT_EQ(Deliver(peer, MakeMedia(0xA0, kVoice, 1, 5)), -1);
  ASSERT_TRUE(peer.Receive());  // the authentication answer
  const Bytes voice = MakeMedia(0xA0, kVoice, 2, 5, TokenOf(5), {1});
  EXPECT_EQ(Deliver(peer, voice), 0);
  EXPECT_EQ(listener.Receive(), voice);
}

TEST_F(SfuServerTest, SecondJoinIntoSameRoomReplacesTheChannel) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeListener, peer);
  auto first = server_.FindUser(5);
  first->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 1, 9), -1, {}));
  ASSERT_EQ(first->GetWaitPacketList().size(), 1u);
  EXPECT_EQ(server_.JoinRoom(1, 5, kUserTypeListener, TokenOf(5)), 0);
  auto second = server_.FindUser(5);
  EXPECT_NE(first, second);
  EXPECT_TRUE(second->GetWaitPacketList().empty());
  EXPECT_EQ(Members(1), 1u);
  EXPECT_EQ(server_.FindRoom(1)->SeekMember(5), second);
  EXPECT_EQ(info_logs_.Count("user [5] is exist in room [1], now transfrom to room 1"), 1u);
}

TEST_F(SfuServerTest, QuitRoomTakesTheUserOut) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  EXPECT_EQ(server_.QuitRoom(1, 5), 0);
  EXPECT_EQ(server_.UserCount(), 0u);
  EXPECT_EQ(Members(1), 0u);
  EXPECT_EQ(info_logs_.Count("delete user [5] in room [1]"), 1u);
  EXPECT_EQ(Deliver(peer, MakeMedia(0xA0, kVoice, 1, 5)), -1);
  // Unknown user or room: 0, nothing changes.
  EXPECT_EQ(server_.QuitRoom(1, 5), 0);
  EXPECT_EQ(server_.QuitRoom(8, 9), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
}

TEST_F(SfuServerTest, QuitNamingAnotherRoomChangesNothing) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, speaker);
  JoinAndAdmit(1, 6, kUserTypeListener, listener);
  EXPECT_EQ(server_.QuitRoom(9, 5), 0);
  EXPECT_EQ(server_.UserCount(), 2u);
  EXPECT_EQ(Members(1), 2u);
  EXPECT_EQ(info_logs_.Count("delete user"), 0u);
  // The user is still reachable and still heard.
  const Bytes voice = MakeMedia(0xA0, kVoice, 3, 5, "", {4});
  EXPECT_EQ(Deliver(speaker, voice), 0);
  EXPECT_EQ(listener.Receive(), voice);
  EXPECT_EQ(server_.QuitRoom(1, 5), 0);
  EXPECT_EQ(server_.UserCount(), 1u);
}

TEST_F(SfuServerTest, AllowAndMuteFindTheUserByIdAlone) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 5, kUserTypeListener, speaker);
  JoinAndAdmit(1, 6, kUserTypeListener, listener);
  const Bytes voice = MakeMedia(0xA0, kVoice, 3, 5, "", {4});
  EXPECT_EQ(Deliver(speaker, voice), 0);
  EXPECT_TRUE(listener.Drain().empty());

  EXPECT_EQ(server_.AllowSpeaker(99, 5, true), 0);
  EXPECT_TRUE(server_.FindUser(5)->IsSpeaker());
  EXPECT_EQ(Deliver(speaker, voice), 0);
  EXPECT_EQ(listener.Receive(), voice);

  EXPECT_EQ(server_.MuteSpeaker(99, 5, false), 0);
  EXPECT_TRUE(server_.FindUser(5)->Muted());
  EXPECT_EQ(Deliver(speaker, voice), 0);
  EXPECT_TRUE(listener.Drain().empty());

  EXPECT_EQ(server_.MuteSpeaker(1, 5, true), 0);
  EXPECT_EQ(Deliver(speaker, voice), 0);
  EXPECT_EQ(listener.Receive(), voice);

  EXPECT_EQ(server_.AllowSpeaker(1, 77, true), -1);
  EXPECT_EQ(server_.MuteSpeaker(1, 77, true), -1);
}

TEST_F(SfuServerTest, RemoveRoomDropsItsUsers) {
  UdpPeer a, b, c;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, a);
  JoinAndAdmit(1, 6, kUserTypeListener, b);
  JoinAndAdmit(2, 7, kUserTypeListener, c);
  info_logs_.Clear();
  EXPECT_EQ(server_.RemoveRoom(1), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_EQ(server_.UserCount(), 1u);
  EXPECT_FALSE(server_.FindUser(5));
  EXPECT_EQ(info_logs_.Count("remove room [1]"), 1u);
  EXPECT_EQ(info_logs_.Count("remove user [5] from room [0]"), 1u);
  EXPECT_EQ(info_logs_.Count("remove user [6] from room [0]"), 1u);
  EXPECT_EQ(info_logs_.Count("delete user"), 0u);
  EXPECT_EQ(server_.RemoveRoom(42), 0);
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_EQ(server_.UserCount(), 1u);
}

TEST_F(SfuServerTest, RemoveRoomZeroDropsUsersWhoseRoomIsGone) {
  // A room whose only member joined as a cascader is abandoned after 10 minutes,
  // while the cascader itself is never timed out.
  ASSERT_EQ(server_.JoinRoom(3, 8, kUserTypeCascader, "t"), 0);
  clock_.AdvanceTime(kRoomInactiveMs);
  server_.InactiveTimerProcess();
  EXPECT_EQ(server_.RoomCount(), 0u);
  ASSERT_EQ(server_.UserCount(), 1u);
  EXPECT_EQ(server_.FindUser(8)->RoomId(), 0u);
  EXPECT_EQ(server_.RemoveRoom(0), 0);
  EXPECT_EQ(server_.UserCount(), 0u);
}

TEST_F(SfuServerTest, SilentMemberRemovedBetweenTwoAndTwoAndAHalfMinutes) {
  UdpPeer peer, other;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  JoinAndAdmit(1, 6, kUserTypeListener, other);
  const int64_t last_heard = rtc::TimeMillis();
  // Member 6 keeps talking; member 5 falls silent. Sweeps every 30 s, the
  // first 10 s after the last datagram of member 5.
  clock_.AdvanceTime(10000);
  int64_t removed_at = -1;
  for (int sweep = 0; sweep < 8 && removed_at < 0; ++sweep) {
    ASSERT_EQ(Deliver(other, MakeMedia(0xA0, kVoice, 1, 6)), 0);
    server_.InactiveTimerProcess();
    if (!server_.FindUser(5)) removed_at = rtc::TimeMillis();
    clock_.AdvanceTime(30000);
  }
  ASSERT_GE(removed_at, 0);
  EXPECT_GE(removed_at - last_heard, kChannelInactiveMs);
  EXPECT_LE(removed_at - last_heard, kChannelInactiveMs + 30000);
  EXPECT_EQ(info_logs_.Count("user [5] haven't received packet for a long time, reset it",
                             rtc::LS_WARNING),
            1u);
  EXPECT_EQ(info_logs_.Count("delete user [5] in room [1]"), 1u);
  EXPECT_TRUE(server_.FindUser(6));
  EXPECT_EQ(Members(1), 1u);
}

TEST_F(SfuServerTest, EmptiedRoomRemovedTenMinutesAfterItsLastMemberLeft) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeListener, peer);
  clock_.AdvanceTime(5000);
  ASSERT_EQ(server_.QuitRoom(1, 5), 0);
  const int64_t left = rtc::TimeMillis();
  int64_t removed_at = -1;
  for (int sweep = 0; sweep < 30 && removed_at < 0; ++sweep) {
    clock_.AdvanceTime(30000);
    server_.InactiveTimerProcess();
    if (server_.RoomCount() == 0) removed_at = rtc::TimeMillis();
  }
  ASSERT_GE(removed_at, 0);
  EXPECT_GE(removed_at - left, kRoomInactiveMs);
  EXPECT_LT(removed_at - left, kRoomInactiveMs + 30000);
  EXPECT_EQ(info_logs_.Count("remove room [1] for it is inactive", rtc::LS_WARNING), 1u);
}

TEST_F(SfuServerTest, QuitOfAnIdWithoutChannelStillRestartsTheRoomClock) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeListener, peer);
  ASSERT_EQ(server_.QuitRoom(1, 5), 0);
  clock_.AdvanceTime(kRoomInactiveMs - 60000);
  ASSERT_EQ(server_.QuitRoom(1, 77), 0);  // nobody by that id
  clock_.AdvanceTime(90000);
  server_.InactiveTimerProcess();
  EXPECT_EQ(server_.RoomCount(), 1u);
  clock_.AdvanceTime(kRoomInactiveMs);
  server_.InactiveTimerProcess();
  EXPECT_EQ(server_.RoomCount(), 0u);
}

TEST_F(SfuServerTest, RoomWithListenerStaysWhileItTalks) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeListener, peer);
  for (int sweep = 0; sweep < 40; ++sweep) {
    clock_.AdvanceTime(30000);
    ASSERT_EQ(Deliver(peer, MakeMedia(0xA0, kVoice, 1, 5)), 0);
    server_.InactiveTimerProcess();
  }
  EXPECT_EQ(server_.RoomCount(), 1u);
  EXPECT_EQ(server_.UserCount(), 1u);
}

TEST_F(SfuServerTest, StatisticsLineCountsRoomsAndJoinedUsers) {
  ASSERT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, "t"), 0);
  ASSERT_EQ(server_.JoinRoom(1, 6, kUserTypeSpeaker, "t"), 0);
  ASSERT_EQ(server_.JoinRoom(2, 7, kUserTypeSpeaker, "t"), 0);
  ASSERT_EQ(server_.QuitRoom(2, 7), 0);  // room 2 stays, empty
  server_.OuputStatistics();
  EXPECT_EQ(logs_.Count("room count is [2] and user count is [2]", rtc::LS_NONE), 1u);
}

TEST_F(SfuServerTest, InactiveTimerWritesStatisticsEveryFiveMinutes) {
  rtc::Message message;
  message.phandler = &server_;
  message.message_id = kTimerInactive;
  server_.OnMessage(&message);  // the clock is far past 0 + 300 s
  EXPECT_EQ(logs_.Count("room count is [0] and user count is [0]"), 1u);
  for (int tick = 1; tick < 10; ++tick) {
    clock_.AdvanceTime(30000);
    server_.OnMessage(&message);
  }
  EXPECT_EQ(logs_.Count("room count is ["), 1u);
  clock_.AdvanceTime(30000);  // 300 s after the first line
  server_.OnMessage(&message);
  EXPECT_EQ(logs_.Count("room count is ["), 2u);
}

TEST_F(SfuServerTest, TakesTheThreeTimersAndNoOther) {
  EXPECT_TRUE(server_.OnTimer(kTimerHeartbeat));
  EXPECT_TRUE(server_.OnTimer(kTimerRedeliver));
  EXPECT_TRUE(server_.OnTimer(kTimerInactive));
  EXPECT_FALSE(server_.OnTimer(0x10004));
  EXPECT_FALSE(server_.OnTimer(0x10000));
}

TEST_F(SfuServerTest, DatagramForUnknownUserIsDropped) {
  UdpPeer peer;
  EXPECT_EQ(Deliver(peer, MakeMedia(0xB0, kVoice, 1, 404, "t")), -1);
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(SfuServerTest, ShortDatagramsAreDroppedWithARateLimitedLine) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  Bytes full = MakeMedia(0xA0, kVoice, 1, 5);
  for (size_t size = 0; size < kMediaHeaderSize; ++size) {
    EXPECT_EQ(Deliver(peer, Bytes(full.begin(), full.begin() + size)), -1) << size;
  }
  EXPECT_EQ(info_logs_.Count("bytes is shorter than its media header", rtc::LS_ERROR), 1u);
  clock_.AdvanceTime(rtc::kPeerLogIntervalMs);
  EXPECT_EQ(Deliver(peer, Bytes(3, 0)), -1);
  EXPECT_EQ(info_logs_.Count("drop datagram from [" + peer.address().ToString() +
                             "]: [3] bytes is shorter than its media header (13 more since the "
                             "last line)"),
            1u);
  // A FEC datagram needs its 22-byte FEC header in front of the media header.
  Bytes fec(kFecHeaderSize + kMediaHeaderSize - 1, 0);
  fec[1] = kFecMarker;
  EXPECT_EQ(Deliver(peer, fec), -1);
}

TEST_F(SfuServerTest, ShortNackIsDroppedWithALine) {
  UdpPeer peer;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, peer);
  Bytes nack = MakeMedia(0xA0, 0xCA, 0, 0);
  nack.resize(kNackMinSize);
  rtc::SetBE64(nack.data() + 14, 5);
  EXPECT_EQ(Deliver(peer, Bytes(nack.begin(), nack.end() - 1)), -1);
  EXPECT_EQ(info_logs_.Count("drop nack from [" + peer.address().ToString() +
                                 "]: [21] bytes, at least [22] needed",
                             rtc::LS_ERROR),
            1u);
  // Long enough, for a member: still -1, the NACK switch is off.
  EXPECT_EQ(Deliver(peer, nack), -1);
  EXPECT_EQ(info_logs_.Count("drop nack"), 1u);
}

TEST_F(SfuServerTest, ShortCascadeDatagramIsDroppedWithALine) {
  UdpPeer peer;
  ASSERT_EQ(server_.JoinRoom(1, 5, kUserTypeSpeaker, "t"), 0);
  uint8_t cascade[kCascadePacketSize];
  BuildCascadePacket(1, 1234, cascade);
  EXPECT_EQ(Deliver(peer, Bytes(cascade, cascade + kCascadePacketSize - 1)), -1);
  EXPECT_EQ(info_logs_.Count("drop cascade datagram from [" + peer.address().ToString() +
                                 "]: [17] bytes, at least [18] needed",
                             rtc::LS_ERROR),
            1u);
  EXPECT_EQ(Deliver(peer, Bytes(cascade, cascade + kCascadePacketSize)), 0);
  BuildCascadePacket(2, 1234, cascade);
  EXPECT_EQ(Deliver(peer, Bytes(cascade, cascade + kCascadePacketSize)), -1);  // no room 2
}

TEST_F(SfuServerTest, ReceiverReportsReachSpeakersAsOneNumber) {
  UdpPeer s1, s2, l7;
  JoinAndAdmit(1, 1, kUserTypeSpeaker, s1);
  JoinAndAdmit(1, 2, kUserTypeSpeaker, s2);
  JoinAndAdmit(1, 7, kUserTypeListener, l7);
  // Report from 7 about 1, 2, 3 (unknown) and itself (a listener: ignored).
  // Receiver reports need no admission: it may come from anywhere.
  UdpPeer elsewhere;
  EXPECT_EQ(Deliver(elsewhere, ReceiverReportDatagram(7, {{1, 10}, {2, 15}, {3, 1}, {7, 100}}, 4)),
            0);
  EXPECT_EQ(server_.FindUser(1)->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(server_.FindUser(7)->receiver_report().SampleCount(), 0u);
  // A block count of 0 changes nothing.
  EXPECT_EQ(Deliver(elsewhere, ReceiverReportDatagram(7, {{1, 99}}, 0)), 0);

  clock_.AdvanceTime(kReceiverReportIntervalMs);
  server_.RedeliverTimerProcess();
  auto report = s1.Receive();
  ASSERT_TRUE(report);
  ASSERT_EQ(report->size(), kServerReportSize);
  EXPECT_EQ((*report)[0], 0xA1);
  EXPECT_EQ((*report)[1], 0xC8);
  EXPECT_EQ(IdAt(*report, 6), 0u);
  EXPECT_EQ(IdAt(*report, 14), 1u);
  EXPECT_EQ(rtc::GetBE32(report->data() + 22), 10u);
  report = s2.Receive();
  ASSERT_TRUE(report);
  EXPECT_EQ(rtc::GetBE32(report->data() + 22), 15u);
  EXPECT_TRUE(l7.Drain().empty());
}

TEST_F(SfuServerTest, ReportsCountOnlyFromMembersOfTheSpeakersRoom) {
  UdpPeer s1, s2, l7;
  JoinAndAdmit(1, 1, kUserTypeSpeaker, s1);
  JoinAndAdmit(2, 2, kUserTypeSpeaker, s2);
  JoinAndAdmit(1, 7, kUserTypeListener, l7);
  // Made-up reporters add nothing, however many of them.
  for (uint64_t made_up = 100; made_up < 200; ++made_up) {
    EXPECT_EQ(Deliver(l7, ReceiverReportDatagram(made_up, {{1, 0}}, 1)), 0);
  }
  // A member reports only on the speakers of its own room.
  EXPECT_EQ(Deliver(l7, ReceiverReportDatagram(7, {{1, 10}, {2, 15}}, 2)), 0);
  EXPECT_EQ(server_.FindUser(1)->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(server_.FindUser(2)->receiver_report().SampleCount(), 0u);
}

TEST_F(SfuServerTest, TruncatedReceiverReportUsesItsCompleteBlocks) {
  UdpPeer s1, s2, l7;
  JoinAndAdmit(1, 1, kUserTypeSpeaker, s1);
  JoinAndAdmit(1, 2, kUserTypeSpeaker, s2);
  JoinAndAdmit(1, 7, kUserTypeListener, l7);
  Bytes report = ReceiverReportDatagram(7, {{1, 10}, {2, 15}}, 3);  // three declared, two present
  report.push_back(0);                                              // and one byte of a third
  EXPECT_EQ(Deliver(s1, report), 0);
  EXPECT_EQ(server_.FindUser(1)->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(server_.FindUser(2)->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(info_logs_.Count("declares [3] blocks but only [2] fit in [39] bytes"), 1u);
}

TEST_F(SfuServerTest, RetainedDatagramIsResentUntilAcknowledged) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 1, kUserTypeSpeaker, speaker);
  JoinAndAdmit(1, 2, kUserTypeListener, listener);
  const Bytes sent = MakeMedia(0xB0, kRetainedPayloadType, 77, 1, "", {5, 5});
  Bytes forwarded = sent;
  forwarded[0] = 0xA0;  // the ack bit is cleared before fan-out
  EXPECT_EQ(Deliver(speaker, sent), 0);
  auto ack = speaker.Receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(PayloadTypeOf(*ack), 0x81);
  EXPECT_EQ(listener.Receive(), forwarded);

  clock_.AdvanceTime(100);
  server_.RedeliverTimerProcess();
  EXPECT_EQ(listener.Receive(), forwarded);

  // The listener acknowledges; the acknowledgement goes nowhere else and the
  // next sweep, still inside the resend window, sends nothing.
  EXPECT_EQ(Deliver(listener, MakeMedia(0xA0, 0x81, 77, 2)), -1);
  clock_.AdvanceTime(100);
  server_.RedeliverTimerProcess();
  EXPECT_TRUE(listener.Drain().empty());
  EXPECT_TRUE(speaker.Drain().empty());
}

TEST_F(SfuServerTest, UnacknowledgedDatagramIsSentAtMostThreeTimesMore) {
  UdpPeer speaker, listener;
  JoinAndAdmit(1, 1, kUserTypeSpeaker, speaker);
  JoinAndAdmit(1, 2, kUserTypeListener, listener);
  EXPECT_EQ(Deliver(speaker, MakeMedia(0xA0, kRetainedPayloadType, 77, 1)), 0);
  ASSERT_TRUE(listener.Receive());
  int resent = 0;
  for (int sweep = 0; sweep < 6; ++sweep) {
    clock_.AdvanceTime(100);
    server_.RedeliverTimerProcess();
    resent += static_cast<int>(listener.Drain().size());
  }
  EXPECT_EQ(resent, 2);  // at +100 and +200; +300 is past the 250 ms window
  EXPECT_EQ(server_.FindUser(2)->GetWaitPacketList().size(), 1u);
}

TEST_F(SfuServerTest, MusicReachesEveryoneAndTheNewestReachesANewcomer) {
  UdpPeer listener, other, newcomer;
  JoinAndAdmit(1, 1, kUserTypeListener, listener);
  JoinAndAdmit(1, 2, kUserTypeListener, other);
  const Bytes music5 = MakeMedia(0xA0, kMusicPayloadType, 5, 1, "", Bytes(40, 5));
  const Bytes music3 = MakeMedia(0xA0, kMusicPayloadType, 3, 1, "", Bytes(40, 3));
  EXPECT_EQ(Deliver(listener, music5), 0);
  EXPECT_EQ(Deliver(listener, music3), 0);
  EXPECT_EQ(other.Receive(), music5);
  EXPECT_EQ(other.Receive(), music3);
  EXPECT_TRUE(listener.Drain().empty());

  ASSERT_EQ(server_.JoinRoom(1, 3, kUserTypeListener, TokenOf(3)), 0);
  EXPECT_EQ(Deliver(newcomer, MakeMedia(0xA0, kVoice, 1, 3, TokenOf(3))), 0);
  EXPECT_EQ(newcomer.Receive(), music5);
  EXPECT_TRUE(newcomer.Drain().empty());
}

TEST_F(SfuServerTest, WrongTokenFromNewAddressIsAnsweredThirtyTimes) {
  UdpPeer member, intruder;
  JoinAndAdmit(1, 5, kUserTypeSpeaker, member);
  info_logs_.Clear();
  for (uint32_t seq = 0; seq < 35; ++seq) {
    EXPECT_EQ(Deliver(intruder, MakeMedia(0xA0, kVoice, seq, 5, "nope")), -1);
  }
  EXPECT_EQ(intruder.Drain().size(), 30u);
  EXPECT_EQ(info_logs_.Count("is invalid", rtc::LS_ERROR), 1u);
  // The right token from the new address moves the member there.
  EXPECT_EQ(Deliver(intruder, MakeMedia(0xA0, kVoice, 40, 5, TokenOf(5))), 0);
  EXPECT_EQ(server_.FindUser(5)->FromAddress(), intruder.address());
}

}  // namespace
}  // namespace corvaneserver
