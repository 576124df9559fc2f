// Voice through impaired networks, with real processes: the client's presets
// and conditions against the forwarding server (FEC decoding and NACK
// answers) and the mixing server, with the thresholds the servers must meet.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_harness.h"

namespace e2e {
namespace {

constexpr const char* kRoster =
    "room 9 user 901 speaker a\n"
    "room 9 user 902 listener b\n"
    "room 9 user 903 listener c\n";

// The listeners' largest server-added delay in each second of the run, in ms.
std::vector<double> DelayBySecond(const std::string& json) {
  std::vector<double> values;
  const size_t role = json.find("\"listener\":{");
  if (role == std::string::npos) return values;
  const std::string key = "\"max_by_second\":[";
  size_t pos = json.find(key, role);
  if (pos == std::string::npos) return values;
  pos += key.size();
  const size_t end = json.find(']', pos);
  while (pos < end) {
    size_t used = 0;
    values.push_back(std::stod(json.substr(pos, end - pos), &used));
    pos += used + 1;
  }
  return values;
}

double ListenerQuality(const std::string& json, const std::string& key) {
  return JsonNumber(json, key, "\"listener\":{");
}

class ImpairE2eTest : public E2eTest {
 protected:
  ClientRun RunForwarder(const std::vector<std::string>& extra) {
    auto server = StartServer("sfu", "127.0.0.1", "", CORVANE_SFU_SERVER, "nack_enabled = 1\n");
    const std::string roster = Roster("room.txt", kRoster);
    Load(roster, 1);
    std::vector<std::string> args = {
        "--server", server->media_address(), "--users", roster, "--fec-k", "4", "--nack"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunClient(dir_, args);
  }
};

TEST_F(ImpairE2eTest, WifiWithFecAndNackLosesUnderHalfAPercent) {
  const ClientRun run = RunForwarder({"--fec-r", "2", "--impair", "wifi", "--duration", "3"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  EXPECT_GT(ListenerQuality(run.json, "frames"), 250) << run.json;
  EXPECT_LT(ListenerQuality(run.json, "residual_percent"), 0.5) << run.json;
  EXPECT_GT(ListenerQuality(run.json, "mos"), 4.0) << run.json;
}

// Bursts on the way from the server are all brought back: what the listener's
// own decoding cannot rebuild, the server's buffer resends.
TEST_F(ImpairE2eTest, CellularDownlinkWithFecAndNackLosesUnderHalfAPercent) {
  const ClientRun run =
      RunForwarder({"--fec-r", "2", "--impair", "cellular", "--uplink", "none", "--duration", "3"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  EXPECT_GT(ListenerQuality(run.json, "by_nack") + ListenerQuality(run.json, "by_fec"), 0)
      << run.json;
  EXPECT_LT(ListenerQuality(run.json, "residual_percent"), 0.5) << run.json;
}

// A speaker that restarts its numbers without a new join: NACKs are answered
// again from its new stream, never with a datagram of the old one.
TEST_F(ImpairE2eTest, AfterARestartNacksAreAnsweredFromTheNewStreamOnly) {
  const ClientRun run = RunForwarder({"--fec-r", "0", "--impair", "restart", "--uplink", "none",
                                      "--downlink", "loss=4", "--duration", "4"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  EXPECT_EQ(ListenerQuality(run.json, "stale_answers"), 0) << run.json;
  EXPECT_GT(ListenerQuality(run.json, "by_nack"), 0) << run.json;
  // Losses after the restart are recovered as well as before it.
  EXPECT_LT(ListenerQuality(run.json, "residual_percent"), 0.5) << run.json;
}

// Numbers that cross 2^32 during the run: the blocks straddling the wrap are
// read right and NACKs keep being answered across it.
TEST_F(ImpairE2eTest, NumbersCrossingTheWrapKeepFecAndNackWorking) {
  const ClientRun run = RunForwarder(
      {"--fec-r", "2", "--first-seq", "4294967200", "--downlink", "loss=4", "--duration", "3"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  EXPECT_LT(ListenerQuality(run.json, "residual_percent"), 0.5) << run.json;
}

// The mixer's backlog after a 500 ms stall on the speaker's way drains: two
// seconds after the stall the delay it adds is back within one frame (20 ms,
// plus scheduling slack for sanitizer builds).
TEST_F(ImpairE2eTest, AfterAStallTheMixersAddedDelayComesBackWithinOneFrame) {
  auto server = StartServer("mfu", "127.0.0.1", "", CORVANE_MFU_SERVER, "mixer_frame_log = 0\n");
  const std::string roster = Roster("room.txt", kRoster);
  Load(roster, 1);
  // The stall holds the speaker's voice from 1.5 s to 2 s into the run.
  const ClientRun run =
      RunClient(dir_, {"--server", server->media_address(), "--users", roster, "--mixer",
                       "--uplink", "stall=500/3000", "--duration", "4.5"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  const std::vector<double> delay = DelayBySecond(run.json);
  ASSERT_GE(delay.size(), 5u) << run.json;
  EXPECT_GT(delay[2], 200) << run.json;  // the backlog right after the stall
  EXPECT_LT(delay[4], 40) << run.json;
}

}  // namespace
}  // namespace e2e
