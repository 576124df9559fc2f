#include "gateway/gateway_command.h"

#include <gtest/gtest.h>

#include "gateway/gateway_options.h"

namespace corvanetools {
namespace {

Command MustParse(const std::string& line) {
  Command command;
  std::string error;
  EXPECT_TRUE(ParseCommand(line, &command, &error)) << line << ": " << error;
  return command;
}

std::string ParseError(const std::string& line) {
  Command command;
  std::string error;
  EXPECT_FALSE(ParseCommand(line, &command, &error)) << line;
  return error;
}

TEST(GatewayCommandTest, BlankAndCommentLinesAreNothing) {
  EXPECT_EQ(MustParse("").kind, CommandKind::kNothing);
  EXPECT_EQ(MustParse("   \t ").kind, CommandKind::kNothing);
  EXPECT_EQ(MustParse("# join 1 2 speaker t").kind, CommandKind::kNothing);
}

TEST(GatewayCommandTest, CreateRoomWithMembers) {
  const Command c = MustParse("create-room 100 1:speaker:tok1 2:listener:tok2 3:muted:t3 4:3:t4");
  EXPECT_EQ(c.kind, CommandKind::kCreateRoom);
  EXPECT_EQ(c.room_id, 100u);
  ASSERT_EQ(c.users.size(), 4u);
  EXPECT_EQ(c.users[0].user_id, 1u);
  EXPECT_EQ(c.users[0].type, 2);
  EXPECT_EQ(c.users[0].token, "tok1");
  EXPECT_FALSE(c.users[0].muted);
  EXPECT_EQ(c.users[1].type, 1);
  EXPECT_EQ(c.users[2].type, 2);
  EXPECT_TRUE(c.users[2].muted);
  EXPECT_EQ(c.users[3].type, 3);
  // A room without members is still a valid request.
  EXPECT_TRUE(MustParse("create-room 5").users.empty());
}

TEST(GatewayCommandTest, EveryRoomCommand) {
  Command c = MustParse("join 1 2 listener tok");
  EXPECT_EQ(c.kind, CommandKind::kJoin);
  EXPECT_EQ(c.room_id, 1u);
  EXPECT_EQ(c.user_id, 2u);
  EXPECT_EQ(c.user_type, 1);
  EXPECT_EQ(c.token, "tok");
  EXPECT_TRUE(MustParse("join 1 2 muted tok").muted);
  EXPECT_EQ(MustParse("join 1 2 speaker -").token, "");  // "-" is the empty token
  EXPECT_EQ(MustParse("join 1 2 7 tok").user_type, 7);   // raw user type

  EXPECT_EQ(MustParse("quit-room 1 2").kind, CommandKind::kQuitRoom);
  EXPECT_EQ(MustParse("quit 1 2").kind, CommandKind::kQuitRoom);
  EXPECT_EQ(MustParse("quit").kind, CommandKind::kEnd);
  EXPECT_EQ(MustParse("exit").kind, CommandKind::kEnd);
  EXPECT_EQ(MustParse("allow 1 2").kind, CommandKind::kAllow);
  EXPECT_EQ(MustParse("deny 1 2").kind, CommandKind::kDeny);
  EXPECT_EQ(MustParse("mute 1 2").kind, CommandKind::kMute);
  EXPECT_EQ(MustParse("unmute 1 2").kind, CommandKind::kUnmute);

  c = MustParse("add-cascade 1 9001 127.0.0.1:8100 5");
  EXPECT_EQ(c.kind, CommandKind::kAddCascade);
  EXPECT_EQ(c.user_id, 9001u);
  EXPECT_EQ(c.address, "127.0.0.1:8100");
  EXPECT_EQ(c.reserved, 5);

  c = MustParse("add-recorder 1 2 3 tok");
  EXPECT_EQ(c.kind, CommandKind::kAddRecorder);
  EXPECT_EQ(c.unique_id, 3u);
  EXPECT_EQ(MustParse("close-room 9").room_id, 9u);
  EXPECT_EQ(MustParse("load /tmp/r.txt").path, "/tmp/r.txt");
}

TEST(GatewayCommandTest, ControlCommands) {
  Command c = MustParse("wait-servers 2");
  EXPECT_EQ(c.kind, CommandKind::kWaitServers);
  EXPECT_EQ(c.count, 2);
  EXPECT_EQ(c.duration_ms, 10000);
  EXPECT_EQ(MustParse("wait-servers 2 750").duration_ms, 750);
  EXPECT_EQ(MustParse("sleep 30").duration_ms, 30);
  EXPECT_EQ(MustParse("pause 30").kind, CommandKind::kSleep);
  EXPECT_EQ(MustParse("servers").kind, CommandKind::kServers);
  EXPECT_EQ(MustParse("serve").kind, CommandKind::kServe);
}

TEST(GatewayCommandTest, TargetsAndExpectations) {
  Command c = MustParse("@2 mute 1 5 expect=-1   # comment");
  EXPECT_EQ(c.target, "2");
  EXPECT_EQ(c.kind, CommandKind::kMute);
  EXPECT_TRUE(c.has_expect);
  EXPECT_EQ(c.expect, -1);
  EXPECT_EQ(c.text, "@2 mute 1 5 expect=-1");
  EXPECT_EQ(MustParse("@127.0.0.1:8000 close-room 1").target, "127.0.0.1:8000");
  EXPECT_EQ(MustParse("@all close-room 1").target, "all");
  // The 16-bit field 0xFFFF and -1 are the same result.
  EXPECT_EQ(MustParse("close-room 1 expect=65535").expect, -1);
  EXPECT_FALSE(MustParse("close-room 1").has_expect);
}

TEST(GatewayCommandTest, RefusesMalformedCommands) {
  EXPECT_NE(ParseError("frobnicate 1").find("unknown command"), std::string::npos);
  EXPECT_NE(ParseError("join 1 2 speaker").find("usage: join"), std::string::npos);
  ParseError("join 1 2 boss tok");
  ParseError("join x 2 speaker tok");
  ParseError("mute 1");
  ParseError("mute 1 2 3");
  ParseError("create-room 1 2:speaker");
  ParseError("create-room 1 x:speaker:t");
  ParseError("create-room 1 2:talker:t");
  ParseError("wait-servers");
  ParseError("wait-servers -1");
  ParseError("sleep soon");
  ParseError("servers now");
  ParseError("add-cascade 1 2");
  ParseError("close-room 1 expect=70000");
  ParseError("@2");
  ParseError("join 1 2 speaker " + std::string(2048, 't'));
}

TEST(GatewayCommandTest, SpreadWithdrawAndRestore) {
  Command c = MustParse("spread room.txt chain 1 127.0.0.2:7000");
  EXPECT_EQ(c.kind, CommandKind::kSpread);
  EXPECT_EQ(c.path, "room.txt");
  EXPECT_EQ(c.shape, "chain");
  EXPECT_EQ(c.servers, (std::vector<std::string>{"1", "127.0.0.2:7000"}));
  EXPECT_TRUE(MustParse("spread room.txt mesh").servers.empty());
  c = MustParse("withdraw 7 2");
  EXPECT_EQ(c.kind, CommandKind::kWithdraw);
  EXPECT_EQ(c.room_id, 7u);
  EXPECT_EQ(c.servers, (std::vector<std::string>{"2"}));
  EXPECT_EQ(MustParse("restore 7 127.0.0.1:7000").kind, CommandKind::kRestore);
  EXPECT_NE(ParseError("spread room.txt ring").find("bad shape"), std::string::npos);
  ParseError("spread room.txt");
  ParseError("withdraw 7");
  ParseError("restore x 1");
}

TEST(GatewayCommandTest, CommandNames) {
  EXPECT_STREQ(CommandName(CommandKind::kCreateRoom), "create-room");
  EXPECT_STREQ(CommandName(CommandKind::kQuitRoom), "quit-room");
  EXPECT_STREQ(CommandName(CommandKind::kEnd), "quit");
}

TEST(GatewayOptionsTest, ParsesTheCommandLine) {
  GatewayOptions options;
  std::string error;
  ASSERT_EQ(
      ParseGatewayOptions({"--listen", "127.0.0.1:0", "--json", "-e", "servers", "--exec=quit",
                           "--timeout-ms", "100", "--heartbeat-ms=50", "--verbose"},
                          &options, &error),
      GatewayParse::kRun)
      << error;
  EXPECT_EQ(options.listen.port(), 0);
  EXPECT_TRUE(options.json);
  EXPECT_TRUE(options.verbose);
  EXPECT_EQ(options.exec_lines, (std::vector<std::string>{"servers", "quit"}));
  EXPECT_FALSE(options.read_stdin);  // --exec without --script reads no stdin
  EXPECT_EQ(options.timeout_ms, 100);
  EXPECT_EQ(options.heartbeat_ms, 50);

  GatewayOptions plain;
  ASSERT_EQ(ParseGatewayOptions({}, &plain, &error), GatewayParse::kRun);
  EXPECT_TRUE(plain.read_stdin);
  EXPECT_EQ(plain.listen.ToString(), "127.0.0.1:9000");

  GatewayOptions dash;
  ASSERT_EQ(ParseGatewayOptions({"--script", "-", "-e", "servers"}, &dash, &error),
            GatewayParse::kRun);
  EXPECT_TRUE(dash.read_stdin);
  EXPECT_TRUE(dash.script_path.empty());

  GatewayOptions bad;
  EXPECT_EQ(ParseGatewayOptions({"--listen", "nowhere"}, &bad, &error), GatewayParse::kError);
  EXPECT_EQ(ParseGatewayOptions({"--timeout-ms", "0"}, &bad, &error), GatewayParse::kError);
  EXPECT_EQ(ParseGatewayOptions({"--bogus"}, &bad, &error), GatewayParse::kError);
  EXPECT_EQ(ParseGatewayOptions({"--help"}, &bad, &error), GatewayParse::kHelp);
}

TEST(GatewayOptionsTest, HelpExplainsEveryCommandWithAnExample) {
  const std::string help = GatewayUsage();
  for (const char* example :
       {"wait-servers 2 5000", "create-room 100 1:speaker:tok1", "load /tmp/room.txt",
        "join 100 4 listener tok4", "quit-room 100 4", "allow 100 2", "deny 100 1", "mute 100 1",
        "unmute 100 1", "add-cascade 100 9001 127.0.0.1:8100", "add-recorder 100 7 77 tok7",
        "close-room 100", "spread room.txt chain 1 2 3", "withdraw 100 2", "restore 100 2",
        "sleep 500", "servers", "serve", "quit"}) {
    EXPECT_NE(help.find(example), std::string::npos) << example;
    // Every example in the help is itself a valid command.
    Command command;
    std::string error;
    EXPECT_TRUE(ParseCommand(example, &command, &error)) << example << ": " << error;
  }
}

}  // namespace
}  // namespace corvanetools
