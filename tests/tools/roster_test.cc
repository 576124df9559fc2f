#include "client/roster.h"

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace corvanetools {
namespace {

TEST(RosterTest, ParsesUserLineWithOptions) {
  Roster roster;
  std::string error;
  ASSERT_TRUE(ParseRoster(
      "# a comment\n"
      "\n"
      "room 7 user 42 muted secret server=127.0.0.1:8000 start=250 auth=wrong  # trailing\n",
      &roster, &error))
      << error;
  ASSERT_EQ(roster.users.size(), 1u);
  const RosterUser& user = roster.users[0];
  EXPECT_EQ(user.room_id, 7u);
  EXPECT_EQ(user.user_id, 42u);
  EXPECT_EQ(user.role, Role::kMuted);
  EXPECT_EQ(user.token, "secret");
  EXPECT_EQ(user.server.ToString(), "127.0.0.1:8000");
  EXPECT_EQ(user.start_ms, 250);
  EXPECT_EQ(user.auth, AuthMode::kWrong);
}

TEST(RosterTest, ParsesCascadeLine) {
  Roster roster;
  std::string error;
  ASSERT_TRUE(ParseRoster("cascade 7 id 9001 address 127.0.0.1:8100 server=127.0.0.1:8000\n",
                          &roster, &error))
      << error;
  ASSERT_EQ(roster.cascades.size(), 1u);
  EXPECT_EQ(roster.cascades[0].room_id, 7u);
  EXPECT_EQ(roster.cascades[0].cascade_id, 9001u);
  EXPECT_EQ(roster.cascades[0].address.ToString(), "127.0.0.1:8100");
  EXPECT_EQ(roster.cascades[0].server.ToString(), "127.0.0.1:8000");
  EXPECT_EQ(roster.RoomIds(), std::vector<uint64_t>{7});
}

TEST(RosterTest, DefaultsWithoutOptions) {
  Roster roster;
  std::string error;
  ASSERT_TRUE(ParseRosterLine("room 1 user 2 speaker t", &roster, &error)) << error;
  EXPECT_TRUE(roster.users[0].server.IsNil());
  EXPECT_EQ(roster.users[0].start_ms, 0);
  EXPECT_EQ(roster.users[0].auth, AuthMode::kToken);
}

TEST(RosterTest, NamesTheFailingLine) {
  Roster roster;
  std::string error;
  EXPECT_FALSE(ParseRoster("room 1 user 2 speaker t\nroom 1 user x speaker t\n", &roster, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

TEST(RosterTest, RefusesMalformedLines) {
  const char* bad[] = {
      "room 1 user 2 speaker",                        // no token
      "room 1 member 2 speaker t",                    // wrong keyword
      "room 1 user 2 talker t",                       // unknown role
      "room -1 user 2 speaker t",                     // negative id
      "room 1 user 2 speaker t server=localhost:80",  // not an IP literal
      "room 1 user 2 speaker t server=127.0.0.1:0",   // port 0
      "room 1 user 2 speaker t start=-5",             // negative start
      "room 1 user 2 speaker t auth=maybe",           // unknown auth mode
      "room 1 user 2 speaker t colour=blue",          // unknown option
      "room 1 user 2 speaker t stray",                // not key=value
      "cascade 1 id 2 address nowhere",               // bad address
      "cascade 1 id 2 to 127.0.0.1:1",                // wrong keyword
      "user 1 room 2 speaker t",                      // unknown entry
      "room 18446744073709551616 user 2 speaker t",   // room id overflows 64 bits
  };
  for (const char* line : bad) {
    Roster roster;
    std::string error;
    EXPECT_FALSE(ParseRosterLine(line, &roster, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
    EXPECT_TRUE(roster.users.empty() && roster.cascades.empty()) << line;
  }
}

TEST(RosterTest, RefusesTokenLongerThan2047Bytes) {
  Roster roster;
  std::string error;
  EXPECT_TRUE(ParseRosterLine("room 1 user 2 speaker " + std::string(2047, 'a'), &roster, &error));
  EXPECT_FALSE(ParseRosterLine("room 1 user 3 speaker " + std::string(2048, 'a'), &roster, &error));
}

TEST(RosterTest, RefusesDuplicateUserIds) {
  Roster roster;
  std::string error;
  EXPECT_FALSE(ParseRoster("room 1 user 2 speaker a\nroom 3 user 2 listener b\n", &roster, &error));
  EXPECT_NE(error.find("twice"), std::string::npos);
}

TEST(RosterTest, FormatParsesBackToTheSameRoster) {
  Roster roster;
  std::string error;
  const std::string text =
      "room 1 user 2 speaker a server=127.0.0.1:8000 start=10 auth=none\n"
      "room 1 user 3 listener b\n"
      "room 4 user 5 cascader c\n"
      "cascade 1 id 77 address 127.0.0.3:9000 server=127.0.0.1:8000\n";
  ASSERT_TRUE(ParseRoster(text, &roster, &error)) << error;
  EXPECT_EQ(FormatRoster(roster), text);
}

TEST(RosterTest, UserArgumentKeepsColonsInTheToken) {
  RosterUser user;
  std::string error;
  ASSERT_TRUE(ParseUserArgument("3:9:listener:a:b:c", &user, &error)) << error;
  EXPECT_EQ(user.room_id, 3u);
  EXPECT_EQ(user.user_id, 9u);
  EXPECT_EQ(user.role, Role::kListener);
  EXPECT_EQ(user.token, "a:b:c");
  EXPECT_FALSE(ParseUserArgument("3:9:listener:", &user, &error));
  EXPECT_FALSE(ParseUserArgument("3:9", &user, &error));
  EXPECT_FALSE(ParseUserArgument("3:x:speaker:t", &user, &error));
}

TEST(RosterTest, GeneratesRoomsInOrder) {
  const Roster roster = GenerateRoster(2, 1, 2, 1, 10, 100);
  ASSERT_EQ(roster.users.size(), 8u);
  EXPECT_EQ(roster.users[0].room_id, 10u);
  EXPECT_EQ(roster.users[0].user_id, 100u);
  EXPECT_EQ(roster.users[0].role, Role::kSpeaker);
  EXPECT_EQ(roster.users[1].role, Role::kMuted);
  EXPECT_EQ(roster.users[2].role, Role::kListener);
  EXPECT_EQ(roster.users[3].token, "tok-103");
  EXPECT_EQ(roster.users[4].room_id, 11u);
  EXPECT_EQ(roster.users[7].user_id, 107u);
}

TEST(RosterTest, UserTypes) {
  EXPECT_EQ(UserTypeOf(Role::kSpeaker), 2);
  EXPECT_EQ(UserTypeOf(Role::kMuted), 2);
  EXPECT_EQ(UserTypeOf(Role::kListener), 1);
  EXPECT_EQ(UserTypeOf(Role::kCascader), 3);
}

TEST(RosterTest, LoadsAFile) {
  testutil::TempDir dir;
  testutil::WriteFile(dir.File("r.txt"), "room 1 user 2 speaker a\n");
  Roster roster;
  std::string error;
  ASSERT_TRUE(LoadRosterFile(dir.File("r.txt"), &roster, &error)) << error;
  EXPECT_EQ(roster.users.size(), 1u);
  EXPECT_FALSE(LoadRosterFile(dir.File("missing.txt"), &roster, &error));
}

}  // namespace
}  // namespace corvanetools

namespace corvanetools {
namespace {

TEST(RosterMixTest, LevelAndPriorityParseAndFormatBack) {
  Roster roster;
  std::string error;
  ASSERT_TRUE(ParseRoster("room 1 user 2 speaker t level=90 priority=1\nroom 1 user 3 speaker u\n",
                          &roster, &error))
      << error;
  EXPECT_EQ(roster.users[0].level, 90);
  EXPECT_TRUE(roster.users[0].priority);
  EXPECT_EQ(roster.users[1].level, -1);
  EXPECT_FALSE(roster.users[1].priority);
  EXPECT_EQ(FormatRoster(roster),
            "room 1 user 2 speaker t level=90 priority=1\nroom 1 user 3 speaker u\n");
  for (const char* bad : {"level=256", "level=-1", "level=x", "priority=2", "priority=yes"}) {
    Roster r;
    EXPECT_FALSE(ParseRoster(std::string("room 1 user 2 speaker t ") + bad, &r, &error)) << bad;
  }
}

TEST(RosterImpairmentTest, PerUserConditionsParseAndFormatBack) {
  Roster roster;
  std::string error;
  const std::string text =
      "room 1 user 2 speaker t uplink=loss=2,jitter=10\n"
      "room 1 user 3 listener u downlink=burst=3:3,reorder\n";
  ASSERT_TRUE(ParseRoster(text, &roster, &error)) << error;
  EXPECT_EQ(roster.users[0].uplink, "loss=2,jitter=10");
  EXPECT_EQ(roster.users[1].downlink, "burst=3:3,reorder");
  EXPECT_EQ(FormatRoster(roster), text);
  Roster r;
  EXPECT_FALSE(ParseRoster("room 1 user 2 speaker t uplink=", &r, &error));
}

}  // namespace
}  // namespace corvanetools
