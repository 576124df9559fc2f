// NACKs through the whole forwarding server with "nack_enabled = 1": a
// speaker's FEC stream loses a source datagram on the way in, the server
// rebuilds it, and a member of the room gets it by NACK; nobody else does.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/thread.h"
#include "base/time_utils.h"
#include "fec/block_builder.h"
#include "packet/udp_packet.h"
#include "sfu/nack.h"
#include "sfu/sfu_server.h"
#include "sfu/sfu_wire.h"

#include "support/server_fixture.h"
#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

class NackStackTest : public StartedServerTest<SfuServer> {
 protected:
  void Start(bool nack_enabled) {
    StartServer("sfu.conf", ServerConfig(dir_.path())
                                .Set("packet_listen_bgp_eth", "127.0.0.1")
                                .Set("packet_listen_port", port_)
                                .Set("nack_enabled", nack_enabled ? 1 : 0)
                                .Text());
  }

  void Join(uint64_t room, uint64_t user, bool speaker, const UdpPeer& peer) {
    JoinAndAcknowledge(*server_, media_address_, room, user, peer);
    if (speaker) {
      ASSERT_EQ(server_->AllowSpeaker(room, user, true), 0);
    }
  }

  void Barrier(const UdpPeer& peer, uint64_t user) {
    // Every datagram `peer` sent before has been handled once the ack comes.
    SendAndAwaitAck(peer, media_address_, MakeMedia(kAskAck, 0x21, 0xFFFFFFFFu, user));
  }

  static Bytes Voice(uint32_t seq) {
    return MakeMedia(kNoAck, kVoice, seq, 1, "", Bytes(120, static_cast<uint8_t>(seq)));
  }

  // The speaker (user 1) sends the block of media 100 .. 103 without source 2.
  std::vector<fec::Datagram> SendBlockWithALoss(const UdpPeer& speaker) {
    std::vector<fec::Datagram> media;
    for (uint32_t seq = 100; seq < 104; ++seq) media.push_back(Voice(seq));
    std::vector<fec::Datagram> block;
    EXPECT_TRUE(fec::BuildFecBlock(1, 0, media, 2, false, &block));
    for (int i : {0, 1, 3, 4, 5}) EXPECT_TRUE(speaker.SendTo(media_address_, block[i]));
    Barrier(speaker, 1);
    return block;
  }

  // Asks for the media datagrams of user `user` after `reference` in `mask`;
  // `sender` is the id the asker puts in its header.
  static Bytes MakeNack(uint64_t sender, uint64_t user, uint32_t reference, uint16_t mask) {
    Bytes nack = MakeMedia(kNoAck, kNackPayloadType, 1, sender);
    nack.resize(kNackPacketSize);
    rtc::SetBE64(nack.data() + kNackUserIdOffset, user);
    rtc::SetBE32(nack.data() + kNackReferenceOffset, reference);
    rtc::SetBE16(nack.data() + kNackMaskOffset, mask);
    return nack;
  }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
};

TEST_F(NackStackTest, MemberGetsTheRebuiltDatagramAndStrangersGetNothing) {
  Start(true);
  UdpPeer speaker, listener, elsewhere, stranger;
  Join(1, 1, true, speaker);
  Join(1, 2, false, listener);
  Join(2, 3, false, elsewhere);
  Detect(stranger, media_address_);
  const auto block = SendBlockWithALoss(speaker);
  // The listener hears the five FEC datagrams that arrived, unchanged.
  std::vector<Bytes> heard = listener.Drain();
  ASSERT_EQ(heard.size(), 5u);
  EXPECT_EQ(heard[0], block[0]);

  // Reference 99, bits 0 to 3: media 100 to 103; 102 was rebuilt.
  ASSERT_TRUE(listener.SendTo(media_address_, MakeNack(2, 1, 99, 0b1111)));
  for (uint32_t seq = 100; seq < 104; ++seq) {
    auto resent = listener.Receive();
    ASSERT_TRUE(resent) << seq;
    EXPECT_EQ(*resent, Voice(seq));
  }
  // One line per interval: the first of the four.
  EXPECT_TRUE(logs_.WaitFor("+++++++++++ user [1] resend packet [100], result [OK]"));

  // A member of another room, and an address that only announced itself, get
  // nothing, whatever id they claim.
  ASSERT_TRUE(elsewhere.SendTo(media_address_, MakeNack(3, 1, 99, 0b0100)));
  ASSERT_TRUE(stranger.SendTo(media_address_, MakeNack(2, 1, 99, 0b0100)));
  EXPECT_TRUE(logs_.WaitFor("], not a member of its room", 1));
  Barrier(elsewhere, 3);
  EXPECT_TRUE(elsewhere.Drain().empty());
  EXPECT_TRUE(stranger.Drain().empty());
  EXPECT_EQ(logs_.Count("resend packet"), 1u);
}

TEST_F(NackStackTest, SwitchedOffNothingIsKeptOrAnswered) {
  Start(false);
  UdpPeer speaker, listener;
  Join(1, 1, true, speaker);
  Join(1, 2, false, listener);
  SendBlockWithALoss(speaker);
  EXPECT_EQ(listener.Drain().size(), 5u);
  ASSERT_TRUE(listener.SendTo(media_address_, MakeNack(2, 1, 99, 0b1111)));
  Barrier(listener, 2);
  EXPECT_TRUE(listener.Drain().empty());
  EXPECT_EQ(logs_.Count("resend packet"), 0u);
}

}  // namespace
}  // namespace corvaneserver
