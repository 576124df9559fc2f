#include "channel/user_channel.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/udp_packet.h"

#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using namespace testing_support;
using testutil::LogCapture;

class TestChannel final : public Channel {
 public:
  using Channel::Channel;
  ~TestChannel() = default;
  int OnUserTypeChanged() override {
    ++type_changes;
    return 0;
  }
  int type_changes = 0;
};

constexpr uint64_t kUser = 0x1122334455667788ull;
const std::string kToken = "secret-token";

class UserChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    ASSERT_TRUE(member_.ok());
  }

  // A datagram from `from`, as if it had arrived on the server socket.
  std::shared_ptr<UDPPacket> From(const UdpPeer& from, const Bytes& bytes) {
    return MakePacket(bytes, server_.fd(), from.address());
  }

  // Admits `member_` into `channel` with the right token.
  void Admit(Channel& channel) {
    ASSERT_EQ(channel.ReceivedPacket(From(member_, MakeMedia(0xA0, 0x11, 1, kUser, kToken))), 0);
    ASSERT_EQ(channel.FromAddress(), member_.address());
  }

  rtc::ScopedFakeClock clock_;
  LogCapture logs_;
  UdpPeer server_;  // stands for the server's receive socket
  UdpPeer member_;
};

TEST_F(UserChannelTest, FirstDatagramWithTokenLearnsAddressAndSocket) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  EXPECT_TRUE(channel->FromAddress().IsNil());
  EXPECT_EQ(channel->Socket(), -1);
  Admit(*channel);
  EXPECT_EQ(channel->Socket(), server_.fd());
  EXPECT_EQ(logs_.Count("modify user [" + std::to_string(kUser) +
                            "] remote address from [:0] to [" + member_.address().ToString() + "]",
                        rtc::LS_INFO),
            1u);
  // Nothing is sent back for a datagram that does not ask for an ack.
  EXPECT_TRUE(member_.Drain().empty());
}

TEST_F(UserChannelTest, KnownAddressIsAcceptedWithoutTokenCheck) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Admit(*channel);
  EXPECT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0xA0, 0x11, 2, kUser, "wrong"))), 0);
  EXPECT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0xA0, 0x11, 3, kUser))), 0);
  EXPECT_EQ(logs_.Count("is invalid"), 0u);
  EXPECT_TRUE(member_.Drain().empty());
}

TEST_F(UserChannelTest, EmptyJoinTokenAdmitsDatagramWithoutToken) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeListener, "");
  EXPECT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0xA0, 0x11, 1, kUser))), 0);
  EXPECT_EQ(channel->FromAddress(), member_.address());
  UdpPeer other;
  EXPECT_EQ(channel->ReceivedPacket(From(other, MakeMedia(0xA0, 0x11, 2, kUser))), 0);
  EXPECT_EQ(channel->FromAddress(), other.address());
}

TEST_F(UserChannelTest, WrongTokenRunIsAnsweredThirtyTimesAndLoggedOnce) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  const int64_t joined = rtc::TimeMillis();
  clock_.AdvanceTime(1000);
  for (uint32_t seq = 1; seq <= 35; ++seq) {
    EXPECT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0xB0, 0x11, seq, kUser, "bad"))), -1);
  }
  EXPECT_EQ(logs_.Count("user [" + std::to_string(kUser) +
                            "] address have changed, but token [bad] is invalid",
                        rtc::LS_ERROR),
            1u);
  EXPECT_EQ(channel->rejected_count(), 35u);
  // Rejected datagrams neither refresh the member nor get acknowledged.
  EXPECT_EQ(channel->last_receive_time_ms(), joined);
  EXPECT_TRUE(channel->FromAddress().IsNil());

  rtc::SocketAddress sender;
  for (uint32_t seq = 1; seq <= 30; ++seq) {
    auto answer = member_.Receive(testing_support::kArrivalDeadlineMs, &sender);
    ASSERT_TRUE(answer) << seq;
    EXPECT_EQ(sender, server_.address());
    Bytes expected = {0xA0, 0x62, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0};
    rtc::SetBE32(expected.data() + 2, seq);
    EXPECT_EQ(*answer, expected) << seq;
  }
  EXPECT_TRUE(member_.Drain().empty());
  EXPECT_EQ(logs_.Count("send authentication response to [" + member_.address().ToString() + "]"),
            30u);

  // The right token moves the member and restarts the run.
  EXPECT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0xA0, 0x11, 36, kUser, kToken))), 0);
  EXPECT_EQ(channel->rejected_count(), 0u);
  EXPECT_EQ(channel->FromAddress(), member_.address());
  UdpPeer third;
  EXPECT_EQ(channel->ReceivedPacket(From(third, MakeMedia(0xA0, 0x11, 37, kUser, "bad"))), -1);
  EXPECT_EQ(logs_.Count("address have changed, but token [bad] is invalid"), 2u);
  EXPECT_TRUE(third.Receive());
}

TEST_F(UserChannelTest, DatagramWithoutSourceDoesNotMatchUnknownAddress) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  auto packet = MakePacket(MakeMedia(0xA0, 0x11, 1, kUser), server_.fd(), rtc::SocketAddress());
  EXPECT_EQ(channel->ReceivedPacket(packet), -1);
  EXPECT_EQ(logs_.Count("token [] is invalid"), 1u);
}

TEST_F(UserChannelTest, AuthenticationAnswerLeavesThroughTheArrivalSocket) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Admit(*channel);
  UdpPeer second_server;
  UdpPeer stranger;
  auto packet = MakePacket(MakeMedia(0xA0, 0x11, 9, kUser), second_server.fd(), stranger.address());
  EXPECT_EQ(channel->ReceivedPacket(packet), -1);
  rtc::SocketAddress sender;
  ASSERT_TRUE(stranger.Receive(testing_support::kArrivalDeadlineMs, &sender));
  EXPECT_EQ(sender, second_server.address());
  EXPECT_TRUE(member_.Drain().empty());
}

TEST_F(UserChannelTest, TokenLongerThanDatagramCountsAsAbsent) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Bytes bytes = MakeMedia(0xA0, 0x11, 1, kUser, kToken);
  bytes.resize(bytes.size() - 1);  // the declared token runs past the end
  EXPECT_EQ(channel->ReceivedPacket(From(member_, bytes)), -1);
  EXPECT_EQ(logs_.Count("token [] is invalid"), 1u);
  EXPECT_TRUE(channel->FromAddress().IsNil());
}

TEST_F(UserChannelTest, AckOfRetainedDatagramClearsTheBit) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Admit(*channel);
  auto packet = From(member_, MakeMedia(0xB5, 0x82, 77, kUser, kToken));
  ASSERT_EQ(channel->ReceivedPacket(packet), 0);
  rtc::SocketAddress sender;
  auto ack = member_.Receive(testing_support::kArrivalDeadlineMs, &sender);
  ASSERT_TRUE(ack);
  EXPECT_EQ(sender, server_.address());
  Bytes expected(22, 0);
  expected[0] = 0xA0;
  expected[1] = 0x81;
  rtc::SetBE32(expected.data() + 2, 77);
  rtc::SetBE64(expected.data() + 14, kUser);
  EXPECT_EQ(*ack, expected);
  EXPECT_FALSE(packet->Ack());
  EXPECT_EQ(packet->data()[0], 0xA5);  // only bit 4 cleared
}

TEST_F(UserChannelTest, AckOfMusicKeepsTheBit) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeListener, kToken);
  Admit(*channel);
  auto packet = From(member_, MakeMedia(0x90, 0x80, 5, kUser));
  ASSERT_EQ(channel->ReceivedPacket(packet), 0);
  auto ack = member_.Receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(PayloadTypeOf(*ack), 0x7F);
  EXPECT_EQ(SeqOf(*ack), 5u);
  EXPECT_EQ(IdAt(*ack, 6), 0u);
  EXPECT_EQ(IdAt(*ack, 14), kUser);
  EXPECT_TRUE(packet->Ack());
}

TEST_F(UserChannelTest, AckOfPayloadTypeZeroWrapsTo0xFF) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeListener, kToken);
  Admit(*channel);
  ASSERT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0x10, 0x00, 6, 42))), 0);
  auto ack = member_.Receive();
  ASSERT_TRUE(ack);
  EXPECT_EQ(PayloadTypeOf(*ack), 0xFF);
  EXPECT_EQ(IdAt(*ack, 14), 42u);  // the datagram's own user id
}

TEST_F(UserChannelTest, AckThatCannotBeSentIsLogged) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeListener, kToken);
  channel->ResponseAck(From(member_, MakeMedia(0x10, 0x82, 6, kUser)));
  EXPECT_EQ(logs_.Count("send ack packet failed,  have only deliver -1 length", rtc::LS_ERROR), 1u);
}

TEST_F(UserChannelTest, InactiveExactlyAfterTwoMinutes) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Admit(*channel);
  channel->OnRReportReceived(9, 100);
  clock_.AdvanceTime(kChannelInactiveMs - 1);
  EXPECT_EQ(channel->InactiveCheck(), -1);
  EXPECT_EQ(channel->FromAddress(), member_.address());
  clock_.AdvanceTime(1);
  EXPECT_EQ(channel->InactiveCheck(), 0);
  EXPECT_TRUE(channel->FromAddress().IsNil());
  EXPECT_EQ(channel->Socket(), -1);
  EXPECT_EQ(channel->receiver_report().SampleCount(), 0u);
  EXPECT_EQ(logs_.Count("user [" + std::to_string(kUser) +
                            "] haven't received packet for a long time, reset it",
                        rtc::LS_WARNING),
            1u);
  // Still silent: reset (and logged) again.
  EXPECT_EQ(channel->InactiveCheck(), 0);
  EXPECT_EQ(logs_.Count("haven't received packet"), 2u);
}

TEST_F(UserChannelTest, AcceptedDatagramPostponesInactivity) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Admit(*channel);
  clock_.AdvanceTime(100000);
  ASSERT_EQ(channel->ReceivedPacket(From(member_, MakeMedia(0xA0, 0x11, 2, kUser))), 0);
  clock_.AdvanceTime(100000);
  EXPECT_EQ(channel->InactiveCheck(), -1);
}

TEST_F(UserChannelTest, CascaderIsNeverReset) {
  auto channel =
      std::make_shared<TestChannel>(kUser, kUserTypeCascader, server_.fd(), member_.address());
  clock_.AdvanceTime(10 * kChannelInactiveMs);
  EXPECT_EQ(channel->InactiveCheck(), -1);
  EXPECT_EQ(channel->FromAddress(), member_.address());
  EXPECT_TRUE(channel->token().empty());
}

TEST_F(UserChannelTest, AllowSpeakerChangesTypeOnlyWhenDifferent) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  EXPECT_EQ(channel->AllowSpeaker(true), 0);
  EXPECT_EQ(channel->type_changes, 0);
  EXPECT_EQ(logs_.Count("modify type"), 0u);
  EXPECT_EQ(channel->AllowSpeaker(false), 0);
  EXPECT_EQ(channel->type_changes, 1);
  EXPECT_EQ(channel->ChannelType(), kUserTypeListener);
  EXPECT_FALSE(channel->IsSpeaker());
  EXPECT_EQ(
      logs_.Count("user [" + std::to_string(kUser) + "] modify type from [speaker] to [listener]",
                  rtc::LS_INFO),
      1u);
}

TEST_F(UserChannelTest, CascaderBecomesSpeaker) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeCascader, kToken);
  EXPECT_EQ(channel->AllowSpeaker(true), 0);
  EXPECT_TRUE(channel->IsSpeaker());
  EXPECT_EQ(logs_.Count("modify type from [cascader] to [speaker]"), 1u);
}

TEST_F(UserChannelTest, MuteLogsEvenWithoutChange) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  EXPECT_FALSE(channel->Muted());
  EXPECT_EQ(channel->MuteSpeaker(true), 0);
  EXPECT_FALSE(channel->Muted());
  EXPECT_EQ(logs_.Count("user [" + std::to_string(kUser) + "] modify to unmuted", rtc::LS_INFO),
            1u);
  EXPECT_EQ(channel->MuteSpeaker(false), 0);
  EXPECT_TRUE(channel->Muted());
  EXPECT_EQ(logs_.Count("] modify to muted"), 1u);
  EXPECT_TRUE(member_.Drain().empty());
}

TEST(UserTypeToStringTest, NamesEveryType) {
  EXPECT_EQ(UserTypeToString(1), "listener");
  EXPECT_EQ(UserTypeToString(2), "speaker");
  EXPECT_EQ(UserTypeToString(3), "cascader");
  EXPECT_EQ(UserTypeToString(0), "unkown");
  EXPECT_EQ(UserTypeToString(4), "unkown");
}

TEST_F(UserChannelTest, ReceiverReportsOnlyForSpeakers) {
  auto listener = std::make_shared<TestChannel>(kUser, kUserTypeListener, kToken);
  listener->OnRReportReceived(7, 10);
  EXPECT_EQ(listener->receiver_report().SampleCount(), 0u);
  auto speaker = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  speaker->OnRReportReceived(7, 10);
  speaker->OnRReportReceived(8, 10);
  EXPECT_EQ(speaker->receiver_report().SampleCount(), 2u);
  speaker->OnAnotherUserRemoved(7);
  EXPECT_EQ(speaker->receiver_report().SampleCount(), 1u);
}

TEST_F(UserChannelTest, SpeakerReceivesPacedReport) {
  auto channel = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  Admit(*channel);
  channel->OnRReportReceived(1, 10);
  channel->OnRReportReceived(2, 15);
  // Not before 500 ms after the channel was made.
  clock_.AdvanceTime(kReceiverReportIntervalMs - 1);
  channel->SendReceiverReport();
  EXPECT_TRUE(member_.Drain().empty());
  clock_.AdvanceTime(1);
  channel->SendReceiverReport();
  rtc::SocketAddress sender;
  auto report = member_.Receive(testing_support::kArrivalDeadlineMs, &sender);
  ASSERT_TRUE(report);
  EXPECT_EQ(sender, server_.address());
  Bytes expected(26, 0);
  expected[0] = 0xA1;
  expected[1] = 0xC8;
  rtc::SetBE64(expected.data() + 14, kUser);
  rtc::SetBE32(expected.data() + 22, 13);
  EXPECT_EQ(*report, expected);

  // New samples within 500 ms wait for the next interval.
  channel->OnRReportReceived(1, 30);
  clock_.AdvanceTime(kReceiverReportIntervalMs - 1);
  channel->SendReceiverReport();
  EXPECT_TRUE(member_.Drain().empty());
  clock_.AdvanceTime(1);
  channel->SendReceiverReport();
  report = member_.Receive();
  ASSERT_TRUE(report);
  EXPECT_EQ(rtc::GetBE32(report->data() + 22), 23u);  // 13 + (20 + 0) / 2

  // Nothing new: the interval closes without a report.
  clock_.AdvanceTime(kReceiverReportIntervalMs);
  channel->SendReceiverReport();
  EXPECT_TRUE(member_.Drain().empty());
}

TEST_F(UserChannelTest, NoReportWithoutAddressOrForListener) {
  auto speaker = std::make_shared<TestChannel>(kUser, kUserTypeSpeaker, kToken);
  speaker->OnRReportReceived(1, 10);
  clock_.AdvanceTime(kReceiverReportIntervalMs);
  speaker->SendReceiverReport();  // address unknown: nothing, samples kept
  Admit(*speaker);
  speaker->SendReceiverReport();
  auto report = member_.Receive();
  ASSERT_TRUE(report);
  EXPECT_EQ(rtc::GetBE32(report->data() + 22), 10u);

  UdpPeer listener_peer;
  auto listener = std::make_shared<TestChannel>(kUser + 1, kUserTypeListener, server_.fd(),
                                                listener_peer.address());
  clock_.AdvanceTime(kReceiverReportIntervalMs);
  listener->SendReceiverReport();
  EXPECT_TRUE(listener_peer.Drain().empty());
}

}  // namespace
}  // namespace corvaneserver
