#include "sfu/voice_channel.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_metrics.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_room.h"

#include "support/server_fixture.h"
#include "support/udp_test_peer.h"
#include "support/voice_room_fixture.h"

namespace corvaneserver {
namespace {

using namespace testing_support;

constexpr uint64_t kRoom = 7;

class VoiceChannelTest : public VoiceRoomFixture {
 protected:
  VoiceChannelTest() : VoiceRoomFixture(kRoom) {}

  std::shared_ptr<VoiceChannel> Add(uint64_t id, uint32_t type) {
    auto channel = std::make_shared<VoiceChannel>(room_, id, type, TokenOf(id));
    room_->AddUser(channel);
    return channel;
  }

  // `peer` sends `bytes` to `channel`, as the server would route them.
  int Send(VoiceChannel& channel, const UdpPeer& peer, const Bytes& bytes) {
    return channel.OnPacketReceived(MakePacket(bytes, server_.fd(), peer.address()));
  }

  // Admits `peer` as the member `channel` with a datagram nobody hears.
  void Admit(VoiceChannel& channel, const UdpPeer& peer) {
    const uint32_t saved_type = channel.ChannelType();
    ASSERT_EQ(channel.ReceivedPacket(
                  MakePacket(MakeMedia(0xA0, 0x20, 0, channel.Id(), TokenOf(channel.Id())),
                             server_.fd(), peer.address())),
              0);
    ASSERT_EQ(channel.ChannelType(), saved_type);
  }
};

TEST_F(VoiceChannelTest, SpeakerVoiceReachesOthersButNotItself) {
  UdpPeer a, b, c;
  auto speaker = Add(1, kUserTypeSpeaker);
  auto l2 = Add(2, kUserTypeListener);
  auto l3 = Add(3, kUserTypeListener);
  Admit(*speaker, a);
  Admit(*l2, b);
  Admit(*l3, c);
  const Bytes voice = MakeMedia(0xA0, 0x20, 100, 1, "", {9, 9, 9});
  EXPECT_EQ(Send(*speaker, a, voice), 0);
  EXPECT_EQ(b.Receive(), voice);
  EXPECT_EQ(c.Receive(), voice);
  EXPECT_TRUE(a.Drain().empty());
}

TEST_F(VoiceChannelTest, ListenerCascaderAndMutedSpeakerAreAcknowledgedButNotForwarded) {
  UdpPeer receiver_peer, sender_peer;
  auto receiver = Add(1, kUserTypeListener);
  Admit(*receiver, receiver_peer);
  auto listener = Add(2, kUserTypeListener);
  auto cascader = Add(3, kUserTypeCascader);
  auto muted = Add(4, kUserTypeSpeaker);
  muted->MuteSpeaker(false);
  for (const auto& sender : {listener, cascader, muted}) {
    Admit(*sender, sender_peer);
    EXPECT_EQ(Send(*sender, sender_peer, MakeMedia(0xB0, 0x20, 5, sender->Id())), 0);
    auto ack = sender_peer.Receive();
    ASSERT_TRUE(ack) << sender->Id();
    EXPECT_EQ(PayloadTypeOf(*ack), 0x1F);
    EXPECT_EQ(IdAt(*ack, 14), sender->Id());
  }
  EXPECT_TRUE(receiver_peer.Drain().empty());
  EXPECT_TRUE(sender_peer.Drain().empty());
}

TEST_F(VoiceChannelTest, ListenerMusicIsStoredAndForwarded) {
  UdpPeer a, b;
  auto listener = Add(1, kUserTypeListener);
  auto other = Add(2, kUserTypeListener);
  Admit(*listener, a);
  Admit(*other, b);
  const Bytes music = MakeMedia(0xA0, kMusicPayloadType, 10, 1, "", {1, 2});
  EXPECT_EQ(Send(*listener, a, music), 0);
  EXPECT_EQ(b.Receive(), music);
  ASSERT_TRUE(room_->GetMusicDetail());
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 10u);
}

TEST_F(VoiceChannelTest, NewcomerGetsMusicDetailFirstAndOnlyOnce) {
  room_->UpdateMusicDetail(
      MakePacket(MakeMedia(0xA0, kMusicPayloadType, 33, 9, "", {4, 4}), -1, rtc::SocketAddress()));
  UdpPeer peer;
  auto newcomer = Add(1, kUserTypeListener);
  // A rejected first datagram brings nothing but the authentication answer.
  EXPECT_EQ(Send(*newcomer, peer, MakeMedia(0xA0, 0x20, 1, 1, "wrong")), -1);
  auto answer = peer.Receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(PayloadTypeOf(*answer), 0x62);
  EXPECT_TRUE(peer.Drain().empty());

  EXPECT_EQ(Send(*newcomer, peer, MakeMedia(0xB0, 0x20, 2, 1, TokenOf(1))), 0);
  // Admission acknowledges the datagram, then the music detail follows.
  auto ack = peer.Receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(PayloadTypeOf(*ack), 0x1F);
  auto music = peer.Receive();
  ASSERT_TRUE(music);
  EXPECT_EQ(PayloadTypeOf(*music), kMusicPayloadType);
  EXPECT_EQ(SeqOf(*music), 33u);
  // The second accepted datagram does not repeat it.
  EXPECT_EQ(Send(*newcomer, peer, MakeMedia(0xA0, 0x20, 3, 1)), 0);
  EXPECT_TRUE(peer.Drain().empty());
  // It waits for its acknowledgement like any music datagram.
  ASSERT_EQ(newcomer->GetWaitPacketList().size(), 1u);
  EXPECT_EQ(newcomer->GetWaitPacketList().front()->SequenceNum(), 33u);
}

TEST_F(VoiceChannelTest, AcknowledgementsAreNeverForwarded) {
  UdpPeer a, b;
  auto speaker = Add(1, kUserTypeSpeaker);
  auto other = Add(2, kUserTypeListener);
  Admit(*speaker, a);
  Admit(*other, b);
  EXPECT_EQ(Send(*speaker, a, MakeMedia(0xA0, 0x7F, 1, 1)), -1);
  EXPECT_EQ(Send(*speaker, a, MakeMedia(0xA0, 0x81, 1, 1)), -1);
  EXPECT_TRUE(b.Drain().empty());
}

TEST_F(VoiceChannelTest, RetainedDatagramKeptUntilAcknowledged) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, peer);
  auto first = MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 5, 2, "", {1}), -1, {});
  auto same_number = MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 5, 2, "", {2}), -1, {});
  member->DeliverPacket(first);
  member->DeliverPacket(same_number);
  auto waiting = member->GetWaitPacketList();
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(waiting.front(), first);
  EXPECT_EQ(Send(*member, peer, MakeMedia(0xA0, 0x81, 5, 1)), -1);
  EXPECT_TRUE(member->GetWaitPacketList().empty());
}

TEST_F(VoiceChannelTest, MusicAckMustMatchThePendingNumber) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, peer);
  // An acknowledgement while nothing is pending changes nothing.
  EXPECT_EQ(Send(*member, peer, MakeMedia(0xA0, 0x7F, 8, 1)), -1);
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, kMusicPayloadType, 9, 2), -1, {}));
  EXPECT_EQ(Send(*member, peer, MakeMedia(0xA0, 0x7F, 8, 1)), -1);
  EXPECT_EQ(member->GetWaitPacketList().size(), 1u);
  EXPECT_EQ(Send(*member, peer, MakeMedia(0xA0, 0x7F, 9, 1)), -1);
  EXPECT_TRUE(member->GetWaitPacketList().empty());
}

TEST_F(VoiceChannelTest, WaitListHasMusicFirstThenAscendingNumbers) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, peer);
  for (uint32_t seq : {30u, 10u, 20u}) {
    member->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, seq, 2), -1, {}));
  }
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, kMusicPayloadType, 99, 2), -1, {}));
  std::vector<uint32_t> order;
  for (const auto& packet : member->GetWaitPacketList()) order.push_back(packet->SequenceNum());
  EXPECT_EQ(order, (std::vector<uint32_t>{99, 10, 20, 30}));
}

TEST_F(VoiceChannelTest, WaitMapDropsTheLongestWaitingAtItsBound) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  // The first datagram has the largest number: after the counter wraps the
  // longest waiting one is not the smallest key.
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 0xFFFFFFFFu, 2), -1, {}));
  for (uint32_t seq = 0; seq < kMaxWaitPackets - 1; ++seq) {
    member->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, seq, 2), -1, {}));
  }
  ASSERT_EQ(member->GetWaitPacketList().size(), kMaxWaitPackets);
  member->DeliverPacket(
      MakePacket(MakeMedia(0xA0, kRetainedPayloadType, kMaxWaitPackets - 1, 2), -1, {}));
  auto waiting = member->GetWaitPacketList();
  ASSERT_EQ(waiting.size(), kMaxWaitPackets);
  EXPECT_EQ(waiting.front()->SequenceNum(), 0u);
  EXPECT_EQ(waiting.back()->SequenceNum(), kMaxWaitPackets - 1);
  // An acknowledged one frees its place: the next insertion drops nothing.
  EXPECT_EQ(Send(*member, peer, MakeMedia(0xA0, 0x81, 100, 1, TokenOf(1))), -1);
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 5000, 2), -1, {}));
  waiting = member->GetWaitPacketList();
  EXPECT_EQ(waiting.size(), kMaxWaitPackets);
  EXPECT_EQ(waiting.front()->SequenceNum(), 0u);
  // Then the oldest, 0, goes first.
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 5001, 2), -1, {}));
  EXPECT_EQ(member->GetWaitPacketList().front()->SequenceNum(), 1u);
}

TEST_F(VoiceChannelTest, ResendWithinTwoHundredFiftyMillisecondsOfDelivery) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, peer);
  const Bytes bytes = MakeMedia(0xA0, kRetainedPayloadType, 12, 2, "", {7});
  member->DeliverPacket(MakePacket(bytes, -1, {}));
  EXPECT_EQ(peer.Receive(), bytes);
  // Sweeps at +100, +200 and +250 resend; +251 does not.
  for (int64_t step : {100, 100, 50}) {
    clock_.AdvanceTime(step);
    member->ResendPacket();
    EXPECT_EQ(peer.Receive(), bytes);
  }
  clock_.AdvanceTime(1);
  member->ResendPacket();
  clock_.AdvanceTime(100);
  member->ResendPacket();
  EXPECT_TRUE(peer.Drain().empty());
  EXPECT_EQ(member->GetWaitPacketList().size(), 1u);  // still waits for its ack
}

TEST_F(VoiceChannelTest, MusicHandedToANewcomerKeepsTheResendWindowOfOthers) {
  UdpPeer early_peer, late_peer;
  auto early = Add(1, kUserTypeListener);
  Admit(*early, early_peer);
  const Bytes bytes = MakeMedia(0xA0, kMusicPayloadType, 40, 2, "", {7});
  const std::shared_ptr<UDPPacket> music = MakePacket(bytes, -1, {});
  early->DeliverPacket(music);
  EXPECT_EQ(early_peer.Receive(), bytes);
  // 200 ms later the same shared datagram goes to a newcomer.
  clock_.AdvanceTime(200);
  auto late = Add(2, kUserTypeListener);
  Admit(*late, late_peer);
  late->DeliverPacket(music);
  EXPECT_EQ(late_peer.Receive(), bytes);
  // At +300 the early member's window is over; the newcomer's is not.
  clock_.AdvanceTime(100);
  early->ResendPacket();
  late->ResendPacket();
  EXPECT_EQ(late_peer.Receive(), bytes);
  EXPECT_TRUE(early_peer.Drain().empty());
}

TEST_F(VoiceChannelTest, AcknowledgedDatagramIsNotResent) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, peer);
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, kRetainedPayloadType, 12, 2), -1, {}));
  ASSERT_TRUE(peer.Receive());
  EXPECT_EQ(Send(*member, peer, MakeMedia(0xA0, 0x81, 12, 1)), -1);
  clock_.AdvanceTime(100);
  member->ResendPacket();
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(VoiceChannelTest, NackIsAnsweredByNothing) {
  auto member = Add(1, kUserTypeListener);
  Bytes nack = MakeMedia(0xA0, 0xCA, 0, 0);
  nack.resize(28);
  rtc::SetBE64(nack.data() + 14, 1);
  EXPECT_EQ(member->OnNackReceived(MakePacket(nack, server_.fd(), server_.address())), -1);
}

TEST_F(VoiceChannelTest, CascadeLinkSendsDetectUntilConfirmed) {
  UdpPeer peer;
  auto link = std::make_shared<VoiceChannel>(room_, 500, server_.fd(), peer.address());
  room_->AddUser(link);
  EXPECT_EQ(link->ChannelType(), kUserTypeCascader);
  EXPECT_FALSE(link->cascade_confirmed());
  room_->UpdateMusicDetail(
      MakePacket(MakeMedia(0xA0, kMusicPayloadType, 4, 9, "", {1}), -1, rtc::SocketAddress()));

  const uint32_t hash = CascadeAddressHash(peer.address());
  Bytes detect(18, 0);
  detect[0] = 0xA0;
  detect[1] = 0x6E;
  rtc::SetBE64(detect.data() + 6, kRoom);
  rtc::SetBE32(detect.data() + 14, hash);

  const Bytes voice = MakeMedia(0xA0, 0x20, 1, 3);
  for (int i = 0; i < 2; ++i) {
    link->DeliverPacket(MakePacket(voice, -1, {}));
    EXPECT_EQ(peer.Receive(), detect);
    EXPECT_EQ(peer.Receive(), voice);
  }
  // Another value changes nothing.
  link->CascadeResponse(hash + 1);
  EXPECT_FALSE(link->cascade_confirmed());
  EXPECT_TRUE(peer.Drain().empty());

  link->CascadeResponse(hash);
  EXPECT_TRUE(link->cascade_confirmed());
  EXPECT_EQ(logs_.Count("received cascade response from [" + peer.address().ToString() + "]"), 1u);
  auto music = peer.Receive();
  ASSERT_TRUE(music);
  EXPECT_EQ(SeqOf(*music), 4u);
  link->DeliverPacket(MakePacket(voice, -1, {}));
  EXPECT_EQ(peer.Receive(), voice);
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(VoiceChannelTest, MemberChannelsIgnoreCascadeValues) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, peer);
  member->CascadeResponse(CascadeAddressHash(peer.address()));
  EXPECT_EQ(logs_.Count("received cascade response"), 0u);
}

TEST_F(VoiceChannelTest, JoinedCascaderIsConfirmedAndGetsNoDetect) {
  UdpPeer peer;
  auto cascader = Add(1, kUserTypeCascader);
  Admit(*cascader, peer);
  EXPECT_TRUE(cascader->cascade_confirmed());
  const Bytes voice = MakeMedia(0xA0, 0x20, 1, 3);
  cascader->DeliverPacket(MakePacket(voice, -1, {}));
  EXPECT_EQ(peer.Receive(), voice);
  EXPECT_TRUE(peer.Drain().empty());
  clock_.AdvanceTime(10 * kChannelInactiveMs);
  EXPECT_FALSE(cascader->CheckOvertime());
}

TEST_F(VoiceChannelTest, AuthenticationDatagramFromACascadePeerIsRelayedToTheMember) {
  UdpPeer member_peer, peer_server;
  auto member = Add(1, kUserTypeListener);
  Admit(*member, member_peer);
  room_->AddUser(std::make_shared<VoiceChannel>(room_, 77, server_.fd(), peer_server.address()));
  const Bytes relay = MakeMedia(0xA0, 0x62, 3, 1, "", {0});
  EXPECT_EQ(Send(*member, peer_server, relay), 0);
  EXPECT_EQ(member_peer.Receive(), relay);
  EXPECT_EQ(logs_.Count("received authentication packet from other packet, deliver it to user "
                        "address"),
            1u);
}

TEST_F(VoiceChannelTest, AuthenticationDatagramFromAnyoneElseIsDroppedCountedAndLogged) {
  UdpPeer member_peer, stranger, other_member_peer, peer_server;
  auto member = Add(1, kUserTypeListener);
  auto other = Add(2, kUserTypeSpeaker);
  Admit(*member, member_peer);
  Admit(*other, other_member_peer);
  // A cascade link of another room does not count.
  auto elsewhere = std::make_shared<VoiceRoom>(kRoom + 1);
  elsewhere->AddUser(
      std::make_shared<VoiceChannel>(elsewhere, 77, server_.fd(), peer_server.address()));
  const uint64_t before = SfuMetrics::Get().dropped_authentication.Value();
  const Bytes forged = MakeMedia(0xA0, 0x62, 3, 1, "", {'F'});
  for (const UdpPeer* from : {&stranger, &other_member_peer, &member_peer, &peer_server}) {
    EXPECT_EQ(Send(*member, *from, forged), -1);
  }
  EXPECT_TRUE(member_peer.Drain().empty());
  EXPECT_EQ(SfuMetrics::Get().dropped_authentication.Value() - before, 4u);
  EXPECT_EQ(
      logs_.Count("drop authentication packet for user [1] from [" + stranger.address().ToString() +
                      "]: not a cascade peer of room [" + std::to_string(kRoom) + "]",
                  rtc::LS_WARNING),
      1u);
  EXPECT_EQ(logs_.Count("drop authentication packet"), 1u) << "one line per 10 s";
  clock_.AdvanceTime(10000);
  EXPECT_EQ(Send(*member, stranger, forged), -1);
  EXPECT_EQ(logs_.Count("]: not a cascade peer of room [" + std::to_string(kRoom) +
                        "] (3 more since the last line)"),
            1u);
}

TEST_F(VoiceChannelTest, RetainedDatagramArrivesWithoutAckBitButMusicKeepsIt) {
  UdpPeer a, b;
  auto speaker = Add(1, kUserTypeSpeaker);
  auto other = Add(2, kUserTypeListener);
  Admit(*speaker, a);
  Admit(*other, b);
  EXPECT_EQ(Send(*speaker, a, MakeMedia(0xB0, kRetainedPayloadType, 40, 1)), 0);
  auto forwarded = b.Receive();
  ASSERT_TRUE(forwarded);
  EXPECT_EQ((*forwarded)[0], 0xA0);
  EXPECT_EQ(other->GetWaitPacketList().size(), 1u);
  EXPECT_EQ(Send(*speaker, a, MakeMedia(0xB0, kMusicPayloadType, 41, 1)), 0);
  forwarded = b.Receive();
  ASSERT_TRUE(forwarded);
  EXPECT_EQ((*forwarded)[0], 0xB0);
}

TEST_F(VoiceChannelTest, RoomIdIsZeroOnceTheRoomIsGone) {
  auto member = Add(1, kUserTypeListener);
  EXPECT_EQ(member->RoomId(), kRoom);
  room_.reset();
  EXPECT_EQ(member->RoomId(), 0u);
  member.reset();
  EXPECT_EQ(logs_.Count("remove user [1] from room [0]"), 1u);
}

TEST_F(VoiceChannelTest, NothingIsSentWhileTheAddressIsUnknown) {
  UdpPeer peer;
  auto member = Add(1, kUserTypeListener);
  member->DeliverPacket(MakePacket(MakeMedia(0xA0, 0x20, 1, 2), -1, {}));
  EXPECT_TRUE(peer.Drain().empty());
}

}  // namespace
}  // namespace corvaneserver
