#include "client/client_options.h"

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace corvanetools {
namespace {

ParseOutcome Parse(const std::vector<std::string>& args, ClientOptions* options,
                   std::string* error) {
  return ParseClientOptions(args, options, error);
}

TEST(ClientOptionsTest, Defaults) {
  ClientOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t"}, &options, &error),
            ParseOutcome::kRun)
      << error;
  EXPECT_EQ(options.rate, 50);
  EXPECT_EQ(options.duration_s, 10);
  EXPECT_EQ(options.voice_payload_type, 0x64);
  EXPECT_EQ(options.threads, 1);
  EXPECT_FALSE(options.json);
  ASSERT_EQ(options.roster.users.size(), 1u);
}

TEST(ClientOptionsTest, EveryOptionInBothSpellings) {
  ClientOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--server=127.0.0.1:8000",
                   "--generate",
                   "2,3,4,1",
                   "--first-room=50",
                   "--first-user",
                   "500",
                   "--duration",
                   "2.5",
                   "--rate=25",
                   "--size",
                   "40",
                   "--voice-type",
                   "0x66",
                   "--voice-ack",
                   "--reliable-every",
                   "4",
                   "--music-every=9",
                   "--withhold",
                   "30",
                   "--withhold-mode",
                   "all",
                   "--keepalive-ms",
                   "200",
                   "--report-ms",
                   "0",
                   "--retry-ms",
                   "20",
                   "--handshake-timeout-ms",
                   "900",
                   "--drain-ms",
                   "300",
                   "--catch-up-ms",
                   "20",
                   "--threads",
                   "2",
                   "--json",
                   "--quiet",
                   "--table-rows",
                   "5",
                   "--only",
                   "500,502-503",
                   "--no-peers",
                   "--no-detect",
                   "--bind",
                   "127.0.0.2"},
                  &options, &error),
            ParseOutcome::kRun)
      << error;
  EXPECT_EQ(options.roster.users.size(), 16u);
  EXPECT_EQ(options.roster.users[0].room_id, 50u);
  EXPECT_EQ(options.roster.users[0].user_id, 500u);
  EXPECT_EQ(options.duration_s, 2.5);
  EXPECT_EQ(options.rate, 25);
  EXPECT_EQ(options.payload_size, 40u);
  EXPECT_EQ(options.voice_payload_type, 0x66);
  EXPECT_TRUE(options.voice_ack);
  EXPECT_EQ(options.reliable_every, 4);
  EXPECT_EQ(options.music_every, 9);
  EXPECT_EQ(options.withhold_percent, 30);
  EXPECT_EQ(options.withhold_mode, WithholdMode::kAll);
  EXPECT_EQ(options.keepalive_ms, 200);
  EXPECT_EQ(options.report_ms, 0);
  EXPECT_EQ(options.retry_ms, 20);
  EXPECT_EQ(options.handshake_timeout_ms, 900);
  EXPECT_EQ(options.drain_ms, 300);
  EXPECT_EQ(options.catch_up_ms, 20);
  EXPECT_EQ(options.threads, 2);
  EXPECT_TRUE(options.json);
  EXPECT_TRUE(options.quiet);
  EXPECT_EQ(options.table_rows, 5);
  EXPECT_EQ(options.only, (std::set<uint64_t>{500, 502, 503}));
  EXPECT_FALSE(options.simulate_peers);
  EXPECT_TRUE(options.skip_detect);
  EXPECT_EQ(options.bind_ip, "127.0.0.2");
}

TEST(ClientOptionsTest, RefusesBadValues) {
  const std::vector<std::vector<std::string>> bad = {
      {"--server", "127.0.0.1"},  // no port
      {"--rate", "0"},           {"--rate", "fast"},
      {"--size", "15"},          // below the probe
      {"--voice-type", "0x65"},  // odd: an acknowledgement type
      {"--voice-type", "0x82"},  // kept-until-acknowledged type
      {"--voice-type", "0x50"},  // FEC marker
      {"--withhold", "101"},     {"--withhold-mode", "some"},
      {"--threads", "3"},        {"--catch-up-ms", "-1"},
      {"--generate", "0,1,1"},   {"--generate", "1,2"},
      {"--only", "5-3"},         {"--duration"},  // missing value
      {"--frobnicate", "1"},
  };
  for (const auto& args : bad) {
    ClientOptions options;
    std::string error;
    std::vector<std::string> full = {"--user", "1:2:speaker:t", "--server", "127.0.0.1:1"};
    full.insert(full.end(), args.begin(), args.end());
    EXPECT_EQ(Parse(full, &options, &error), ParseOutcome::kError) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(ClientOptionsTest, NeedsUsersAndAServer) {
  ClientOptions options;
  std::string error;
  EXPECT_EQ(Parse({"--server", "127.0.0.1:1"}, &options, &error), ParseOutcome::kError);
  ClientOptions no_server;
  EXPECT_EQ(Parse({"--user", "1:2:speaker:t"}, &no_server, &error), ParseOutcome::kError);
  EXPECT_NE(error.find("server"), std::string::npos);
  ClientOptions twice;
  EXPECT_EQ(
      Parse({"--server", "127.0.0.1:1", "--user", "1:2:speaker:t", "--user", "1:2:listener:u"},
            &twice, &error),
      ParseOutcome::kError);
}

TEST(ClientOptionsTest, WriteUsersWithoutServerOnlyWrites) {
  ClientOptions options;
  std::string error;
  EXPECT_EQ(Parse({"--generate", "1,3,7", "--write-users", "/tmp/x"}, &options, &error),
            ParseOutcome::kWriteOnly);
  EXPECT_EQ(options.roster.users.size(), 10u);
}

TEST(ClientOptionsTest, UsersFileAndHelp) {
  testutil::TempDir dir;
  testutil::WriteFile(dir.File("r.txt"),
                      "room 1 user 2 speaker a server=127.0.0.1:9\ncascade 1 id 3 address "
                      "127.0.0.1:10\n");
  ClientOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--users", dir.File("r.txt")}, &options, &error), ParseOutcome::kRun) << error;
  EXPECT_EQ(options.roster.cascades.size(), 1u);
  ClientOptions help;
  EXPECT_EQ(Parse({"--users", dir.File("r.txt"), "--help"}, &help, &error), ParseOutcome::kHelp);
  EXPECT_NE(ClientUsage().find("--withhold"), std::string::npos);
}

TEST(ClientOptionsTest, UsableVoicePayloadTypes) {
  EXPECT_TRUE(IsUsableVoicePayloadType(0x64));
  EXPECT_TRUE(IsUsableVoicePayloadType(0));
  for (int type : {0x50, 0x62, 0x6E, 0x80, 0x82, 0xC8, 0xCA, 0x7F, 0x81, 1, 256, -2}) {
    EXPECT_FALSE(IsUsableVoicePayloadType(type)) << type;
  }
}

}  // namespace
}  // namespace corvanetools

namespace corvanetools {
namespace {

TEST(ClientFecOptionsTest, FecLossAndNacks) {
  ClientOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t", "--fec-k", "4",
                   "--fec-r=2", "--loss", "10", "--loss-seed", "7", "--nack", "--nack-retry-ms",
                   "30", "--nack-attempts", "5", "--level", "33"},
                  &options, &error),
            ParseOutcome::kRun)
      << error;
  EXPECT_TRUE(options.FecOn());
  EXPECT_EQ(options.fec_k, 4);
  EXPECT_EQ(options.fec_r, 2);
  EXPECT_EQ(options.loss_percent, 10);
  EXPECT_EQ(options.loss_seed, 7u);
  EXPECT_TRUE(options.nack);
  EXPECT_EQ(options.nack_retry_ms, 30);
  EXPECT_EQ(options.nack_attempts, 5);
  EXPECT_EQ(options.level, 33);
  EXPECT_FALSE(options.mixer);
}

TEST(ClientFecOptionsTest, MixerMeansOneSourceBlocksByDefault) {
  ClientOptions options;
  std::string error;
  ASSERT_EQ(
      Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t", "--mixer"}, &options, &error),
      ParseOutcome::kRun)
      << error;
  EXPECT_TRUE(options.mixer);
  EXPECT_EQ(options.fec_k, 1);
  EXPECT_EQ(options.fec_r, 0);
}

TEST(ClientFecOptionsTest, RefusesWhatDoesNotGoTogether) {
  const std::vector<std::vector<std::string>> refused = {
      {"--fec-r", "1"},                           // repairs without FEC
      {"--loss", "5"},                            // loss without FEC
      {"--nack"},                                 // NACKs without FEC
      {"--mixer", "--nack"},                      // a mixer answers no NACKs
      {"--fec-k", "1", "--reliable-every", "3"},  // FEC carries voice only
      {"--fec-k", "1", "--size", "17"},           // no room for level, mark and probe
      {"--fec-k", "0"},
      {"--fec-k", "17"},
      {"--fec-r", "17", "--fec-k", "1"},
      {"--fec-k", "1", "--loss", "101"},
      {"--level", "256"},
  };
  for (const auto& extra : refused) {
    ClientOptions options;
    std::string error;
    std::vector<std::string> args = {"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(Parse(args, &options, &error), ParseOutcome::kError) << extra[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace corvanetools

namespace corvanetools {
namespace {

TEST(ClientOptionsTest, WavGivesASpeakerItsFileAndSpeechNeedsOneFramePerDatagram) {
  ClientOptions options;
  std::string error;
  ASSERT_EQ(
      Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t", "--user", "1:3:listener:u",
             "--wav", "2=/x/a b.wav", "--audio-out", "/tmp/o", "--playout-ms", "80"},
            &options, &error),
      ParseOutcome::kRun)
      << error;
  EXPECT_EQ(options.roster.users[0].wav, "/x/a b.wav");
  EXPECT_EQ(options.audio_out, "/tmp/o");
  EXPECT_EQ(options.playout_ms, 80);
  // Roster round trip of the field.
  Roster roster;
  ASSERT_TRUE(ParseRoster("room 1 user 5 speaker t wav=/x/a.wav\n", &roster, &error)) << error;
  EXPECT_EQ(roster.users[0].wav, "/x/a.wav");
  EXPECT_NE(FormatRoster(roster).find(" wav=/x/a.wav"), std::string::npos);

  ClientOptions unknown;
  EXPECT_EQ(Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t", "--wav", "9=a.wav"},
                  &unknown, &error),
            ParseOutcome::kError);
  EXPECT_EQ(error, "--wav names user 9, who is not in the roster");
  ClientOptions fast;
  EXPECT_EQ(Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t", "--wav", "2=a.wav",
                   "--rate", "100"},
                  &fast, &error),
            ParseOutcome::kError);
  EXPECT_EQ(
      Parse({"--server", "127.0.0.1:8000", "--user", "1:2:speaker:t", "--wav", "2"}, &fast, &error),
      ParseOutcome::kError);
}

}  // namespace
}  // namespace corvanetools
