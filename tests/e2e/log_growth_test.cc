// What a remote sender can make a server write: a hostile mix (detects from
// ever new ports, NACK floods, short datagrams, wrong tokens and the rest of
// the client's hostile kinds) beside a room grows the info log by a bounded
// amount, because every line a peer can trigger is rate-limited.
//
// The bound, for a run of kSeconds: kInfoLogBoundBytes. A server's own lines
// (start-up, the room's joins, the once-per-interval summaries of each
// limited line: about 1 per second per kind) stay far below it, while one
// line per hostile datagram, per resent number or per 100 ms tick exceeds it
// many times over. Scaled to a minute: six times the bound.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_harness.h"

namespace e2e {
namespace {

constexpr int kSeconds = 8;
constexpr int kHostileRate = 3000;
constexpr size_t kInfoLogBoundBytes = 48 * 1024;

class LogGrowthTest : public E2eTest {};

TEST_F(LogGrowthTest, ForwardingServerLogStaysBoundedUnderHostileMixAndNackFlood) {
  auto server = StartServer("sfu", "127.0.0.1", "", CORVANE_SFU_SERVER, "nack_enabled = 1\n");
  const std::string roster = Roster("room.txt",
                                    "room 7 user 701 speaker tok-701-speaker-qq1\n"
                                    "room 7 user 702 listener tok-702-listener-ww2\n"
                                    "room 7 user 703 listener tok-703-listener-ee3\n");
  Load(roster, 1);
  const size_t before = server->InfoLog().size();
  // The listeners NACK every datagram lost on the way in, again every 5 ms:
  // a NACK flood that names numbers the server holds and numbers it never had.
  const ClientRun run = RunClient(dir_, {"--server",
                                         server->media_address(),
                                         "--users",
                                         roster,
                                         "--duration",
                                         std::to_string(kSeconds),
                                         "--rate",
                                         "100",
                                         "--fec-k",
                                         "4",
                                         "--loss",
                                         "30",
                                         "--nack",
                                         "--nack-retry-ms",
                                         "5",
                                         "--nack-attempts",
                                         "100",
                                         "--hostile",
                                         std::to_string(kHostileRate),
                                         "--threads",
                                         "2"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  const std::string log = server->InfoLog();
  const size_t grown = log.size() - before;
  std::cout << "forwarding server info log grew by " << grown << " bytes in " << kSeconds << " s\n";
  EXPECT_LT(grown, kInfoLogBoundBytes);
  // One resend line per speaker per 10 s, however many numbers were asked for.
  EXPECT_LE(CountOf(log, "resend packet ["), 1u + kSeconds / 10);
}

TEST_F(LogGrowthTest, MixingServerLogStaysBoundedUnderHostileMix) {
  auto server = StartServer("mfu", "127.0.0.1", "", CORVANE_MFU_SERVER, "mixer_frame_log = 0\n");
  const std::string roster = Roster("room.txt",
                                    "room 7 user 701 speaker tok-701-speaker-qq1\n"
                                    "room 7 user 702 listener tok-702-listener-ww2\n");
  Load(roster, 1);
  const size_t before = server->InfoLog().size();
  const ClientRun run =
      RunClient(dir_, {"--server", server->media_address(), "--users", roster, "--duration",
                       std::to_string(kSeconds), "--mixer", "--hostile",
                       std::to_string(kHostileRate), "--threads", "2"});
  ASSERT_EQ(run.status, 0) << run.json << run.stderr_text;
  const std::string log = server->InfoLog();
  const size_t grown = log.size() - before;
  std::cout << "mixing server info log grew by " << grown << " bytes in " << kSeconds << " s\n";
  EXPECT_LT(grown, kInfoLogBoundBytes);
  // The redeliver tick it has no work for: once, then once an hour.
  EXPECT_EQ(CountOf(log, "timer id [65538] is invalid"), 1u);
}

}  // namespace
}  // namespace e2e
