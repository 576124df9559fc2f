#include "gateway/request_builder.h"

#include <gtest/gtest.h>

#include "control/control_messages.h"

namespace corvanetools {
namespace {

std::vector<Request> Build(const std::string& line) {
  Command command;
  std::string error;
  EXPECT_TRUE(ParseCommand(line, &command, &error)) << error;
  std::vector<Request> requests;
  EXPECT_TRUE(BuildRequests(command, &requests, &error)) << error;
  return requests;
}

using Bytes = std::vector<uint8_t>;

TEST(RequestBuilderTest, JoinFrameByteForByte) {
  const std::vector<Request> requests = Build("join 1 2 speaker abc");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].message_id, 12002);
  EXPECT_EQ(requests[0].body,
            (Bytes{0x08, 0x01, 0x10, 0x02, 0x18, 0x02, 0x22, 0x03, 'a', 'b', 'c'}));
  EXPECT_EQ(FrameRequest(requests[0], 0x01020304),
            (Bytes{0x00, 0x00, 0x15, 0x00, 0x2E, 0xE2, 0x01, 0x02, 0x03, 0x04, 0x08,
                   0x01, 0x10, 0x02, 0x18, 0x02, 0x22, 0x03, 'a',  'b',  'c'}));
}

TEST(RequestBuilderTest, MutedJoinAddsAMuteRequest) {
  const std::vector<Request> requests = Build("join 4 5 muted t");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].message_id, 12002);
  EXPECT_EQ(requests[0].body[5], 0x02);  // joined as a speaker
  EXPECT_EQ(requests[1].message_id, 12005);
  EXPECT_EQ(requests[1].body, (Bytes{0x08, 0x04, 0x10, 0x05}));  // unmuted false: absent
}

TEST(RequestBuilderTest, CreateRoomBodies) {
  std::vector<Request> requests = Build("create-room 7 9:0:-");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].message_id, 12007);
  EXPECT_EQ(requests[0].body, (Bytes{0x08, 0x07, 0x12, 0x02, 0x08, 0x09}));

  requests = Build("create-room 7 1:speaker:a 2:muted:b");
  ASSERT_EQ(requests.size(), 2u);
  corvaneserver::CreateRoomReq decoded;
  ASSERT_EQ(decoded.Unmarshal(requests[0].body.data(), requests[0].body.size()), 0);
  EXPECT_EQ(decoded.room_id, 7u);
  ASSERT_EQ(decoded.users.size(), 2u);
  EXPECT_EQ(decoded.users[1]->user_id, 2u);
  EXPECT_EQ(decoded.users[1]->user_type, 2);
  EXPECT_EQ(decoded.users[1]->token, "b");
  EXPECT_EQ(requests[1].message_id, 12005);
}

TEST(RequestBuilderTest, AllowDenyMuteUnmute) {
  EXPECT_EQ(Build("allow 1 2")[0].body, (Bytes{0x08, 0x01, 0x10, 0x02, 0x18, 0x01}));
  EXPECT_EQ(Build("deny 1 2")[0].body, (Bytes{0x08, 0x01, 0x10, 0x02}));
  EXPECT_EQ(Build("allow 1 2")[0].message_id, 12004);
  EXPECT_EQ(Build("unmute 1 2")[0].body, (Bytes{0x08, 0x01, 0x10, 0x02, 0x18, 0x01}));
  EXPECT_EQ(Build("mute 1 2")[0].body, (Bytes{0x08, 0x01, 0x10, 0x02}));
  EXPECT_EQ(Build("mute 1 2")[0].message_id, 12005);
  EXPECT_EQ(Build("quit-room 1 2")[0].message_id, 12003);
}

TEST(RequestBuilderTest, CascadeRecorderAndCloseRoom) {
  const Request cascade = Build("add-cascade 3 4 1.2.3.4:5")[0];
  EXPECT_EQ(cascade.message_id, 12008);
  corvaneserver::AddCascadeReq decoded;
  ASSERT_EQ(decoded.Unmarshal(cascade.body.data(), cascade.body.size()), 0);
  EXPECT_EQ(decoded.room_id, 3u);
  EXPECT_EQ(decoded.user_id, 4u);
  EXPECT_EQ(decoded.address, "1.2.3.4:5");

  const Request recorder = Build("add-recorder 1 2 3 t")[0];
  EXPECT_EQ(recorder.message_id, 12010);
  EXPECT_EQ(recorder.body, (Bytes{0x08, 0x01, 0x10, 0x02, 0x18, 0x03, 0x22, 0x01, 't'}));

  const Request close = Build("close-room 9")[0];
  EXPECT_EQ(close.message_id, kCloseRoomMessageId);
  EXPECT_EQ(close.message_id, 12011);
  EXPECT_EQ(close.body, (Bytes{0x08, 0x09}));
  EXPECT_EQ(FrameRequest(close, 1),
            (Bytes{0x00, 0x00, 0x0C, 0x00, 0x2E, 0xEB, 0, 0, 0, 1, 0x08, 0x09}));
}

TEST(RequestBuilderTest, TargetAndExpectationTravelWithTheRequest) {
  const std::vector<Request> requests = Build("@2 join 1 2 muted t expect=0");
  ASSERT_EQ(requests.size(), 2u);
  for (const Request& request : requests) {
    EXPECT_EQ(request.target, "2");
    EXPECT_TRUE(request.has_expect);
    EXPECT_EQ(request.expect, 0);
  }
}

TEST(RequestBuilderTest, CommandsWithoutRequestsAreRefused) {
  Command command;
  std::string error;
  ASSERT_TRUE(ParseCommand("sleep 5", &command, &error));
  std::vector<Request> requests;
  EXPECT_FALSE(BuildRequests(command, &requests, &error));
  EXPECT_TRUE(requests.empty());
}

TEST(RequestBuilderTest, RosterGroupsRoomsByServer) {
  Roster roster;
  std::string error;
  ASSERT_TRUE(
      ParseRoster("room 1 user 10 speaker a\n"
                  "room 1 user 11 muted b\n"
                  "room 2 user 20 listener c\n"
                  "room 1 user 12 speaker d server=127.0.0.2:8000\n"
                  "room 1 user 13 listener e\n"
                  "cascade 1 id 900 address 127.0.0.3:8000 server=127.0.0.2:8000\n",
                  &roster, &error))
      << error;
  std::vector<Request> requests;
  BuildRosterRequests(roster, "", &requests);
  ASSERT_EQ(requests.size(), 5u);
  // Room 1 on the default server, with its muted member muted right after.
  EXPECT_EQ(requests[0].message_id, 12007);
  EXPECT_EQ(requests[0].target, "");
  corvaneserver::CreateRoomReq room1;
  ASSERT_EQ(room1.Unmarshal(requests[0].body.data(), requests[0].body.size()), 0);
  ASSERT_EQ(room1.users.size(), 3u);
  EXPECT_EQ(room1.users[0]->user_id, 10u);
  EXPECT_EQ(room1.users[1]->user_id, 11u);
  EXPECT_EQ(room1.users[2]->user_id, 13u);
  EXPECT_EQ(requests[1].message_id, 12005);
  // Room 2, then room 1's member on the second server, then the cascade.
  EXPECT_EQ(requests[2].message_id, 12007);
  EXPECT_EQ(requests[3].message_id, 12007);
  EXPECT_EQ(requests[3].target, "127.0.0.2:8000");
  EXPECT_EQ(requests[4].message_id, 12008);
  EXPECT_EQ(requests[4].target, "127.0.0.2:8000");
}

}  // namespace
}  // namespace corvanetools
