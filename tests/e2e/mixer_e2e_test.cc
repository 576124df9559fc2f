// The mixing server as operators run it: speakers with their levels and
// priority marks, measured by the client simulator in mixer mode, which knows
// which frames the mixer must choose in each period.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_harness.h"

namespace e2e {
namespace {

// The mixer's passes and the speakers' periods are not locked to each other:
// a pass that falls between two speakers' datagrams of one period splits
// them. That is rare; a share of frames this small may land on the other
// side of a choice.
constexpr double kSplitShare = 0.02;

class MixerE2eTest : public E2eTest {
 protected:
  std::unique_ptr<Server> StartMixer() {
    return StartServer("mfu", "127.0.0.1", "", CORVANE_MFU_SERVER, "mixer_frame_log = 0\n");
  }

  ClientRun Client(const Server& server, const std::string& roster,
                   std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "--server", server.media_address(), "--users", roster, "--duration", "2", "--mixer"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunClient(dir_, args);
  }

  // The user received the frames the mixer had to choose for it, and next
  // to none of those it had to drop.
  static void ExpectChosen(const ClientRun& run, uint64_t user, double chosen_per_second,
                           double seconds = 2) {
    const std::string u = JsonUser(run.json, user);
    ASSERT_FALSE(u.empty()) << run.json;
    const double expected = JsonNumber(u, "chosen_expected");
    const double received = JsonNumber(u, "chosen_received");
    const double due = chosen_per_second * seconds;
    EXPECT_NEAR(expected, due, due * kSplitShare + 2) << u;
    EXPECT_GE(received, expected * (1 - kSplitShare)) << u;
    EXPECT_LE(JsonNumber(u, "unchosen_received"), expected * kSplitShare) << u;
    EXPECT_EQ(JsonNumber(u, "unexpected"), 0) << u;
  }
};

TEST_F(MixerE2eTest, TheTwoBestOfThreeSpeakersReachEveryoneElse) {
  auto server = StartMixer();
  // By mark, then level: B (marked) and A are chosen, C never.
  const std::string roster = Roster("room.txt",
                                    "room 1 user 101 speaker a level=90\n"
                                    "room 1 user 102 speaker b level=10 priority=1\n"
                                    "room 1 user 103 speaker c level=40\n"
                                    "room 1 user 104 listener d\n");
  Load(roster, 1);
  const ClientRun run = Client(*server, roster);
  ASSERT_GE(run.status, 0) << run.stderr_text;
  ExpectChosen(run, 101, 50);   // B's frames
  ExpectChosen(run, 102, 50);   // A's frames
  ExpectChosen(run, 103, 100);  // A's and B's
  ExpectChosen(run, 104, 100);
  // C spoke all along and nobody heard it.
  EXPECT_GE(JsonNumber(JsonUser(run.json, 103), "sent"), 100);
}

TEST_F(MixerE2eTest, AMutedSpeakerLeavesItsPlaceToTheNext) {
  auto server = StartMixer();
  const std::string roster = Roster("room.txt",
                                    "room 2 user 201 muted a level=90\n"
                                    "room 2 user 202 speaker b level=60\n"
                                    "room 2 user 203 speaker c level=30\n"
                                    "room 2 user 204 listener d\n");
  Load(roster, 2);  // the room, then the mute
  const ClientRun run = Client(*server, roster);
  ASSERT_GE(run.status, 0) << run.stderr_text;
  ExpectChosen(run, 204, 100);  // B and C; A's frames are thrown away
  ExpectChosen(run, 201, 100);
  ExpectChosen(run, 202, 50);

  EXPECT_EQ(Request("unmute 2 201"), 0);
  const std::string unmuted = Roster("unmuted.txt",
                                     "room 2 user 201 speaker a level=90\n"
                                     "room 2 user 202 speaker b level=60\n"
                                     "room 2 user 203 speaker c level=30\n"
                                     "room 2 user 204 listener d\n");
  const ClientRun after = Client(*server, unmuted);
  ASSERT_GE(after.status, 0) << after.stderr_text;
  ExpectChosen(after, 204, 100);  // A and B now
  ExpectChosen(after, 203, 100);
  ExpectChosen(after, 202, 50);
}

TEST_F(MixerE2eTest, AMemberMovedToAnotherRoomHearsOnlyThatRoom) {
  auto server = StartMixer();
  const std::string before = Roster("before.txt",
                                    "room 3 user 301 speaker a level=50\n"
                                    "room 3 user 303 listener c\n"
                                    "room 4 user 401 speaker x level=50\n"
                                    "room 4 user 402 listener y\n");
  Load(before, 2);
  EXPECT_EQ(Request("join 4 303 listener c"), 0);
  const std::string after = Roster("after.txt",
                                   "room 3 user 301 speaker a level=50\n"
                                   "room 4 user 303 listener c\n"
                                   "room 4 user 401 speaker x level=50\n"
                                   "room 4 user 402 listener y\n");
  const ClientRun run = Client(*server, after);
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  ExpectChosen(run, 303, 50);  // x's frames, none of a's
  ExpectChosen(run, 402, 50);
}

TEST_F(MixerE2eTest, ClosingTheRoomEndsItsMembership) {
  auto server = StartMixer();
  const std::string roster = Roster("room.txt",
                                    "room 5 user 501 speaker a level=5\n"
                                    "room 5 user 502 listener b\n");
  Load(roster, 1);
  const ClientRun open = Client(*server, roster);
  ASSERT_EQ(open.status, 0) << open.json << open.stderr_text;
  ExpectChosen(open, 502, 50);

  EXPECT_EQ(Request("close-room 5"), 0);
  const ClientRun closed = Client(*server, roster, {"--handshake-timeout-ms", "1500"});
  EXPECT_NE(closed.status, 0);
  for (uint64_t user : {501, 502}) {
    EXPECT_NE(JsonUser(closed.json, user).find("\"admitted\":false"), std::string::npos)
        << closed.json;
  }
}

TEST_F(MixerE2eTest, AFloodingSpeakerDoesNotCrowdOutTheOthers) {
  auto server = StartMixer();
  const std::string roster = Roster("room.txt",
                                    "room 6 user 601 speaker a level=90\n"
                                    "room 6 user 602 speaker b level=80\n"
                                    "room 6 user 603 speaker flood level=1\n"
                                    "room 6 user 604 listener d\n");
  Load(roster, 1);
  // The flood: one speaker at 20 times the rate, from a client of its own.
  auto flood = StartClient(dir_, {"--server", server->media_address(), "--users", roster, "--only",
                                  "603", "--mixer", "--duration", "4", "--rate", "1000"});
  const ClientRun run = Client(*server, roster, {"--only", "601,602,604"});
  ASSERT_GE(run.status, 0) << run.stderr_text;
  // The flooder is simulated elsewhere: every frame of A and B is chosen.
  ExpectChosen(run, 604, 100);
  ExpectChosen(run, 601, 50);
  int status = -1;
  ASSERT_TRUE(flood->Wait(std::chrono::seconds(30), &status));
  EXPECT_NE(flood->Stdout().find("\"user\":603"), std::string::npos);
  // The server is still serving.
  const ClientRun later = Client(*server, roster, {"--only", "601,604", "--duration", "1"});
  ExpectChosen(later, 604, 50, 1);
}

}  // namespace
}  // namespace e2e
