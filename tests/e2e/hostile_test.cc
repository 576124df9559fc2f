// A room under hostile traffic: random and malformed datagrams, spoofed
// members and floods of new sources arrive at 30,000 per second beside it.
// The room keeps its voice, nothing spoofed reaches a member, memory and logs
// stay bounded, and afterwards a newcomer is admitted and the gateway answered.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "e2e/e2e_harness.h"
#include "support/test_util.h"

namespace e2e {
namespace {

constexpr int kHostileRate = 30000;
constexpr int kSeconds = 20;

uintmax_t DirectoryBytes(const std::string& path) {
  uintmax_t total = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
    if (entry.is_regular_file(ec)) total += entry.file_size(ec);
  }
  return total;
}

class HostileTest : public E2eTest {
 protected:
  // Tokens as long as real ones: a random wrong token must not hit by chance.
  void RunUnderHostileTraffic(const std::string& program, const std::vector<std::string>& mode) {
    auto server = StartServer("server", "127.0.0.1", "", program);
    const std::string roster = Roster("room.txt",
                                      "room 7 user 7001 speaker tok-7001-speaker-aq3 level=90\n"
                                      "room 7 user 7002 listener tok-7002-listener-zt8\n"
                                      "room 7 user 7003 listener tok-7003-listener-mv1\n"
                                      "room 7 user 7004 listener tok-7004-listener-kc5\n");
    Load(roster, 1);
    const long resident_before = ResidentKib(server->pid());
    const uintmax_t logs_before = DirectoryBytes(server->log_dir());

    std::vector<std::string> args = {"--server",   server->media_address(),
                                     "--users",    roster,
                                     "--duration", std::to_string(kSeconds),
                                     "--hostile",  std::to_string(kHostileRate),
                                     "--threads",  "2"};
    args.insert(args.end(), mode.begin(), mode.end());
    const ClientRun run = RunClient(dir_, args);
    ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;

    // The speaker is heard as well as without the flood: what the mixer had to
    // choose, in a mixing room.
    const bool mixer = !mode.empty();
    const double expected =
        JsonNumber(run.json, mixer ? "chosen_expected" : "expected", "\"total\"");
    const double received =
        JsonNumber(run.json, mixer ? "chosen_received" : "received", "\"total\"");
    ASSERT_GT(expected, 0) << run.json;
    EXPECT_LT((expected - received) / expected, 0.005) << run.json;
    // Nothing spoofed reached a member.
    EXPECT_EQ(JsonNumber(run.json, "unexpected", "\"total\""), 0) << run.json;
    EXPECT_EQ(JsonNumber(run.json, "malformed", "\"total\""), 0) << run.json;
    EXPECT_EQ(JsonNumber(run.json, "unchosen_received", "\"total\""), 0) << run.json;
    if (mode.empty()) {  // no member sends FEC datagrams
      EXPECT_EQ(JsonNumber(run.json, "repairs_received", "\"total\""), 0) << run.json;
    }

    const long resident_after = ResidentKib(server->pid());
    if (kResidentMemoryIsMeaningful) {
      EXPECT_LT(resident_after - resident_before, 48 * 1024)
          << "resident KiB " << resident_before << " -> " << resident_after;
    }
    EXPECT_LT(DirectoryBytes(server->log_dir()) - logs_before, 4u << 20)
        << "the hostile lines are not rate-limited";

    // Afterwards: a newcomer is admitted and hears the room; the gateway is answered.
    EXPECT_EQ(Request("join 7 7005 listener tok-7005-newcomer-pp2"), 0);
    const std::string after = Roster("after.txt",
                                     "room 7 user 7001 speaker tok-7001-speaker-aq3 level=90\n"
                                     "room 7 user 7005 listener tok-7005-newcomer-pp2\n");
    std::vector<std::string> quiet = {
        "--server", server->media_address(), "--users", after, "--duration", "2"};
    quiet.insert(quiet.end(), mode.begin(), mode.end());
    const ClientRun newcomer = RunClient(dir_, quiet);
    ASSERT_EQ(newcomer.status, 0) << newcomer.json << newcomer.stderr_text;
    EXPECT_GT(JsonNumber(JsonUser(newcomer.json, 7005), "received"), 0) << newcomer.json;
  }
};

TEST_F(HostileTest, ForwardingRoomKeepsItsVoiceUnderHostileTraffic) {
  RunUnderHostileTraffic(CORVANE_SFU_SERVER, {});
}

TEST_F(HostileTest, MixingRoomKeepsItsVoiceUnderHostileTraffic) {
  RunUnderHostileTraffic(CORVANE_MFU_SERVER, {"--mixer"});
}

}  // namespace
}  // namespace e2e
