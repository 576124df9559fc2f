// The servers as operators run them: real processes on loopback, each test with
// its own directory and ports, driven by the bundled gateway and measured by
// the client simulator.
#include <signal.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_harness.h"
#include "support/test_util.h"

namespace e2e {
namespace {

class ForwardingE2eTest : public E2eTest {
 protected:
  ClientRun Client(const Server& server, const std::string& roster,
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--server", server.media_address(), "--users",
                                     roster,     "--duration",           "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunClient(dir_, args);
  }
};

TEST_F(ForwardingE2eTest, RegistersSendsHeartbeatsAndRegistersAgainWithARestartedGateway) {
  auto server = StartServer("sfu", "127.0.0.1");
  EXPECT_NE(gateway_->Output().find("forwarding server, bgp 127.0.0.1 tel nil port"),
            std::string::npos)
      << gateway_->Output();
  // One heartbeat comes with the registration, the next one 10 s later.
  ASSERT_TRUE(testutil::WaitFor(
      [&] {
        gateway_->Command("servers", "heartbeats");
        return gateway_->Output().find(" 2 heartbeats") != std::string::npos;
      },
      std::chrono::seconds(15)))
      << gateway_->Output();

  const int port = gateway_->port();
  EXPECT_EQ(gateway_->Finish(), 0);
  gateway_.reset();
  gateway_ = std::make_unique<Gateway>(dir_, port);
  // The server notices the closed link and registers again at its next pass.
  ASSERT_TRUE(gateway_->WaitForOutput("registered:", 1, std::chrono::seconds(15)))
      << gateway_->Output();
  EXPECT_GE(CountOf(server->InfoLog(), " connect successed"), 2u) << server->InfoLog();
}

TEST_F(ForwardingE2eTest, SpeakersReachEveryoneAndRoleChangesTakeEffect) {
  auto server = StartServer("sfu", "127.0.0.1");
  const std::string before = Roster("before.txt",
                                    "room 1 user 1001 speaker t1\n"
                                    "room 1 user 1002 speaker t2\n"
                                    "room 1 user 1003 listener t3\n"
                                    "room 1 user 1004 muted t4\n"
                                    "room 1 user 1005 cascader t5\n");
  Load(before, 2);  // the room, then the mute
  ClientRun first = Client(*server, before);
  ASSERT_EQ(first.status, 0) << first.json << first.stderr_text;
  // Two speakers at 50/s for 2 s: each other member hears 100 from each of them.
  EXPECT_EQ(JsonNumber(JsonUser(first.json, 1003), "received"), 200) << first.json;
  EXPECT_EQ(JsonNumber(JsonUser(first.json, 1001), "received"), 100) << first.json;
  EXPECT_EQ(JsonNumber(first.json, "unexpected", "\"total\""), 0);

  EXPECT_EQ(Request("allow 1 1003"), 0);
  EXPECT_EQ(Request("deny 1 1001"), 0);
  EXPECT_EQ(Request("unmute 1 1004"), 0);
  EXPECT_EQ(Request("mute 1 1002"), 0);
  const std::string after = Roster("after.txt",
                                   "room 1 user 1001 listener t1\n"
                                   "room 1 user 1002 muted t2\n"
                                   "room 1 user 1003 speaker t3\n"
                                   "room 1 user 1004 speaker t4\n"
                                   "room 1 user 1005 cascader t5\n");
  ClientRun second = Client(*server, after);
  ASSERT_EQ(second.status, 0) << second.json << second.stderr_text;
  EXPECT_EQ(JsonNumber(JsonUser(second.json, 1001), "received"), 200) << second.json;
  EXPECT_EQ(JsonNumber(JsonUser(second.json, 1003), "received"), 100) << second.json;
}

TEST_F(ForwardingE2eTest, AdmissionNeedsDetectAndTokenFromANewAddress) {
  auto server = StartServer("sfu", "127.0.0.1");
  const std::string roster = Roster("room.txt",
                                    "room 2 user 2001 speaker good1\n"
                                    "room 2 user 2002 listener good2\n");
  Load(roster, 1);

  ClientRun no_detect = Client(*server, roster, {"--no-detect", "--handshake-timeout-ms", "1500"});
  EXPECT_EQ(no_detect.status, 0) << no_detect.json << no_detect.stderr_text;
  EXPECT_EQ(JsonNumber(JsonUser(no_detect.json, 2002), "received"), 0);
  EXPECT_EQ(CountOf(server->InfoLog(), "modify user [2001] remote address"), 0u);

  ClientRun admitted = Client(*server, roster);
  ASSERT_EQ(admitted.status, 0) << admitted.json << admitted.stderr_text;
  const size_t moves = CountOf(server->InfoLog(), "modify user [2001] remote address");
  EXPECT_EQ(moves, 1u) << server->InfoLog();

  // The same member from a new address with the wrong token: answered, not moved.
  const std::string takeover = Roster("takeover.txt",
                                      "room 2 user 2001 speaker good1 auth=wrong\n"
                                      "room 2 user 2002 listener good2\n");
  ClientRun refused = Client(*server, takeover, {"--handshake-timeout-ms", "1500"});
  EXPECT_EQ(refused.status, 0) << refused.json << refused.stderr_text;
  EXPECT_GT(JsonNumber(JsonUser(refused.json, 2001), "auth_answers"), 0) << refused.json;
  EXPECT_EQ(CountOf(server->InfoLog(), "modify user [2001] remote address"), moves);

  // With the token it moves.
  ClientRun moved = Client(*server, roster);
  ASSERT_EQ(moved.status, 0) << moved.json << moved.stderr_text;
  EXPECT_EQ(CountOf(server->InfoLog(), "modify user [2001] remote address"), moves + 1);
}

TEST_F(ForwardingE2eTest, ResendsUntilAcknowledgedGivesNewcomersMusicAndReportsToSpeakers) {
  auto server = StartServer("sfu", "127.0.0.1");
  const std::string roster = Roster("room.txt",
                                    "room 3 user 3001 speaker a\n"
                                    "room 3 user 3002 speaker b\n"
                                    "room 3 user 3003 listener c\n"
                                    "room 3 user 3004 listener d start=1000\n");
  Load(roster, 1);
  ClientRun run = Client(*server, roster,
                         {"--duration", "3", "--reliable-every", "4", "--withhold", "100",
                          "--music-every", "10", "--report-ms", "300"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  // Every first copy of a 0x82 datagram went unacknowledged: the server resent them.
  EXPECT_GT(JsonNumber(run.json, "resends", "\"total\""), 0) << run.json;
  EXPECT_GT(JsonNumber(run.json, "acks_withheld", "\"total\""), 0);
  // The newcomer got the room's newest music datagram before anything it expects.
  EXPECT_GE(JsonNumber(JsonUser(run.json, 3004), "early"), 1) << run.json;
  // Listeners' receiver reports reach the speakers.
  EXPECT_GT(JsonNumber(JsonUser(run.json, 3001), "reports_received"), 0) << run.json;
  EXPECT_GT(JsonNumber(JsonUser(run.json, 3002), "reports_received"), 0) << run.json;
}

TEST_F(ForwardingE2eTest, QuitAndCloseRoomThroughTheGateway) {
  auto server = StartServer("sfu", "127.0.0.1");
  const std::string roster = Roster("room.txt",
                                    "room 4 user 4001 speaker a\n"
                                    "room 4 user 4002 listener b\n"
                                    "room 4 user 4003 listener c\n");
  Load(roster, 1);
  EXPECT_EQ(Request("quit-room 4 4003"), 0);
  ClientRun after_quit = Client(*server, roster, {"--handshake-timeout-ms", "1500"});
  EXPECT_NE(JsonUser(after_quit.json, 4003).find("\"admitted\":false"), std::string::npos)
      << after_quit.json;
  EXPECT_EQ(JsonNumber(JsonUser(after_quit.json, 4003), "received"), 0);
  EXPECT_EQ(JsonNumber(JsonUser(after_quit.json, 4002), "received"), 100) << after_quit.json;
  EXPECT_EQ(JsonNumber(JsonUser(after_quit.json, 4002), "lost"), 0);

  EXPECT_EQ(Request("close-room 4"), 0);
  ClientRun after_close = Client(*server, roster, {"--handshake-timeout-ms", "1500"});
  EXPECT_NE(after_close.status, 0);
  for (uint64_t user : {4001, 4002, 4003}) {
    EXPECT_NE(JsonUser(after_close.json, user).find("\"admitted\":false"), std::string::npos)
        << after_close.json;
  }
  EXPECT_NE(server->InfoLog().find("received close room message from "), std::string::npos);
}

TEST_F(ForwardingE2eTest, RoomCascadedBetweenTwoServersCarriesVoiceAcross) {
  auto first = StartServer("first", "127.0.0.1", "127.0.0.3");
  auto second = StartServer("second", "127.0.0.2", "127.0.0.4");
  const std::string roster = Roster(
      "room.txt", "room 5 user 5001 speaker s1 server=" + first->media_address() + "\n" +
                      "room 5 user 5002 listener l2 server=" + first->media_address() + "\n" +
                      "room 5 user 5003 listener l3 server=" + second->media_address() + "\n" +
                      "room 5 user 5004 listener l4 server=" + second->media_address() + "\n" +
                      "cascade 5 id 9005 address " + second->media_address() +
                      " server=" + first->media_address() + "\n");
  Load(roster, 3);  // the room on each server, then the cascade on the first
  // The peer server takes the speaker in under the same id and token.
  EXPECT_EQ(Request("@" + second->media_address() + " join 5 5001 speaker s1"), 0);

  ClientRun run = Client(*first, roster, {"--no-peers"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  EXPECT_EQ(JsonNumber(JsonUser(run.json, 5002), "received"), 100) << run.json;
  EXPECT_EQ(JsonNumber(JsonUser(run.json, 5003), "received"), 100) << run.json;
  EXPECT_EQ(JsonNumber(JsonUser(run.json, 5004), "received"), 100) << run.json;
}

TEST_F(ForwardingE2eTest, SigtermDuringTrafficStopsCleanly) {
  auto server = StartServer("sfu", "127.0.0.1");
  const std::string roster = Roster("room.txt",
                                    "room 6 user 6001 speaker a\n"
                                    "room 6 user 6002 speaker b\n"
                                    "room 6 user 6003 listener c\n");
  Load(roster, 1);
  auto client = StartClient(dir_, {"--server", server->media_address(), "--users", roster,
                                   "--duration", "5", "--rate", "200"});
  // Traffic flows once every member's address is known.
  ASSERT_TRUE(testutil::WaitFor([&] {
    return CountOf(server->InfoLog(), "remote address from [") >= 3;
  })) << server->InfoLog();
  ASSERT_TRUE(server->Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(server->Wait(&status));
  EXPECT_EQ(status, 0) << server->Stderr();
  EXPECT_NE(server->InfoLog().find("+++ begin to exit corvane_rec_server +++"), std::string::npos);
  client->Signal(SIGTERM);
}

}  // namespace
}  // namespace e2e
