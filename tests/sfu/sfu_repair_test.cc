// FEC repair datagrams in the forwarding server: whatever their repair bytes
// look like, they are a speaker's voice, forwarded byte for byte, never
// acknowledged, kept, relayed or taken for a report, NACK, cascade or music
// datagram. A FEC source datagram that asks for an acknowledgement gets one,
// and is forwarded without the bit, as every other datagram.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_server.h"
#include "sfu/voice_channel.h"
#include "sfu/voice_room.h"

#include "support/fec_test_datagram.h"
#include "support/log_capture.h"
#include "support/server_fixture.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

class SfuRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    using testing_support::JoinAndAdmit;
    JoinAndAdmit(server_, server_socket_, 1, 5, kUserTypeListener, speaker_);
    JoinAndAdmit(server_, server_socket_, 1, 6, kUserTypeListener, listener_);
    ASSERT_EQ(server_.AllowSpeaker(1, 5, true), 0);
  }
  int Deliver(const UdpPeer& from, const Bytes& bytes) {
    return testing_support::DeliverTo(server_, server_socket_, from, bytes);
  }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
  UdpPeer server_socket_;
  UdpPeer speaker_;
  UdpPeer listener_;
  SfuServer server_;
};

TEST_F(SfuRepairTest, RepairDatagramsAreForwardedUnchangedWhateverTheirBytesLookLike) {
  const std::vector<Bytes> repairs = LookAlikeRepairs(5, TokenOf(5));
  for (const Bytes& repair : repairs) EXPECT_EQ(Deliver(speaker_, repair), 0) << SeqOf(repair);
  for (const Bytes& repair : repairs) {
    auto got = listener_.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, repair);
  }
  EXPECT_TRUE(listener_.Drain().empty());
  // Nothing came back to the sender: no acknowledgement, no relayed 'b'.
  EXPECT_TRUE(speaker_.Drain().empty());
  // Nothing was kept as music or for resending, and no report was counted.
  EXPECT_FALSE(server_.FindRoom(1)->GetMusicDetail());
  EXPECT_TRUE(server_.FindUser(6)->GetWaitPacketList().empty());
  EXPECT_EQ(server_.FindUser(5)->receiver_report().SampleCount(), 0u);
  EXPECT_FALSE(logs_.Contains("declares"));
  EXPECT_FALSE(logs_.Contains("received authentication packet"));
}

TEST_F(SfuRepairTest, RepairDatagramOfAMutedSpeakerOrListenerReachesNobody) {
  const Bytes repair = LookAlikeRepairs(5, TokenOf(5))[4];  // looks like music
  ASSERT_EQ(server_.MuteSpeaker(1, 5, false), 0);
  EXPECT_EQ(Deliver(speaker_, repair), 0);
  ASSERT_EQ(server_.AllowSpeaker(1, 5, false), 0);
  EXPECT_EQ(Deliver(speaker_, repair), 0);
  EXPECT_TRUE(listener_.Drain().empty());
  EXPECT_FALSE(server_.FindRoom(1)->GetMusicDetail());
}

TEST_F(SfuRepairTest, FecSourceAskingForAnAckIsAcknowledgedAndForwardedWithoutTheBit) {
  const Bytes source = MakeFecSource(5, 9, MakeMedia(0xB0, kVoice, 77, 5, "", {1, 2}));
  EXPECT_EQ(Deliver(speaker_, source), 0);
  ASSERT_NO_FATAL_FAILURE(ExpectAck(speaker_, kVoice, 77));
  Bytes forwarded = source;
  forwarded[kFecHeaderSize] = 0xA0;  // the wrapped datagram's ack bit is cleared, nothing else
  EXPECT_EQ(listener_.Receive(), forwarded);
}

}  // namespace
}  // namespace corvaneserver
