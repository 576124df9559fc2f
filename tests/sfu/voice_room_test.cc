#include "sfu/voice_room.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/packet_metrics.h"
#include "packet/udp_packet.h"
#include "sfu/voice_channel.h"

#include "support/udp_test_peer.h"
#include "support/voice_room_fixture.h"

namespace corvaneserver {
namespace {

using namespace testing_support;

constexpr uint64_t kRoom = 1;

class VoiceRoomTest : public VoiceRoomFixture {
 protected:
  VoiceRoomTest() : VoiceRoomFixture(kRoom) {}

  // A member whose address is `peer`, admitted through `server`.
  std::shared_ptr<VoiceChannel> Join(uint64_t id, uint32_t type, const UdpPeer& peer,
                                     const UdpPeer& server) {
    auto channel = std::make_shared<VoiceChannel>(room_, id, type, "t" + std::to_string(id));
    room_->AddUser(channel);
    // A first datagram from a user the room never forwards (id 0 is no member).
    EXPECT_EQ(
        channel->ReceivedPacket(MakePacket(MakeMedia(0xA0, 0x20, 1, 0, "t" + std::to_string(id)),
                                           server.fd(), peer.address())),
        0);
    return channel;
  }

  std::shared_ptr<UDPPacket> Music(uint32_t seq, uint64_t sender, size_t payload_size,
                                   uint8_t fill) {
    return MakePacket(
        MakeMedia(0xA0, kMusicPayloadType, seq, sender, "", Bytes(payload_size, fill)), -1,
        rtc::SocketAddress());
  }
};

TEST_F(VoiceRoomTest, FanOutSkipsSenderInAscendingOrder) {
  // Members 3, 5 and 9 share one address but are reached through three server
  // sockets, so the source of each copy tells which member it was sent for.
  UdpPeer peer;
  UdpPeer socket3, socket5, socket9;
  Join(9, kUserTypeListener, peer, socket9);
  Join(3, kUserTypeListener, peer, socket3);
  Join(5, kUserTypeSpeaker, peer, socket5);

  const Bytes voice = MakeMedia(0xA0, 0x20, 42, 5, "", {1, 2, 3});
  room_->OnPacketDelivered(MakePacket(voice, -1, rtc::SocketAddress()));
  rtc::SocketAddress from;
  auto first = peer.Receive(testing_support::kArrivalDeadlineMs, &from);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, voice);
  EXPECT_EQ(from, socket3.address());
  auto second = peer.Receive(testing_support::kArrivalDeadlineMs, &from);
  ASSERT_TRUE(second);
  EXPECT_EQ(from, socket9.address());
  EXPECT_TRUE(peer.Drain().empty());

  // A sender that is no member: everyone, 3, 5, 9.
  room_->OnPacketDelivered(MakePacket(MakeMedia(0xA0, 0x20, 43, 4), -1, rtc::SocketAddress()));
  for (const UdpPeer* expected : {&socket3, &socket5, &socket9}) {
    ASSERT_TRUE(peer.Receive(testing_support::kArrivalDeadlineMs, &from));
    EXPECT_EQ(from, expected->address());
  }
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(VoiceRoomTest, ForwardedCountsOnlyMembersTheKernelSentTo) {
  UdpPeer peer;
  Join(1, kUserTypeSpeaker, peer, server_);
  // Two listeners that never sent a datagram: no address to send to.
  room_->AddUser(std::make_shared<VoiceChannel>(room_, 2, kUserTypeListener, "t2"));
  room_->AddUser(std::make_shared<VoiceChannel>(room_, 3, kUserTypeListener, "t3"));
  UdpPeer listener;
  Join(4, kUserTypeListener, listener, server_);
  const uint64_t before = PacketMetrics::Get().forwarded.Value();
  for (uint32_t seq = 1; seq <= 10; ++seq) {
    room_->OnPacketDelivered(
        MakePacket(MakeMedia(0xA0, 0x20, seq, 1, "", {1}), -1, rtc::SocketAddress()));
  }
  EXPECT_EQ(PacketMetrics::Get().forwarded.Value() - before, 10u);
}

TEST_F(VoiceRoomTest, FanOutToMoreMembersThanOneSendBatchReachesEachOnceInOrder) {
  // More members than one system call sends, half reached through a second
  // server socket: every member gets every datagram once, in the order sent.
  constexpr uint64_t kMembers = 150;
  UdpPeer other_server;
  std::vector<std::unique_ptr<UdpPeer>> peers;
  for (uint64_t id = 1; id <= kMembers; ++id) {
    peers.push_back(std::make_unique<UdpPeer>());
    Join(id, kUserTypeListener, *peers.back(), id % 2 == 0 ? server_ : other_server);
  }
  for (uint32_t seq = 1; seq <= 3; ++seq) {
    room_->OnPacketDelivered(
        MakePacket(MakeMedia(0xA0, 0x20, seq, 1000), -1, rtc::SocketAddress()));
  }
  for (uint64_t id = 1; id <= kMembers; ++id) {
    UdpPeer& peer = *peers[id - 1];
    for (uint32_t seq = 1; seq <= 3; ++seq) {
      rtc::SocketAddress from;
      const auto got = peer.Receive(testing_support::kArrivalDeadlineMs, &from);
      ASSERT_TRUE(got) << "member " << id << " datagram " << seq;
      EXPECT_EQ(SeqOf(*got), seq) << "member " << id;
      EXPECT_EQ(from, (id % 2 == 0 ? server_ : other_server).address()) << "member " << id;
    }
    EXPECT_TRUE(peer.Drain(0).empty()) << "member " << id;  // everything was sent already
  }
}

TEST_F(VoiceRoomTest, MutedMembersAndListenersReceiveForwardedDatagrams) {
  UdpPeer listener_peer, muted_peer;
  Join(1, kUserTypeListener, listener_peer, server_);
  auto muted = Join(2, kUserTypeSpeaker, muted_peer, server_);
  muted->MuteSpeaker(false);
  room_->OnPacketDelivered(MakePacket(MakeMedia(0xA0, 0x20, 1, 7), -1, rtc::SocketAddress()));
  EXPECT_TRUE(listener_peer.Receive());
  EXPECT_TRUE(muted_peer.Receive());
}

TEST_F(VoiceRoomTest, MusicDetailKeepsNewestBySequence) {
  room_->OnMusicPacketReceived(Music(5, 1, 10, 0x05));
  ASSERT_TRUE(room_->GetMusicDetail());
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 5u);
  room_->OnMusicPacketReceived(Music(3, 1, 10, 0x03));
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 5u);
  room_->OnMusicPacketReceived(Music(8, 1, 10, 0x08));
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 8u);
}

TEST_F(VoiceRoomTest, MusicDetailIsForwardedEveryTime) {
  UdpPeer peer;
  Join(2, kUserTypeListener, peer, server_);
  for (uint32_t seq : {5u, 3u, 8u}) room_->OnMusicPacketReceived(Music(seq, 1, 10, 0));
  for (uint32_t seq : {5u, 3u, 8u}) {
    auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(SeqOf(*got), seq);
  }
}

TEST_F(VoiceRoomTest, ShorterNewerMusicReplacesBytesAndLength) {
  auto older = Music(8, 1, 300 - 16, 0xAA);
  auto newer = Music(9, 1, 100 - 16, 0xBB);
  room_->UpdateMusicDetail(older);
  room_->UpdateMusicDetail(newer);
  auto detail = room_->GetMusicDetail();
  ASSERT_TRUE(detail);
  ASSERT_EQ(detail->size(), 100u);
  EXPECT_EQ(Bytes(detail->data(), detail->data() + detail->size()),
            Bytes(newer->data(), newer->data() + newer->size()));
}

TEST_F(VoiceRoomTest, FirstMusicDatagramIsStoredWhateverItsNumber) {
  auto zero = Music(0, 1, 20, 0x11);
  room_->UpdateMusicDetail(zero);
  auto detail = room_->GetMusicDetail();
  ASSERT_TRUE(detail);
  EXPECT_EQ(detail->size(), zero->size());
  EXPECT_EQ(detail->SequenceNum(), 0u);

  // Also a first datagram from the upper half of the counter.
  auto other_room = std::make_shared<VoiceRoom>(2);
  other_room->UpdateMusicDetail(Music(0x80000005u, 1, 20, 0x11));
  ASSERT_TRUE(other_room->GetMusicDetail());
  EXPECT_EQ(other_room->GetMusicDetail()->SequenceNum(), 0x80000005u);
}

TEST_F(VoiceRoomTest, NoMusicDetailBeforeFirstMusic) { EXPECT_FALSE(room_->GetMusicDetail()); }

TEST_F(VoiceRoomTest, MusicDetailFollowsTheCounterAcrossTheWrap) {
  room_->UpdateMusicDetail(Music(0xFFFFFFF0u, 1, 20, 0));
  room_->UpdateMusicDetail(Music(5, 1, 20, 0));
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 5u);
  room_->UpdateMusicDetail(Music(0xFFFFFFF8u, 1, 20, 0));  // older than 5 modulo 2^32
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 5u);
  room_->UpdateMusicDetail(Music(6, 1, 20, 0));
  EXPECT_EQ(room_->GetMusicDetail()->SequenceNum(), 6u);
}

TEST_F(VoiceRoomTest, HandedOutMusicDetailIsNeverRewritten) {
  room_->UpdateMusicDetail(Music(1, 1, 50, 0x01));
  auto held = room_->GetMusicDetail();
  const Bytes before(held->data(), held->data() + held->size());
  room_->UpdateMusicDetail(Music(2, 1, 10, 0x02));
  EXPECT_EQ(Bytes(held->data(), held->data() + held->size()), before);
  EXPECT_NE(room_->GetMusicDetail(), held);
}

TEST_F(VoiceRoomTest, DeleteUserTellsRemainingMembers) {
  UdpPeer a, b;
  auto speaker = Join(1, kUserTypeSpeaker, a, server_);
  Join(2, kUserTypeListener, b, server_);
  speaker->OnRReportReceived(2, 10);
  ASSERT_EQ(speaker->receiver_report().SampleCount(), 1u);
  EXPECT_EQ(room_->DeleteUser(2), 0);
  EXPECT_EQ(logs_.Count("delete user [2] in room [1]", rtc::LS_INFO), 1u);
  EXPECT_EQ(logs_.Count("remove user [2] from room [1]", rtc::LS_INFO), 1u);
  EXPECT_EQ(speaker->receiver_report().SampleCount(), 0u);
  EXPECT_EQ(room_->MemberCount(), 1u);
}

TEST_F(VoiceRoomTest, DeleteOfNonMemberOnlyResetsTheClock) {
  clock_.AdvanceTime(kRoomInactiveMs - 1);
  EXPECT_EQ(room_->DeleteUser(77), 0);
  EXPECT_EQ(logs_.Count("delete user"), 0u);
  clock_.AdvanceTime(1);
  EXPECT_FALSE(room_->IsInactive());
  clock_.AdvanceTime(kRoomInactiveMs - 1);
  EXPECT_TRUE(room_->IsInactive());
}

TEST_F(VoiceRoomTest, RoomWithOneListenerIsNeverInactive) {
  UdpPeer peer;
  Join(1, kUserTypeListener, peer, server_);
  clock_.AdvanceTime(100 * kRoomInactiveMs);
  EXPECT_FALSE(room_->IsInactive());
}

TEST_F(VoiceRoomTest, RoomWithOnlyCascadeLinkIsInactiveAfterTenMinutes) {
  UdpPeer peer;
  room_->AddUser(std::make_shared<VoiceChannel>(room_, 50, server_.fd(), peer.address()));
  clock_.AdvanceTime(kRoomInactiveMs - 1);
  EXPECT_FALSE(room_->IsInactive());
  clock_.AdvanceTime(1);
  EXPECT_TRUE(room_->IsInactive());
}

TEST_F(VoiceRoomTest, AddUserReplacesMemberWithSameId) {
  UdpPeer peer;
  room_->AddUser(std::make_shared<VoiceChannel>(room_, 50, server_.fd(), peer.address()));
  room_->AddUser(std::make_shared<VoiceChannel>(room_, 50, server_.fd(), peer.address()));
  EXPECT_EQ(room_->MemberCount(), 1u);
  EXPECT_EQ(logs_.Count("remove user [50] from room [1]"), 1u);
}

TEST_F(VoiceRoomTest, DestroyedRoomLogsThenItsChannelsNameRoomZero) {
  UdpPeer peer;
  Join(4, kUserTypeListener, peer, server_);
  room_.reset();
  EXPECT_EQ(logs_.Count("remove room [1]", rtc::LS_INFO), 1u);
  EXPECT_EQ(logs_.Count("remove user [4] from room [0]"), 1u);
}

TEST_F(VoiceRoomTest, CascadeValueIsOfferedToEveryMember) {
  UdpPeer peer_a, peer_b;
  auto a = std::make_shared<VoiceChannel>(room_, 10, server_.fd(), peer_a.address());
  auto b = std::make_shared<VoiceChannel>(room_, 11, server_.fd(), peer_b.address());
  room_->AddUser(a);
  room_->AddUser(b);
  room_->OnCascadeReceived(static_cast<uint32_t>(peer_b.address().Hash()));
  EXPECT_FALSE(a->cascade_confirmed());
  EXPECT_TRUE(b->cascade_confirmed());
}

}  // namespace
}  // namespace corvaneserver
