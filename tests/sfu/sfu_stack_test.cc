// The forwarding server through its whole stack: an SfuServer initialised from a
// configuration file listens on loopback with its own receive threads and
// deliver workers; members and cascade peers are test UDP sockets that announce
// themselves with a detect datagram, as clients do. Rooms are made through the
// server's room operations; the periodic sweeps are called as the service
// thread's timers would call them, under the fake clock.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "base/time_utils.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_metrics.h"
#include "sfu/sfu_server.h"
#include "sfu/sfu_wire.h"
#include "sfu/voice_channel.h"
#include "sfu/voice_room.h"

#include "support/server_fixture.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

const char kRecIp[] = "127.0.0.2";

class SfuStackTest : public StartedServerTest<SfuServer> {
 protected:
  void SetUp() override {
    StartServer("sfu.conf",
                ServerConfig(dir_.path()).Set("packet_listen_rec_eth", kRecIp).Media(port_).Text());
  }

  // Announces `peer` to the server with a detect datagram and waits for its echo.
  void Detect(const UdpPeer& peer) { testing_support::Detect(peer, media_address_); }
  // When the acknowledgement comes, the server has admitted the datagram.
  void SendAndAwaitAck(const UdpPeer& peer, const Bytes& bytes) {
    testing_support::SendAndAwaitAck(peer, media_address_, bytes);
  }

  // Joins `user` into `room` as a listener, announces its address and admits
  // it with an acknowledged datagram that nobody hears; then gives it `type`.
  void Join(uint64_t room, uint64_t user, uint32_t type, const UdpPeer& peer) {
    JoinAndAcknowledge(*server_, media_address_, room, user, peer);
    if (type == kUserTypeSpeaker) {
      ASSERT_EQ(server_->AllowSpeaker(room, user, true), 0);
    } else if (type == kUserTypeCascader) {
      // Only a join makes a cascader; it comes with a fresh channel.
      ASSERT_EQ(server_->JoinRoom(room, user, kUserTypeCascader, TokenOf(user)), 0);
      SendAndAwaitAck(peer, MakeMedia(kAskAck, kVoice, 0, user, TokenOf(user)));
    }
    // The acknowledgement goes out before the worker is done with the datagram
    // (a newcomer's first one also brings the room's music detail): wait for
    // the rest, so that a music datagram sent next cannot reach this member
    // twice, once forwarded and once as the detail.
    Barrier(peer, user);
  }

  // Waits until every datagram `user` sent before has been handled: the
  // server acknowledges this one only after those, and, being of an
  // acknowledgement type that acknowledges nothing kept, it goes nowhere.
  void Barrier(const UdpPeer& peer, uint64_t user) {
    SendAndAwaitAck(peer, MakeMedia(kAskAck, 0x21, 0xFFFFFFFFu, user));
  }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
  const rtc::SocketAddress rec_address_{kRecIp, port_};
};

TEST_F(SfuStackTest, SpeakerReachesEveryOtherMemberButNotItself) {
  UdpPeer speaker, l2, l3;
  Join(1, 1, kUserTypeSpeaker, speaker);
  Join(1, 2, kUserTypeListener, l2);
  Join(1, 3, kUserTypeListener, l3);
  const Bytes voice = MakeMedia(kNoAck, kVoice, 10, 1, "", Bytes(160, 0x55));
  ASSERT_TRUE(speaker.SendTo(media_address_, voice));
  rtc::SocketAddress from;
  EXPECT_EQ(l2.Receive(testing_support::kArrivalDeadlineMs, &from), voice);
  EXPECT_EQ(from, media_address_);
  EXPECT_EQ(l3.Receive(), voice);
  Barrier(speaker, 1);
  EXPECT_TRUE(speaker.Drain().empty());
}

TEST_F(SfuStackTest, ListenerCascaderAndMutedSpeakerReachNobodyButAreAcknowledged) {
  UdpPeer receiver, listener, cascader, muted;
  Join(1, 1, kUserTypeListener, receiver);
  Join(1, 2, kUserTypeListener, listener);
  Join(1, 3, kUserTypeCascader, cascader);
  Join(1, 4, kUserTypeSpeaker, muted);
  ASSERT_EQ(server_->MuteSpeaker(1, 4, false), 0);
  SendAndAwaitAck(listener, MakeMedia(kAskAck, kVoice, 5, 2, "", {1}));
  SendAndAwaitAck(cascader, MakeMedia(kAskAck, kVoice, 5, 3, "", {1}));
  SendAndAwaitAck(muted, MakeMedia(kAskAck, kVoice, 5, 4, "", {1}));
  EXPECT_TRUE(receiver.Drain().empty());
  // A speaker unmuted again is heard.
  ASSERT_EQ(server_->MuteSpeaker(1, 4, true), 0);
  const Bytes voice = MakeMedia(kNoAck, kVoice, 6, 4, "", {2});
  ASSERT_TRUE(muted.SendTo(media_address_, voice));
  EXPECT_EQ(receiver.Receive(), voice);
}

TEST_F(SfuStackTest, MusicReachesEveryoneAndTheNewestReachesANewcomerFirst) {
  UdpPeer listener, other;
  Join(1, 1, kUserTypeListener, listener);
  Join(1, 2, kUserTypeListener, other);
  const Bytes music7 = MakeMedia(kNoAck, kMusicPayloadType, 7, 1, "", Bytes(300, 7));
  const Bytes music6 = MakeMedia(kNoAck, kMusicPayloadType, 6, 1, "", Bytes(100, 6));
  ASSERT_TRUE(listener.SendTo(media_address_, music7));
  ASSERT_TRUE(listener.SendTo(media_address_, music6));
  EXPECT_EQ(other.Receive(), music7);
  EXPECT_EQ(other.Receive(), music6);

  UdpPeer newcomer;
  ASSERT_EQ(server_->JoinRoom(1, 3, kUserTypeListener, TokenOf(3)), 0);
  Detect(newcomer);
  SendAndAwaitAck(newcomer, MakeMedia(kAskAck, kVoice, 1, 3, TokenOf(3)));
  EXPECT_EQ(newcomer.Receive(), music7);
  // A speaker's voice follows the music detail, never before it.
  ASSERT_EQ(server_->AllowSpeaker(1, 1, true), 0);
  const Bytes voice = MakeMedia(kNoAck, kVoice, 8, 1, "", {1});
  ASSERT_TRUE(listener.SendTo(media_address_, voice));
  EXPECT_EQ(newcomer.Receive(), voice);
}

TEST_F(SfuStackTest, WrongTokenFromNewAddressGetsThirtyAnswersThenRightTokenMoves) {
  UdpPeer member, moved;
  Join(1, 5, kUserTypeSpeaker, member);
  Detect(moved);
  for (uint32_t seq = 1; seq <= 35; ++seq) {
    ASSERT_TRUE(moved.SendTo(media_address_, MakeMedia(kAskAck, kVoice, seq, 5, "forged")));
  }
  for (uint32_t seq = 1; seq <= 30; ++seq) {
    auto answer = moved.Receive();
    ASSERT_TRUE(answer) << seq;
    Bytes expected = {0xA0, 0x62, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0};
    rtc::SetBE32(expected.data() + 2, seq);
    EXPECT_EQ(*answer, expected);
  }
  // The right token moves the member to the new address and restarts the run.
  SendAndAwaitAck(moved, MakeMedia(kAskAck, kVoice, 40, 5, TokenOf(5)));
  EXPECT_TRUE(moved.Drain().empty());  // the last five forged ones were not answered
  EXPECT_EQ(
      logs_.Count("user [5] address have changed, but token [forged] is invalid", rtc::LS_ERROR),
      1u);
  EXPECT_EQ(logs_.Count("modify user [5] remote address from [" + member.address().ToString() +
                        "] to [" + moved.address().ToString() + "]"),
            1u);
  EXPECT_EQ(server_->FindUser(5)->FromAddress(), moved.address());
}

TEST_F(SfuStackTest, RetainedDatagramResentUntilAcknowledgedAndNeverForwardedAck) {
  UdpPeer speaker, listener;
  Join(1, 1, kUserTypeSpeaker, speaker);
  Join(1, 2, kUserTypeListener, listener);
  const Bytes retained = MakeMedia(kAskAck, kRetainedPayloadType, 300, 1, "", Bytes(50, 1));
  Bytes forwarded = retained;
  forwarded[0] = kNoAck;  // cleared before fan-out
  SendAndAwaitAck(speaker, retained);
  EXPECT_EQ(listener.Receive(), forwarded);

  clock_.AdvanceTime(100);
  server_->RedeliverTimerProcess();
  EXPECT_EQ(listener.Receive(), forwarded);

  // The listener acknowledges; the acknowledgement reaches nobody and stops
  // the resending inside the window.
  ASSERT_TRUE(listener.SendTo(media_address_, MakeMedia(kNoAck, 0x81, 300, 2)));
  Barrier(listener, 2);
  clock_.AdvanceTime(100);
  server_->RedeliverTimerProcess();
  EXPECT_TRUE(listener.Drain().empty());
  Barrier(speaker, 1);
  EXPECT_TRUE(speaker.Drain().empty());
  EXPECT_TRUE(server_->FindUser(2)->GetWaitPacketList().empty());
}

TEST_F(SfuStackTest, SpeakerReceivesItsReceiverReport) {
  UdpPeer speaker, listener;
  Join(1, 1, kUserTypeSpeaker, speaker);
  Join(1, 2, kUserTypeListener, listener);
  ASSERT_TRUE(listener.SendTo(media_address_, ReceiverReportDatagram(2, {{1, 42}})));
  Barrier(listener, 2);
  clock_.AdvanceTime(kReceiverReportIntervalMs);
  server_->RedeliverTimerProcess();
  auto got = speaker.Receive();
  ASSERT_TRUE(got);
  Bytes expected(26, 0);
  expected[0] = 0xA1;
  expected[1] = 0xC8;
  rtc::SetBE64(expected.data() + 14, 1);
  rtc::SetBE32(expected.data() + 22, 42);
  EXPECT_EQ(*got, expected);
}

// The process-wide instance, once freed by its owner (main), is not handed out
// again: a later Create starts afresh, and fails on a missing file.
TEST_F(SfuStackTest, FreedInstanceIsNotHandedOutAgain) {
  server_->Exit();
  server_.reset();
  std::unique_ptr<SfuServer> instance(SfuServer::Create(dir_.File("sfu.conf")));
  ASSERT_NE(instance, nullptr);
  instance->Exit();
  instance.reset();
  EXPECT_EQ(SfuServer::Create(dir_.File("absent.conf")), nullptr);
}

TEST_F(SfuStackTest, ShortDatagramIsDroppedWithOneLine) {
  UdpPeer member;
  Join(1, 1, kUserTypeSpeaker, member);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(member.SendTo(media_address_, Bytes(9, 0x20)));
  Barrier(member, 1);
  // Dropped before it reaches any channel, with one line for the five.
  EXPECT_EQ(logs_.Count("shorter than its media header"), 1u);
}

// A cascade peer: a test socket that answers a detect datagram with the same
// room id and hash, as a peer server does.
class CascadeStackTest : public SfuStackTest {
 protected:
  // Reads the detect datagram a link sends and checks it.
  void ExpectDetect(const UdpPeer& peer, uint64_t room) {
    rtc::SocketAddress from;
    auto detect = peer.Receive(testing_support::kArrivalDeadlineMs, &from);
    ASSERT_TRUE(detect);
    EXPECT_EQ(from, rec_address_);
    Bytes expected(kCascadePacketSize, 0);
    expected[0] = 0xA0;
    expected[1] = 0x6E;
    rtc::SetBE64(expected.data() + 6, room);
    rtc::SetBE32(expected.data() + 14, CascadeAddressHash(peer.address()));
    EXPECT_EQ(*detect, expected);
  }
};

TEST_F(CascadeStackTest, LinkSendsDetectUntilThePeerAnswersThenTheMusicDetail) {
  UdpPeer speaker, peer;
  Join(1, 1, kUserTypeSpeaker, speaker);
  const Bytes music = MakeMedia(kNoAck, kMusicPayloadType, 3, 1, "", Bytes(20, 3));
  ASSERT_TRUE(speaker.SendTo(media_address_, music));
  Barrier(speaker, 1);

  ASSERT_EQ(server_->AddCascade(1, 900, peer.address().ToString()), 0);
  const Bytes voice = MakeMedia(kNoAck, kVoice, 4, 1, "", {4});
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(speaker.SendTo(media_address_, voice));
    ExpectDetect(peer, 1);
    EXPECT_EQ(peer.Receive(), voice);
  }
  // A wrong answer (other room, or other hash) confirms nothing.
  uint8_t answer[kCascadePacketSize];
  BuildCascadePacket(1, CascadeAddressHash(peer.address()) + 1, answer);
  ASSERT_TRUE(peer.SendTo(rec_address_, Bytes(answer, answer + sizeof(answer))));
  BuildCascadePacket(1, CascadeAddressHash(peer.address()), answer);
  ASSERT_TRUE(peer.SendTo(rec_address_, Bytes(answer, answer + sizeof(answer))));
  // The right one brings the room's music detail.
  EXPECT_EQ(peer.Receive(), music);
  EXPECT_TRUE(logs_.WaitFor("received cascade response from [" + peer.address().ToString() + "]"));
  ASSERT_TRUE(speaker.SendTo(media_address_, voice));
  EXPECT_EQ(peer.Receive(), voice);
  Barrier(speaker, 1);
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(CascadeStackTest, SameIdReplacesTheLinkAndOtherIdsAddLinks) {
  UdpPeer speaker, first, second, third;
  Join(1, 1, kUserTypeSpeaker, speaker);
  ASSERT_EQ(server_->AddCascade(1, 900, first.address().ToString()), 0);
  ASSERT_EQ(server_->AddCascade(1, 900, second.address().ToString()), 0);
  EXPECT_EQ(logs_.Count("remove user [900] from room [1]"), 1u);
  ASSERT_EQ(server_->AddCascade(1, 901, third.address().ToString()), 0);
  EXPECT_EQ(server_->FindRoom(1)->MemberCount(), 3u);
  EXPECT_EQ(server_->UserCount(), 1u);  // links are not users

  const Bytes voice = MakeMedia(kNoAck, kVoice, 4, 1, "", {4});
  ASSERT_TRUE(speaker.SendTo(media_address_, voice));
  ExpectDetect(second, 1);
  EXPECT_EQ(second.Receive(), voice);
  ExpectDetect(third, 1);
  EXPECT_EQ(third.Receive(), voice);
  Barrier(speaker, 1);
  EXPECT_TRUE(first.Drain().empty());
}

TEST_F(CascadeStackTest, QuitNamingTheLinkIdTakesTheLinkDown) {
  UdpPeer speaker, peer;
  Join(1, 1, kUserTypeSpeaker, speaker);
  ASSERT_EQ(server_->AddCascade(1, 900, peer.address().ToString()), 0);
  ASSERT_EQ(server_->QuitRoom(1, 900), 0);
  EXPECT_EQ(server_->FindRoom(1)->MemberCount(), 1u);
  EXPECT_EQ(logs_.Count("remove user [900] from room [1]"), 1u);
  ASSERT_TRUE(speaker.SendTo(media_address_, MakeMedia(kNoAck, kVoice, 4, 1, "", {4})));
  Barrier(speaker, 1);
  EXPECT_TRUE(peer.Drain().empty());
}

TEST_F(CascadeStackTest, AddressThatIsNotIpv4AndPortAddsNoLink) {
  UdpPeer speaker;
  Join(1, 1, kUserTypeSpeaker, speaker);
  for (const std::string address : {"127.0.0.1", "127.0.0.1:0", "peer:5000", "0.0.0.0:5000"}) {
    EXPECT_EQ(server_->AddCascade(1, 900, address), -1) << address;
    EXPECT_EQ(logs_.Count("room [1] add cascade failed, address [" + address + "]"), 1u);
  }
  EXPECT_EQ(server_->FindRoom(1)->MemberCount(), 1u);
}

// A room spread over this server and a peer server played by test sockets: the
// peer's link points at `peer_media`, and the peer relays its members'
// datagrams from `peer_cascade`, its cascade interface, as a server does.
class CascadeLoopStackTest : public CascadeStackTest {
 protected:
  static constexpr uint64_t kRoomId = 1;
  static constexpr uint64_t kSpeaker = 1;   // talks to this server
  static constexpr uint64_t kListener = 2;  // listens on this server
  static constexpr uint64_t kRemote = 3;    // talks to the peer server
  static constexpr uint64_t kLink = 900;

  void SetUp() override {
    CascadeStackTest::SetUp();
    Join(kRoomId, kSpeaker, kUserTypeSpeaker, speaker_);
    Join(kRoomId, kListener, kUserTypeListener, listener_);
    // The peer's speaker is joined here too, under the same id and token; it
    // never talks to this server itself.
    ASSERT_EQ(server_->JoinRoom(kRoomId, kRemote, kUserTypeSpeaker, TokenOf(kRemote)), 0);
    ASSERT_EQ(server_->AddCascade(kRoomId, kLink, peer_media_.address().ToString()), 0);
  }

  // The peer's link to this server proves itself: its detect datagram, sent
  // to the media address, comes back marked as an answer from the cascade
  // interface. The peer is then a source of this room's cascade datagrams.
  void PeerDetects() {
    uint8_t detect[kCascadePacketSize];
    BuildCascadePacket(kRoomId, CascadeAddressHash(media_address_), detect);
    ASSERT_TRUE(peer_cascade_.SendTo(media_address_, Bytes(detect, detect + sizeof(detect))));
    rtc::SocketAddress from;
    auto answer = peer_cascade_.Receive(testing_support::kArrivalDeadlineMs, &from);
    ASSERT_TRUE(answer);
    EXPECT_EQ(from, rec_address_);
    uint8_t expected[kCascadePacketSize];
    BuildCascadeAnswer(kRoomId, CascadeAddressHash(media_address_), expected);
    EXPECT_EQ(*answer, Bytes(expected, expected + sizeof(expected)));
  }

  // This server's link proves itself: the detect datagram the 100 ms sweep
  // sends to the peer's media address is answered from the peer's cascade
  // interface, so the link learns where the peer's relayed datagrams come from.
  void LinkConfirmed() {
    server_->RedeliverTimerProcess();
    ExpectDetect(peer_media_, kRoomId);
    uint8_t answer[kCascadePacketSize];
    BuildCascadeAnswer(kRoomId, CascadeAddressHash(peer_media_.address()), answer);
    ASSERT_TRUE(peer_cascade_.SendTo(rec_address_, Bytes(answer, answer + sizeof(answer))));
    ASSERT_TRUE(testutil::WaitFor([&] { return server_->TallyMembers().confirmed_links == 1; }));
  }

  UdpPeer speaker_, listener_, peer_media_, peer_cascade_;
};

TEST_F(CascadeLoopStackTest, RelayedDatagramIsNotSentBackToItsPeerNorMovesTheSpeaker) {
  LinkConfirmed();
  PeerDetects();
  const Bytes voice = MakeMedia(kNoAck, kVoice, 10, kRemote, TokenOf(kRemote), {1, 2});
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, voice));
  EXPECT_EQ(listener_.Receive(), voice);
  EXPECT_EQ(speaker_.Receive(), voice);
  // The speaker stays where the peer server has it: nothing here.
  EXPECT_TRUE(server_->FindUser(kRemote)->FromAddress().IsNil());
  EXPECT_EQ(logs_.Count("modify user [3] remote address"), 0u);
  // A datagram of this server's own speaker still goes over the link.
  const Bytes own = MakeMedia(kNoAck, kVoice, 20, kSpeaker, "", {3});
  ASSERT_TRUE(speaker_.SendTo(media_address_, own));
  EXPECT_EQ(peer_media_.Receive(), own);
  Barrier(speaker_, kSpeaker);
  EXPECT_TRUE(peer_media_.Drain().empty());
  EXPECT_TRUE(peer_cascade_.Drain().empty());
}

TEST_F(CascadeLoopStackTest, DatagramComingBackRoundACycleIsDroppedAndCounted) {
  LinkConfirmed();
  PeerDetects();
  const uint64_t repeats_before = SfuMetrics::Get().cascade_repeats.Value();
  const Bytes own = MakeMedia(kNoAck, kVoice, 30, kSpeaker, TokenOf(kSpeaker), {4});
  ASSERT_TRUE(speaker_.SendTo(media_address_, own));
  EXPECT_EQ(listener_.Receive(), own);
  EXPECT_EQ(peer_media_.Receive(), own);
  // A third server sends it back in: it was forwarded here already.
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, own));
  // And the peer relays one of its own speaker's datagrams twice.
  const Bytes remote = MakeMedia(kNoAck, kVoice, 7, kRemote, TokenOf(kRemote), {5});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(peer_cascade_.SendTo(media_address_, remote));
  const Bytes next = MakeMedia(kNoAck, kVoice, 8, kRemote, TokenOf(kRemote), {6});
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, next));
  EXPECT_EQ(listener_.Receive(), remote);
  EXPECT_EQ(listener_.Receive(), next);
  EXPECT_TRUE(listener_.Drain().empty());
  EXPECT_EQ(SfuMetrics::Get().cascade_repeats.Value() - repeats_before, 3u);
  EXPECT_TRUE(logs_.WaitFor("drop repeated datagram [30] of user [1] from cascade peer [" +
                            peer_cascade_.address().ToString() + "]"));
  EXPECT_EQ(logs_.Count("drop repeated datagram [7] of user [3]"), 1u);  // rate-limited
}

TEST_F(CascadeLoopStackTest, FecDatagramsAreRepeatsByTheirNumberInTheFecStream) {
  PeerDetects();
  // Two FEC source datagrams that wrap the same media datagram but carry
  // different FEC numbers are two datagrams; the same FEC number is a repeat.
  const Bytes inner = MakeMedia(kNoAck, kVoice, 5, kRemote, TokenOf(kRemote), {7});
  auto fec = [&](uint32_t fec_seq) {
    Bytes out(kFecHeaderSize, 0);
    out[1] = kFecMarker;
    rtc::SetBE64(out.data() + kFecUserIdOffset, kRemote);
    rtc::SetBE32(out.data() + kFecSequenceOffset, fec_seq);
    rtc::SetBE32(out.data() + kFecBlockStartOffset, fec_seq);
    out[kFecSourceCountOffset] = 1;
    rtc::SetBE16(out.data() + 20, static_cast<uint16_t>(inner.size()));
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
  };
  for (uint32_t fec_seq : {100u, 100u, 101u}) {
    ASSERT_TRUE(peer_cascade_.SendTo(media_address_, fec(fec_seq)));
  }
  EXPECT_EQ(listener_.Receive(), fec(100));
  EXPECT_EQ(listener_.Receive(), fec(101));
  EXPECT_TRUE(listener_.Drain().empty());
}

TEST_F(CascadeLoopStackTest, OnlyADetectMeantForThisServerMakesAPeerAndRelaysNeedTheToken) {
  // A cascade datagram anyone could send makes no peer: the datagram that
  // follows is the member's own, from a new address, as without cascading.
  const auto stranger = UdpPeer();
  uint8_t datagram[kCascadePacketSize];
  BuildCascadePacket(kRoomId, CascadeAddressHash(media_address_) + 1, datagram);
  ASSERT_TRUE(stranger.SendTo(media_address_, Bytes(datagram, datagram + sizeof(datagram))));
  const Bytes voice = MakeMedia(kNoAck, kVoice, 10, kRemote, TokenOf(kRemote), {1});
  ASSERT_TRUE(stranger.SendTo(media_address_, voice));
  EXPECT_EQ(listener_.Receive(), voice);
  EXPECT_EQ(server_->FindUser(kRemote)->FromAddress(), stranger.address());

  // A peer's relayed datagram without the member's token is refused.
  PeerDetects();
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, MakeMedia(kNoAck, kVoice, 11, kRemote)));
  const Bytes next = MakeMedia(kNoAck, kVoice, 12, kRemote, TokenOf(kRemote), {2});
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, next));
  EXPECT_EQ(listener_.Receive(), next);
  EXPECT_TRUE(listener_.Drain().empty());
  EXPECT_EQ(server_->FindUser(kRemote)->FromAddress(), stranger.address());
}

TEST_F(CascadeLoopStackTest, StrangersFillingThePeerTableCannotHideALinksPeer) {
  std::vector<std::unique_ptr<UdpPeer>> strangers;
  uint8_t detect[kCascadePacketSize];
  BuildCascadePacket(kRoomId, CascadeAddressHash(media_address_), detect);
  for (size_t i = 0; i < kMaxCascadeSources; ++i) {
    strangers.push_back(std::make_unique<UdpPeer>());
    ASSERT_TRUE(strangers.back()->SendTo(media_address_, Bytes(detect, detect + sizeof(detect))));
    ASSERT_TRUE(strangers.back()->Receive());  // answered: taken as a peer
  }
  LinkConfirmed();
  EXPECT_TRUE(logs_.WaitFor("room [1] knows [16] peer servers already, [" +
                            peer_cascade_.address().ToString() + "] is not taken as one"));
  // Admitted on the media address (a detect packet, as no detect datagram of
  // the peer's link came there).
  Detect(peer_cascade_);
  const Bytes voice = MakeMedia(kNoAck, kVoice, 10, kRemote, TokenOf(kRemote), {1});
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, voice));
  EXPECT_EQ(listener_.Receive(), voice);
  // Still relayed voice: the speaker stays with its own server.
  EXPECT_TRUE(server_->FindUser(kRemote)->FromAddress().IsNil());
}

TEST_F(CascadeLoopStackTest, ConfirmedLinkSendsKeepalivesWhoseAnswersAreQuiet) {
  LinkConfirmed();
  const std::string confirmed_line = "received cascade response from [";
  EXPECT_EQ(logs_.Count(confirmed_line), 1u);
  server_->KeepCascadeLinksAlive();
  ExpectDetect(peer_media_, kRoomId);
  uint8_t answer[kCascadePacketSize];
  BuildCascadeAnswer(kRoomId, CascadeAddressHash(peer_media_.address()), answer);
  ASSERT_TRUE(peer_cascade_.SendTo(rec_address_, Bytes(answer, answer + sizeof(answer))));
  // A detect datagram for the cascade interface, handled after the answer
  // (same source, same socket): once its own answer is back, the keepalive's
  // answer was taken.
  uint8_t detect[kCascadePacketSize];
  BuildCascadePacket(kRoomId, CascadeAddressHash(rec_address_), detect);
  ASSERT_TRUE(peer_cascade_.SendTo(rec_address_, Bytes(detect, detect + sizeof(detect))));
  ASSERT_TRUE(peer_cascade_.Receive());
  EXPECT_EQ(logs_.Count(confirmed_line), 1u);
  EXPECT_TRUE(peer_media_.Drain().empty());  // nothing but the keepalive itself
}

TEST_F(CascadeLoopStackTest, MemberKnownOnlyThroughPeersIsNotTimedOutHere) {
  clock_.AdvanceTime(kChannelInactiveMs);
  server_->InactiveTimerProcess();
  // The members who talked to this server went silent here: they go.
  EXPECT_EQ(server_->FindUser(kListener), nullptr);
  EXPECT_EQ(server_->FindUser(kSpeaker), nullptr);
  // The peer's speaker never talks here: its own server times it out.
  EXPECT_NE(server_->FindUser(kRemote), nullptr);
}

TEST_F(CascadeLoopStackTest, AnAnswerOrADetectForAnotherAddressIsNotAnswered) {
  uint8_t datagram[kCascadePacketSize];
  BuildCascadeAnswer(kRoomId, CascadeAddressHash(media_address_), datagram);
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, Bytes(datagram, datagram + sizeof(datagram))));
  BuildCascadePacket(kRoomId, CascadeAddressHash(media_address_) + 1, datagram);
  ASSERT_TRUE(peer_cascade_.SendTo(media_address_, Bytes(datagram, datagram + sizeof(datagram))));
  EXPECT_TRUE(peer_cascade_.Drain().empty());
  // A link that is confirmed sends no more detect datagrams from the sweep.
  LinkConfirmed();
  server_->RedeliverTimerProcess();
  EXPECT_TRUE(peer_media_.Drain().empty());
}

}  // namespace
}  // namespace corvaneserver
