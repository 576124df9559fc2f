// Control messages from the gateway reach the room operations and are answered
// with the request's session id and the operation's result.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/async_packet_socket.h"
#include "base/byte_io.h"
#include "base/logging.h"
#include "control/control_header.h"
#include "control/control_messages.h"
#include "service/fake_server.h"
#include "service/service.h"

#include "support/log_capture.h"
#include "support/test_util.h"

namespace corvaneserver {
namespace {

// Records what the service sends on the link.
class RecordingSocket : public rtc::AsyncPacketSocket {
 public:
  rtc::SocketAddress GetLocalAddress() const override { return {}; }
  rtc::SocketAddress GetRemoteAddress() const override { return {}; }
  int Send(const void* data, size_t size, const rtc::PacketOptions&) override {
    const auto* bytes = static_cast<const uint8_t*>(data);
    sent.emplace_back(bytes, bytes + size);
    return static_cast<int>(size);
  }
  int Close() override { return 0; }
  State GetState() const override { return STATE_CONNECTED; }
  int GetError() const override { return 0; }

  std::vector<std::vector<uint8_t>> sent;
};

class ServiceControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rtc::LogMessage::SetLogToStderr(false);
    const std::string conf = dir_.File("s.conf");
    testutil::WriteFile(conf,
                        "log_file_path = /tmp/\n"
                        "packet_listen_bgp_eth = 127.0.0.1\n"
                        "packet_listen_port = 8000\n");
    server_ = std::make_unique<FakeServer>(conf);
    ASSERT_TRUE(gateway_.FromString("127.0.0.1:9000"));
  }
  void Deliver(uint16_t id, uint32_t session, const PbObj& body) {
    const std::vector<uint8_t> frame = BuildControlMessage(id, session, body);
    ASSERT_FALSE(frame.empty());
    server_->HandleMessage(&socket_, frame.data(), frame.size(), gateway_);
  }
  // The one response sent, checked for its fixed bytes; returns its result field.
  uint16_t OnlyResponse(uint32_t session) {
    EXPECT_EQ(socket_.sent.size(), 1u);
    if (socket_.sent.size() != 1) return 0;
    const std::vector<uint8_t>& r = socket_.sent[0];
    EXPECT_EQ(r.size(), 10u);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(r[2], 10);
    EXPECT_EQ(r[3], 2);
    EXPECT_EQ(rtc::GetBE32(r.data() + 4), session);
    return rtc::GetBE16(r.data() + 8);
  }

  testutil::TempDir dir_;
  testutil::LogCapture sink_;
  RecordingSocket socket_;
  rtc::SocketAddress gateway_;
  std::unique_ptr<FakeServer> server_;
};

TEST_F(ServiceControlTest, JoinCallsJoinRoomAndEchoesSession) {
  JoinRoomReq req;
  req.room_id = 77;
  req.user_id = 1001;
  req.user_type = 2;
  req.token = "tok";
  Deliver(kMsgIdJoinRoom, 0xDEADBEEF, req);
  ASSERT_EQ(server_->calls.size(), 1u);
  EXPECT_EQ(server_->calls[0].op, "join");
  EXPECT_EQ(server_->calls[0].room, 77u);
  EXPECT_EQ(server_->calls[0].user, 1001u);
  EXPECT_EQ(server_->calls[0].type, 2u);
  EXPECT_EQ(server_->calls[0].text, "tok");
  EXPECT_EQ(OnlyResponse(0xDEADBEEF), 0);
  EXPECT_TRUE(
      sink_.Contains("received join room message from 127.0.0.1:9000, room id [77], user id "
                     "[1001], type [speaker], token [tok]"));
}

TEST_F(ServiceControlTest, JoinWithEmptyTokenIsRefusedWithoutTouchingTheServer) {
  JoinRoomReq req;
  req.room_id = 1;
  req.user_id = 2;
  req.user_type = 1;
  Deliver(kMsgIdJoinRoom, 5, req);
  EXPECT_TRUE(server_->calls.empty());
  EXPECT_EQ(OnlyResponse(5), 0xFFFF);
}

TEST_F(ServiceControlTest, CreateRoomOrsTheResultsOfEveryJoin) {
  server_->join_results = {{11, 1}, {12, 2}};
  CreateRoomReq req;
  req.room_id = 9;
  for (uint64_t id : {10, 11, 12}) {
    auto user = std::make_unique<CreateRoomReq_User>();
    user->user_id = id;
    user->user_type = 1;
    user->token = "t" + std::to_string(id);
    req.users.push_back(std::move(user));
  }
  Deliver(kMsgIdCreateRoom, 42, req);
  ASSERT_EQ(server_->calls.size(), 3u);
  EXPECT_EQ(server_->calls[2].user, 12u);
  EXPECT_EQ(OnlyResponse(42), 3);
  EXPECT_TRUE(
      sink_.Contains("received create room message from 127.0.0.1:9000, room id 9, user id 11, "
                     "type listener, token t11"));
}

TEST_F(ServiceControlTest, CreateRoomWithoutUsersAnswersZero) {
  CreateRoomReq req;
  req.room_id = 9;
  Deliver(kMsgIdCreateRoom, 1, req);
  EXPECT_TRUE(server_->calls.empty());
  EXPECT_EQ(OnlyResponse(1), 0);
}

TEST_F(ServiceControlTest, CreateRoomRefusesAnEntryWithoutTokenButJoinsTheOthers) {
  CreateRoomReq req;
  req.room_id = 3;
  for (const char* token : {"a", "", "c"}) {
    auto user = std::make_unique<CreateRoomReq_User>();
    user->user_id = req.users.size() + 1;
    user->user_type = 2;
    user->token = token;
    req.users.push_back(std::move(user));
  }
  Deliver(kMsgIdCreateRoom, 8, req);
  ASSERT_EQ(server_->calls.size(), 2u);
  EXPECT_EQ(server_->calls[0].user, 1u);
  EXPECT_EQ(server_->calls[1].user, 3u);
  EXPECT_NE(OnlyResponse(8), 0);
}

TEST_F(ServiceControlTest, QuitAllowMuteCascadeAndCloseReachTheirOperations) {
  QuitRoomReq quit;
  quit.room_id = 1;
  quit.user_id = 2;
  Deliver(kMsgIdQuitRoom, 100, quit);
  EXPECT_EQ(OnlyResponse(100), 0xFFFF);
  EXPECT_TRUE(
      sink_.Contains("received quit room message from 127.0.0.1:9000, room id [1] user id [2]"));
  socket_.sent.clear();

  AllowSpeakerReq allow;
  allow.room_id = 1;
  allow.user_id = 2;
  allow.allow = true;
  Deliver(kMsgIdAllowSpeaker, 101, allow);
  EXPECT_EQ(OnlyResponse(101), 0);
  EXPECT_TRUE(sink_.Contains("room id [1] user id [2] opeartor speaker"));
  socket_.sent.clear();

  MuteSpeakerReq mute;
  mute.room_id = 1;
  mute.user_id = 2;
  mute.unmuted = false;
  Deliver(kMsgIdMuteSpeaker, 102, mute);
  EXPECT_EQ(OnlyResponse(102), 0);
  EXPECT_TRUE(
      sink_.Contains("received mute speaker message from 127.0.0.1:9000, room id [1] user id "
                     "[2] opeartor muted"));
  socket_.sent.clear();

  AddCascadeReq cascade;
  cascade.room_id = 1;
  cascade.user_id = 900;
  cascade.address = "127.0.0.9:8000";
  Deliver(kMsgIdAddCascade, 103, cascade);
  EXPECT_EQ(OnlyResponse(103), 0);
  EXPECT_TRUE(sink_.Contains("user id [900] address [127.0.0.9:8000]"));
  socket_.sent.clear();

  CloseRoomReq close;
  close.room_id = 1;
  Deliver(kMsgIdCloseRoom, 104, close);
  EXPECT_EQ(OnlyResponse(104), 0);
  EXPECT_TRUE(sink_.Contains("received close room message from 127.0.0.1:9000, room id [1]"));

  ASSERT_EQ(server_->calls.size(), 5u);
  EXPECT_EQ(server_->calls[1].op, "allow");
  EXPECT_TRUE(server_->calls[1].flag);
  EXPECT_EQ(server_->calls[2].op, "mute");
  EXPECT_FALSE(server_->calls[2].flag);
  EXPECT_EQ(server_->calls[3].text, "127.0.0.9:8000");
  EXPECT_EQ(server_->calls[4].op, "remove");
}

TEST_F(ServiceControlTest, AddRecorderIsRefusedByEveryServerButARecServer) {
  AddRecorderReq req;
  req.room_id = 1;
  req.user_id = 2;
  req.unique_id = 3;
  req.token = "x";
  Deliver(kMsgIdAddRecorder, 7, req);
  EXPECT_TRUE(server_->calls.empty());
  EXPECT_EQ(OnlyResponse(7), 0xFFFF);
  EXPECT_TRUE(sink_.Contains("unique id [3] token is [x]"));
  EXPECT_TRUE(sink_.Contains("add recorder failed, as this is not a rec-server"));

  socket_.sent.clear();
  server_->server_type = 4;
  Deliver(kMsgIdAddRecorder, 8, req);
  ASSERT_EQ(server_->calls.size(), 1u);
  EXPECT_EQ(OnlyResponse(8), 0);
}

TEST_F(ServiceControlTest, UnlistedIdsAndHeartbeatsGetNoResponse) {
  CloseRoomReq body;
  Deliver(12009, 1, body);
  Deliver(12006, 1, body);
  Deliver(kMsgIdHeartbeat, 1, body);
  EXPECT_TRUE(socket_.sent.empty());
  EXPECT_TRUE(server_->calls.empty());
  EXPECT_TRUE(sink_.Contains("message [12009] is out of handle"));
  EXPECT_TRUE(sink_.Contains("message [12006] is out of handle"));
}

TEST_F(ServiceControlTest, FramesShorterThanTheHeaderAreDroppedWithAnError) {
  const uint8_t frame[10] = {0, 0, 10, 0, 0x2E, 0xE2, 0, 0, 0, 1};  // a join, no body
  for (size_t len = 0; len < 10; ++len) {
    // Copy so that a read past `len` would show up under the address sanitizer.
    std::vector<uint8_t> cut(frame, frame + len);
    server_->HandleMessage(&socket_, cut.data(), cut.size(), gateway_);
  }
  EXPECT_TRUE(socket_.sent.empty());
  EXPECT_TRUE(server_->calls.empty());
  EXPECT_TRUE(sink_.Contains("is too short"));
  // The complete header alone is a join with every field at its default: refused.
  server_->HandleMessage(&socket_, frame, sizeof(frame), gateway_);
  EXPECT_EQ(OnlyResponse(1), 0xFFFF);
}

TEST_F(ServiceControlTest, TruncatedBodyRunsWithTheFieldsDecodedSoFar) {
  JoinRoomReq req;
  req.room_id = 5;
  req.user_id = 6;
  req.user_type = 2;
  req.token = "secret";
  std::vector<uint8_t> frame = BuildControlMessage(kMsgIdJoinRoom, 9, req);
  frame.resize(frame.size() - 3);  // cut inside the token
  server_->HandleMessage(&socket_, frame.data(), frame.size(), gateway_);
  // The token did not decode, so the join is refused.
  EXPECT_TRUE(server_->calls.empty());
  EXPECT_EQ(OnlyResponse(9), 0xFFFF);
}

TEST_F(ServiceControlTest, RegisterMessageCarriesTypeAddressesAndPort) {
  server_->SendRegisterMessage(&socket_);
  ASSERT_EQ(socket_.sent.size(), 1u);
  const std::vector<uint8_t>& frame = socket_.sent[0];
  ControlHeader header;
  ASSERT_TRUE(ParseControlHeader(frame.data(), frame.size(), &header));
  EXPECT_EQ(header.length, frame.size());
  EXPECT_EQ(header.message_id, kMsgIdRegister);
  EXPECT_EQ(header.session_id, 0u);
  RegisterReq req;
  ASSERT_EQ(req.Unmarshal(frame.data() + 10, frame.size() - 10), 0);
  EXPECT_EQ(req.server_type, 1);
  EXPECT_EQ(req.bgp_ip, "127.0.0.1");
  EXPECT_EQ(req.tel_ip, "");
  EXPECT_EQ(req.port, 8000u);
  EXPECT_TRUE(sink_.Contains("send register message: bgp ip [127.0.0.1] tel ip [nil] port [8000]"));
  EXPECT_TRUE(sink_.Contains("configure eth [packet_listen_tel_eth]"));
}

TEST_F(ServiceControlTest, RegisterResponseIsLoggedOnly) {
  MessageRsp ok;
  Deliver(kMsgIdRegister, 0, ok);
  MessageRsp bad;
  bad.result = 3;
  Deliver(kMsgIdRegister, 0, bad);
  EXPECT_TRUE(socket_.sent.empty());
  EXPECT_TRUE(
      sink_.Contains("received register response from [127.0.0.1:9000] result is [successed]"));
  EXPECT_TRUE(
      sink_.Contains("received register response from [127.0.0.1:9000] result is [failed]"));
}

}  // namespace
}  // namespace corvaneserver
