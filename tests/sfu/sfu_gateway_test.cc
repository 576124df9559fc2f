// The forwarding server under gateway control: a real SfuServer connects to a
// gateway played by the test on loopback TCP, registers, sends heartbeats on
// its timer, reconnects after a reset, and answers every request kind.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "base/tcp_test_peer.h"
#include "base/thread.h"
#include "base/time_utils.h"
#include "control/control_header.h"
#include "control/control_messages.h"
#include "sfu/sfu_server.h"

#include "support/test_util.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

using testpeer::Bytes;
using testpeer::PumpUntil;
using testpeer::TcpTestListener;

constexpr int kHeartbeatMs = 10000;

class SfuGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = rtc::Thread::Current();
    gateway_ = std::make_unique<TcpTestListener>(thread_);
    media_port_ = testutil::FreeUdpPort();
    config_ = dir_.File("sfu.conf");
    testutil::WriteFile(config_, "log_file_path = " + dir_.path() + "/\n" +
                                     "gateway_address = " + gateway_->address().ToString() +
                                     "\n"
                                     "packet_listen_bgp_eth = 127.0.0.1\n"
                                     "packet_listen_rec_eth = 127.0.0.2\n"
                                     "packet_listen_port = " +
                                     std::to_string(media_port_) + "\n");
    server_ = std::make_unique<SfuServer>();
    ASSERT_TRUE(server_->Init(config_));
    ASSERT_TRUE(PumpUntil(thread_, [&] { return Messages(0).size() >= 2; }));
  }

  void TearDown() override {
    server_->Exit();
    server_.reset();
    thread_->ProcessMessages(0);
  }

  std::vector<Bytes> Messages(size_t connection) {
    if (gateway_->accepted() <= connection) return {};
    return gateway_->connection(connection).messages();
  }

  // Sends a request on the first connection and returns the next message the
  // server sends back there (empty when nothing came within a short while).
  Bytes Request(uint16_t id, uint32_t session, const PbObj& body) {
    const size_t before = Messages(0).size();
    gateway_->connection(0).Write(BuildControlMessage(id, session, body));
    if (!PumpUntil(
            thread_, [&] { return Messages(0).size() > before; }, std::chrono::milliseconds(300))) {
      return {};
    }
    return Messages(0)[before];
  }

  static uint16_t ResultOf(const Bytes& response) {
    EXPECT_EQ(response.size(), 10u);
    EXPECT_EQ(response[3], 2);
    return response.size() == 10 ? rtc::GetBE16(response.data() + 8) : 0;
  }
  static uint32_t SessionOf(const Bytes& response) { return rtc::GetBE32(response.data() + 4); }

  testutil::TempDir dir_;
  rtc::ScopedFakeClock clock_;
  testutil::LogCapture log_;
  rtc::Thread* thread_ = nullptr;
  std::unique_ptr<TcpTestListener> gateway_;
  int media_port_ = 0;
  std::string config_;
  std::unique_ptr<SfuServer> server_;
};

TEST_F(SfuGatewayTest, RegistersThenSendsAHeartbeatAtOnceAndEveryTenSeconds) {
  const std::vector<Bytes> first = Messages(0);
  ASSERT_GE(first.size(), 2u);
  ControlHeader header;
  ASSERT_TRUE(ParseControlHeader(first[0].data(), first[0].size(), &header));
  EXPECT_EQ(header.message_id, kMsgIdRegister);
  EXPECT_EQ(header.kind, 0);
  EXPECT_EQ(header.session_id, 0u);
  RegisterReq reg;
  ASSERT_EQ(reg.Unmarshal(first[0].data() + 10, first[0].size() - 10), 0);
  EXPECT_EQ(reg.server_type, 1);
  EXPECT_EQ(reg.bgp_ip, "127.0.0.1");
  EXPECT_TRUE(reg.tel_ip.empty());
  EXPECT_EQ(reg.port, static_cast<uint32_t>(media_port_));
  EXPECT_EQ(log_.Count("send register message: bgp ip [127.0.0.1] tel ip [nil] port [" +
                       std::to_string(media_port_) + "]"),
            1u);
  const auto heartbeat = BuildHeartbeatNotify();
  EXPECT_EQ(first[1], Bytes(heartbeat.begin(), heartbeat.end()));

  // Nothing more until the heartbeat timer falls due.
  clock_.AdvanceTime(kHeartbeatMs - 1);
  thread_->ProcessMessages(20);
  EXPECT_EQ(Messages(0).size(), 2u);
  for (int pass = 1; pass <= 3; ++pass) {
    clock_.AdvanceTime(pass == 1 ? 1 : kHeartbeatMs);
    ASSERT_TRUE(PumpUntil(thread_, [&] { return Messages(0).size() == 2u + pass; }));
    EXPECT_EQ(Messages(0).back(), Bytes(heartbeat.begin(), heartbeat.end()));
  }
}

TEST_F(SfuGatewayTest, ResetIsLoggedAndTheNextPassReconnectsAndRegistersAgain) {
  gateway_->connection(0).Reset();
  ASSERT_TRUE(PumpUntil(thread_, [&] { return log_.Count("] disconnect") == 1; }));
  EXPECT_EQ(log_.Count("gateway [" + gateway_->address().ToString() + "] disconnect"), 1u);
  EXPECT_EQ(gateway_->accepted(), 1u);

  clock_.AdvanceTime(kHeartbeatMs);
  ASSERT_TRUE(PumpUntil(thread_, [&] { return Messages(1).size() >= 2; }));
  ControlHeader header;
  ASSERT_TRUE(ParseControlHeader(Messages(1)[0].data(), Messages(1)[0].size(), &header));
  EXPECT_EQ(header.message_id, kMsgIdRegister);
  EXPECT_EQ(log_.Count(" connect successed"), 2u);
}

TEST_F(SfuGatewayTest, JoinAnswersWithTheSessionAndTheResult) {
  JoinRoomReq join;
  join.room_id = 10;
  join.user_id = 100;
  join.user_type = 2;
  join.token = "tok-100";
  Bytes response = Request(kMsgIdJoinRoom, 0x01020304, join);
  ASSERT_FALSE(response.empty());
  EXPECT_EQ(SessionOf(response), 0x01020304u);
  EXPECT_EQ(ResultOf(response), 0);

  join.token.clear();
  join.user_id = 101;
  response = Request(kMsgIdJoinRoom, 7, join);
  ASSERT_FALSE(response.empty());
  EXPECT_EQ(ResultOf(response), 0xFFFF);

  // The first join made a member; muting it works, muting an unknown one does not.
  MuteSpeakerReq mute;
  mute.room_id = 10;
  mute.user_id = 100;
  EXPECT_EQ(ResultOf(Request(kMsgIdMuteSpeaker, 8, mute)), 0);
  mute.user_id = 101;
  EXPECT_EQ(ResultOf(Request(kMsgIdMuteSpeaker, 9, mute)), 0xFFFF);
}

TEST_F(SfuGatewayTest, EveryRequestKindIsCarriedOut) {
  CreateRoomReq create;
  create.room_id = 20;
  for (uint64_t id : {201, 202, 203}) {
    auto user = std::make_unique<CreateRoomReq_User>();
    user->user_id = id;
    user->user_type = id == 201 ? 2 : 1;
    user->token = "t" + std::to_string(id);
    create.users.push_back(std::move(user));
  }
  EXPECT_EQ(ResultOf(Request(kMsgIdCreateRoom, 1, create)), 0);

  AllowSpeakerReq allow;
  allow.room_id = 20;
  allow.user_id = 202;
  allow.allow = true;
  EXPECT_EQ(ResultOf(Request(kMsgIdAllowSpeaker, 2, allow)), 0);
  allow.user_id = 999;
  EXPECT_EQ(ResultOf(Request(kMsgIdAllowSpeaker, 3, allow)), 0xFFFF);

  AddCascadeReq cascade;
  cascade.room_id = 20;
  cascade.user_id = 900;
  cascade.address = "127.0.0.1:" + std::to_string(testutil::FreeUdpPort());
  EXPECT_EQ(ResultOf(Request(kMsgIdAddCascade, 4, cascade)), 0);
  cascade.address = "not an address";
  EXPECT_EQ(ResultOf(Request(kMsgIdAddCascade, 5, cascade)), 0xFFFF);

  QuitRoomReq quit;
  quit.room_id = 20;
  quit.user_id = 203;
  EXPECT_EQ(ResultOf(Request(kMsgIdQuitRoom, 6, quit)), 0);
  // Gone: a mute of the quitter finds nobody.
  MuteSpeakerReq mute;
  mute.room_id = 20;
  mute.user_id = 203;
  EXPECT_EQ(ResultOf(Request(kMsgIdMuteSpeaker, 7, mute)), 0xFFFF);

  CloseRoomReq close;
  close.room_id = 20;
  EXPECT_EQ(ResultOf(Request(kMsgIdCloseRoom, 8, close)), 0);
  mute.user_id = 201;
  EXPECT_EQ(ResultOf(Request(kMsgIdMuteSpeaker, 9, mute)), 0xFFFF);
}

TEST_F(SfuGatewayTest, AddRecorderHeartbeatAndUnlistedIds) {
  AddRecorderReq recorder;
  recorder.room_id = 1;
  recorder.user_id = 2;
  recorder.unique_id = 3;
  recorder.token = "r";
  EXPECT_EQ(ResultOf(Request(kMsgIdAddRecorder, 11, recorder)), 0xFFFF);
  EXPECT_EQ(log_.Count("received add recorder message from "), 1u);
  EXPECT_EQ(log_.Count("add recorder failed, as this is not a rec-server"), 1u);

  CloseRoomReq empty;
  EXPECT_TRUE(Request(kMsgIdHeartbeat, 12, empty).empty());
  EXPECT_TRUE(Request(12009, 13, empty).empty());
  EXPECT_EQ(log_.Count("message [12009] is out of handle", rtc::LS_ERROR), 1u);

  // The link is still up and answering.
  JoinRoomReq join;
  join.room_id = 1;
  join.user_id = 5;
  join.user_type = 1;
  join.token = "x";
  EXPECT_EQ(ResultOf(Request(kMsgIdJoinRoom, 14, join)), 0);
}

TEST_F(SfuGatewayTest, TwoRequestsInOneWriteAreBothAnswered) {
  JoinRoomReq a;
  a.room_id = 1;
  a.user_id = 1;
  a.user_type = 2;
  a.token = "a";
  JoinRoomReq b = a;
  b.user_id = 2;
  Bytes both = BuildControlMessage(kMsgIdJoinRoom, 21, a);
  const Bytes second = BuildControlMessage(kMsgIdJoinRoom, 22, b);
  both.insert(both.end(), second.begin(), second.end());
  const size_t before = Messages(0).size();
  gateway_->connection(0).Write(both);
  ASSERT_TRUE(PumpUntil(thread_, [&] { return Messages(0).size() == before + 2; }));
  EXPECT_EQ(SessionOf(Messages(0)[before]), 21u);
  EXPECT_EQ(SessionOf(Messages(0)[before + 1]), 22u);
}

TEST(SfuGatewayTwoGatewaysTest, EveryGatewayGetsItsOwnRegistration) {
  testutil::TempDir dir;
  rtc::ScopedFakeClock clock;
  rtc::Thread* thread = rtc::Thread::Current();
  TcpTestListener one(thread);
  TcpTestListener two(thread);
  const std::string config = dir.File("sfu.conf");
  testutil::WriteFile(
      config, "log_file_path = " + dir.path() + "/\ngateway_address = " + one.address().ToString() +
                  "|" + two.address().ToString() + "\npacket_listen_tel_eth = 127.0.0.1\n");
  auto server = std::make_unique<SfuServer>();
  ASSERT_TRUE(server->Init(config));
  ASSERT_TRUE(PumpUntil(thread, [&] {
    return one.accepted() == 1 && two.accepted() == 1 && one.connection(0).messages().size() >= 2 &&
           two.connection(0).messages().size() >= 2;
  }));
  RegisterReq reg;
  const Bytes frame = two.connection(0).messages()[0];
  ASSERT_EQ(reg.Unmarshal(frame.data() + 10, frame.size() - 10), 0);
  EXPECT_EQ(reg.tel_ip, "127.0.0.1");
  EXPECT_TRUE(reg.bgp_ip.empty());
  EXPECT_EQ(reg.port, 0u);
  server->Exit();
  server.reset();
  thread->ProcessMessages(0);
}

TEST(SfuGatewayDownTest, GatewayThatComesUpLaterIsReachedAtTheNextPass) {
  testutil::TempDir dir;
  rtc::ScopedFakeClock clock;
  rtc::Thread* thread = rtc::Thread::Current();
  const int port = testutil::FreeTcpPort();
  const std::string config = dir.File("sfu.conf");
  testutil::WriteFile(config, "log_file_path = " + dir.path() +
                                  "/\ngateway_address = 127.0.0.1:" + std::to_string(port) + "\n");
  auto server = std::make_unique<SfuServer>();
  ASSERT_TRUE(server->Init(config));
  // Let the refused attempt come back.
  const auto& connections = server->gateway_connector()->connections();
  ASSERT_TRUE(PumpUntil(
      thread, [&] { return connections.size() == 1 && connections.begin()->second == nullptr; }));

  TcpTestListener gateway(thread, static_cast<uint16_t>(port));
  clock.AdvanceTime(kHeartbeatMs);
  ASSERT_TRUE(PumpUntil(thread, [&] {
    return gateway.accepted() == 1 && gateway.connection(0).messages().size() >= 2;
  }));
  ControlHeader header;
  const Bytes first = gateway.connection(0).messages()[0];
  ASSERT_TRUE(ParseControlHeader(first.data(), first.size(), &header));
  EXPECT_EQ(header.message_id, kMsgIdRegister);
  server->Exit();
  server.reset();
  thread->ProcessMessages(0);
}

}  // namespace
}  // namespace corvaneserver
