// The 10-byte control header and the frames the server builds.
#include "control/control_header.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/control_messages.h"

namespace corvaneserver {
namespace {

using Bytes = std::vector<uint8_t>;

template <class Array>
Bytes ToBytes(const Array& a) {
  return Bytes(a.begin(), a.end());
}

TEST(ControlHeaderTest, MessageIds) {
  EXPECT_EQ(kMsgIdRegister, 12000);
  EXPECT_EQ(kMsgIdHeartbeat, 12001);
  EXPECT_EQ(kMsgIdJoinRoom, 12002);
  EXPECT_EQ(kMsgIdQuitRoom, 12003);
  EXPECT_EQ(kMsgIdAllowSpeaker, 12004);
  EXPECT_EQ(kMsgIdMuteSpeaker, 12005);
  EXPECT_EQ(kMsgIdCreateRoom, 12007);
  EXPECT_EQ(kMsgIdAddCascade, 12008);
  EXPECT_EQ(kMsgIdAddRecorder, 12010);
}

TEST(ControlHeaderTest, RegistrationOfTheForwardingServer) {
  RegisterReq req;
  req.server_type = 1;
  req.bgp_ip = "10.1.2.3";
  req.port = 9000;
  const Bytes expected = {0x00, 0x00, 0x19, 0x00, 0x2E, 0xE0, 0x00, 0x00, 0x00,
                          0x00, 0x08, 0x01, 0x1A, 0x08, '1',  '0',  '.',  '1',
                          '.',  '2',  '.',  '3',  0x20, 0xA8, 0x46};
  EXPECT_EQ(BuildRegisterMessage(req), expected);
}

TEST(ControlHeaderTest, RegistrationWithEveryField) {
  RegisterReq req;
  req.server_type = 3;
  req.tel_ip = "1.2.3.4";
  req.bgp_ip = "5.6.7.8";
  req.port = 1;
  const Bytes expected = {0x00, 0x00, 0x20, 0x00, 0x2E, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x08,
                          0x03, 0x12, 0x07, '1',  '.',  '2',  '.',  '3',  '.',  '4',  0x1A,
                          0x07, '5',  '.',  '6',  '.',  '7',  '.',  '8',  0x20, 0x01};
  ASSERT_EQ(expected.size(), 0x20u);
  EXPECT_EQ(BuildRegisterMessage(req), expected);
}

TEST(ControlHeaderTest, HeartbeatNotify) {
  EXPECT_EQ(ToBytes(BuildHeartbeatNotify()),
            (Bytes{0x00, 0x00, 0x0A, 0x00, 0x2E, 0xE1, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ControlHeaderTest, ResponseFrames) {
  EXPECT_EQ(ToBytes(BuildResponseFrame(0x01020304, -1)),
            (Bytes{0x00, 0x00, 0x0A, 0x02, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF}));
  EXPECT_EQ(ToBytes(BuildResponseFrame(0xFFFFFFFFu, 0)),
            (Bytes{0x00, 0x00, 0x0A, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ(ToBytes(BuildResponseFrame(7, 3)),
            (Bytes{0x00, 0x00, 0x0A, 0x02, 0x00, 0x00, 0x00, 0x07, 0x00, 0x03}));
  EXPECT_EQ(ToBytes(BuildResponseFrame(7, 0x12345)),
            (Bytes{0x00, 0x00, 0x0A, 0x02, 0x00, 0x00, 0x00, 0x07, 0x23, 0x45}));
  EXPECT_EQ(ToBytes(BuildResponseFrame(7, -2)),
            (Bytes{0x00, 0x00, 0x0A, 0x02, 0x00, 0x00, 0x00, 0x07, 0xFF, 0xFE}));
}

TEST(ControlHeaderTest, ResponseFramesReadBack) {
  ControlResponse response;
  const auto failed = BuildResponseFrame(0x01020304, -1);
  ASSERT_TRUE(ParseResponseFrame(failed.data(), failed.size(), &response));
  EXPECT_EQ(response.session_id, 0x01020304u);
  EXPECT_EQ(response.result, -1);
  const auto done = BuildResponseFrame(7, 3);
  ASSERT_TRUE(ParseResponseFrame(done.data(), done.size(), &response));
  EXPECT_EQ(response.session_id, 7u);
  EXPECT_EQ(response.result, 3);

  // Only a 10-byte frame of the response kind is one.
  EXPECT_FALSE(ParseResponseFrame(done.data(), done.size() - 1, &response));
  const auto heartbeat = BuildHeartbeatNotify();
  EXPECT_FALSE(ParseResponseFrame(heartbeat.data(), heartbeat.size(), &response));
  EXPECT_EQ(response.session_id, 7u) << "untouched when false";
}

TEST(ControlHeaderTest, ControlMessageWithSessionId) {
  JoinRoomReq req;
  req.room_id = 1;
  req.token = "x";
  const Bytes expected = {0x00, 0x00, 0x0F, 0x00, 0x2E, 0xE2, 0xDE, 0xAD,
                          0xBE, 0xEF, 0x08, 0x01, 0x22, 0x01, 'x'};
  EXPECT_EQ(BuildControlMessage(kMsgIdJoinRoom, 0xDEADBEEF, req), expected);
}

TEST(ControlHeaderTest, ControlMessageTooLongForTheLengthFieldIsNotBuilt) {
  AddCascadeReq req;
  req.address.assign(0xFFFFFF, 'a');
  EXPECT_TRUE(BuildControlMessage(kMsgIdAddCascade, 1, req).empty());
  req.address.resize(0xFFFFFF - 10 - 5);  // key, 4-byte length: exactly 0xFFFFFF in all
  const Bytes message = BuildControlMessage(kMsgIdAddCascade, 1, req);
  ASSERT_EQ(message.size(), 0xFFFFFFu);
  EXPECT_EQ(message[0], 0xFF);
  EXPECT_EQ(message[1], 0xFF);
  EXPECT_EQ(message[2], 0xFF);
}

TEST(ControlHeaderTest, ParsesAReceivedHeader) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x07, 0x2E, 0xE7, 0x0A, 0x0B, 0x0C, 0x0D, 0x99};
  ControlHeader header;
  ASSERT_TRUE(ParseControlHeader(bytes.data(), bytes.size(), &header));
  EXPECT_EQ(header.length, 0x010203u);
  EXPECT_EQ(header.kind, 7);
  EXPECT_EQ(header.message_id, kMsgIdCreateRoom);
  EXPECT_EQ(header.session_id, 0x0A0B0C0Du);
  size_t body_size = 0;
  const uint8_t* body = ControlBody(bytes.data(), bytes.size(), &body_size);
  EXPECT_EQ(body, bytes.data() + 10);
  EXPECT_EQ(body_size, 1u);
}

TEST(ControlHeaderTest, ShortMessagesHaveNoHeaderAndNoBody) {
  const Bytes full = {0x00, 0x00, 0x0A, 0x00, 0x2E, 0xE1, 0x00, 0x00, 0x00, 0x01};
  for (size_t size = 0; size < full.size(); ++size) {
    const Bytes cut(full.begin(), full.begin() + static_cast<long>(size));
    ControlHeader header;
    header.message_id = 42;
    EXPECT_FALSE(ParseControlHeader(cut.data(), cut.size(), &header)) << size;
    EXPECT_EQ(header.message_id, 42);
    size_t body_size = 99;
    EXPECT_EQ(ControlBody(cut.data(), cut.size(), &body_size), nullptr);
    EXPECT_EQ(body_size, 0u);
  }
  size_t body_size = 99;
  EXPECT_EQ(ControlBody(full.data(), full.size(), &body_size), nullptr);
  EXPECT_EQ(body_size, 0u);
  ControlHeader header;
  ASSERT_TRUE(ParseControlHeader(full.data(), full.size(), &header));
  EXPECT_EQ(header.message_id, kMsgIdHeartbeat);
  EXPECT_EQ(header.session_id, 1u);
}

TEST(ControlHeaderTest, BuiltRequestParsesBack) {
  MuteSpeakerReq req;
  req.room_id = 77;
  req.user_id = 88;
  req.unmuted = true;
  const Bytes message = BuildControlMessage(kMsgIdMuteSpeaker, 0x55AA, req);
  ControlHeader header;
  ASSERT_TRUE(ParseControlHeader(message.data(), message.size(), &header));
  EXPECT_EQ(header.length, message.size());
  EXPECT_EQ(header.kind, kControlKindRequest);
  EXPECT_EQ(header.message_id, kMsgIdMuteSpeaker);
  EXPECT_EQ(header.session_id, 0x55AAu);
  size_t body_size = 0;
  const uint8_t* body = ControlBody(message.data(), message.size(), &body_size);
  MuteSpeakerReq back;
  ASSERT_EQ(back.Unmarshal(body, body_size), kPbOk);
  EXPECT_EQ(back.room_id, 77u);
  EXPECT_EQ(back.user_id, 88u);
  EXPECT_TRUE(back.unmuted);
}

}  // namespace
}  // namespace corvaneserver
