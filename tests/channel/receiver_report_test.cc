#include "channel/receiver_report.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "base/log_rate_limiter.h"
#include "base/socket_address.h"
#include "base/time_utils.h"
#include "packet/udp_packet.h"

#include "support/log_capture.h"
#include "support/media_datagram.h"

namespace corvaneserver {
namespace {

using testing_support::ReceiverReportDatagram;

TEST(ReceiverReportTest, LowerCounterReplacesCurrentButNotBelowBase) {
  ReceiverReport report;
  report.AddSample(7, 10);
  report.AddSample(7, 4);
  // Only one sample, base 0, current 4: the first report contributes 4.
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(4));
}

TEST(ReceiverReportTest, TwoListenersAverageRoundsHalfUp) {
  ReceiverReport report;
  report.AddSample(1, 10);
  report.AddSample(2, 15);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(13));
  EXPECT_EQ(report.Total(), 13u);
  // Nothing new: no value, the total stays.
  EXPECT_EQ(report.GetReport(), std::nullopt);
  EXPECT_EQ(report.Total(), 13u);
  // Listener 1 moves to 20, listener 2 stays silent: sum 10 over 2 samples.
  report.AddSample(1, 20);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(18));
}

TEST(ReceiverReportTest, CounterBelowBaseContributesNothing) {
  ReceiverReport report;
  report.AddSample(1, 100);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(100));
  report.AddSample(1, 3);  // restarted counting: held at base 100
  EXPECT_EQ(report.GetReport(), std::nullopt);
  EXPECT_EQ(report.Total(), 100u);
  report.AddSample(1, 150);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(150));
}

TEST(ReceiverReportTest, NoSamplesNoReport) {
  ReceiverReport report;
  EXPECT_EQ(report.GetReport(), std::nullopt);
  EXPECT_EQ(report.Total(), 0u);
}

TEST(ReceiverReportTest, AverageBelowHalfGivesNoReportButCountsAllListeners) {
  ReceiverReport report;
  report.AddSample(1, 0);
  report.AddSample(2, 0);
  report.AddSample(3, 1);  // 1 / 3 + 0.5 rounds to 0
  EXPECT_EQ(report.GetReport(), std::nullopt);
  EXPECT_EQ(report.Total(), 0u);
}

TEST(ReceiverReportTest, ResetDropsTotalAndSamples) {
  ReceiverReport report;
  report.AddSample(1, 10);
  ASSERT_EQ(report.GetReport(), std::optional<uint32_t>(10));
  report.Reset();
  EXPECT_EQ(report.Total(), 0u);
  EXPECT_EQ(report.SampleCount(), 0u);
  report.AddSample(1, 4);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(4));
}

TEST(ReceiverReportTest, RemoveSampleDropsOnlyThatListener) {
  ReceiverReport report;
  report.AddSample(1, 10);
  report.AddSample(2, 30);
  report.RemoveSample(2);
  report.RemoveSample(99);  // absent: nothing happens
  EXPECT_EQ(report.SampleCount(), 1u);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(10));
}

TEST(ReceiverReportTest, LargeCountersDoNotOverflowAndTotalKeepsLow32Bits) {
  ReceiverReport report;
  report.AddSample(1, 0xFFFFFFFFu);
  report.AddSample(2, 0xFFFFFFFFu);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(0xFFFFFFFFu));
  // Listener 1 leaves, listener 3 reports 2: average 1, the total wraps to 0,
  // which is still a report.
  report.RemoveSample(1);
  report.AddSample(3, 2);
  EXPECT_EQ(report.GetReport(), std::optional<uint32_t>(0u));
  EXPECT_EQ(report.Total(), 0u);
}

TEST(ReceiverReportParseTest, ReadsEveryDeclaredBlock) {
  const auto bytes = ReceiverReportDatagram(7, {{1, 10}, {2, 20}, {3, 30}});
  ParsedReceiverReport parsed;
  ASSERT_TRUE(ParseReceiverReport(bytes.data(), bytes.size(), &parsed));
  EXPECT_EQ(parsed.reporter_id, 7u);
  EXPECT_EQ(parsed.declared_blocks, 3u);
  ASSERT_EQ(parsed.block_count, 3u);
  EXPECT_FALSE(parsed.truncated());
  EXPECT_EQ(parsed.blocks[0].user_id, 1u);
  EXPECT_EQ(parsed.blocks[1].user_id, 2u);
  EXPECT_EQ(parsed.blocks[2].user_id, 3u);
  EXPECT_EQ(parsed.blocks[2].value, 30u);
}

TEST(ReceiverReportParseTest, ShorterThanHeaderIsRefused) {
  const auto bytes = ReceiverReportDatagram(7, {});
  ParsedReceiverReport parsed;
  for (size_t size = 0; size < kReceiverReportHeaderSize; ++size) {
    EXPECT_FALSE(ParseReceiverReport(bytes.data(), size, &parsed)) << size;
  }
  EXPECT_TRUE(ParseReceiverReport(bytes.data(), bytes.size(), &parsed));
  EXPECT_EQ(parsed.block_count, 0u);
}

TEST(ReceiverReportParseTest, OnlyBlocksWhollyInsideAreUsed) {
  // Three blocks declared, two and a half present.
  auto bytes = ReceiverReportDatagram(7, {{1, 10}, {2, 20}, {3, 30}});
  bytes.resize(bytes.size() - 6);
  ParsedReceiverReport parsed;
  ASSERT_TRUE(ParseReceiverReport(bytes.data(), bytes.size(), &parsed));
  EXPECT_EQ(parsed.declared_blocks, 3u);
  EXPECT_EQ(parsed.block_count, 2u);
  EXPECT_TRUE(parsed.truncated());
  EXPECT_EQ(parsed.blocks[1].value, 20u);
}

TEST(ReceiverReportParseTest, ExtraBytesBeyondDeclaredBlocksAreIgnored) {
  const auto bytes = ReceiverReportDatagram(7, {{1, 10}, {2, 20}}, /*declared=*/1);
  ParsedReceiverReport parsed;
  ASSERT_TRUE(ParseReceiverReport(bytes.data(), bytes.size(), &parsed));
  EXPECT_EQ(parsed.block_count, 1u);
  EXPECT_EQ(parsed.blocks[0].user_id, 1u);
}

TEST(ReceiverReportParseTest, ServerReportIsTwentySixBytes) {
  uint8_t out[kServerReportSize];
  BuildServerReport(0x0102030405060708ull, 0xAABBCCDDu, out);
  const uint8_t expected[kServerReportSize] = {0xA1, 0xC8, 0, 0, 0,    0,    0,    0,   0,
                                               0,    0,    0, 0, 0,    1,    2,    3,   4,
                                               5,    6,    7, 8, 0xAA, 0xBB, 0xCC, 0xDD};
  EXPECT_EQ(std::vector<uint8_t>(out, out + sizeof(out)),
            std::vector<uint8_t>(expected, expected + sizeof(expected)));
  // The server's own report reads back as one block about the speaker.
  ParsedReceiverReport parsed;
  ASSERT_TRUE(ParseReceiverReport(out, sizeof(out), &parsed));
  ASSERT_EQ(parsed.block_count, 1u);
  EXPECT_EQ(parsed.reporter_id, 0u);
  EXPECT_EQ(parsed.blocks[0].user_id, 0x0102030405060708ull);
  EXPECT_EQ(parsed.blocks[0].value, 0xAABBCCDDu);
}

TEST(ReceiverReportReadTest, TruncatedReportsAreLoggedAtMostOncePerPeriod) {
  rtc::ScopedFakeClock clock;
  testutil::LogCapture logs(rtc::LS_ERROR);
  rtc::LogRateLimiter limiter(10000);
  auto bytes = ReceiverReportDatagram(7, {{1, 10}, {2, 20}});
  bytes.resize(bytes.size() - 1);
  UDPPacket packet(bytes.data(), static_cast<unsigned int>(bytes.size()));
  packet.SetSocket(3, rtc::SocketAddress("127.0.0.1", 4000));
  ParsedReceiverReport parsed;
  const std::string line =
      "receiver report from [127.0.0.1:4000] declares [2] blocks but only [1]"
      " fit in [37] bytes, using those";
  ASSERT_TRUE(ReadReceiverReport(packet, &limiter, &parsed));
  EXPECT_EQ(parsed.block_count, 1u);
  ASSERT_TRUE(ReadReceiverReport(packet, &limiter, &parsed));
  ASSERT_EQ(logs.Lines(line).size(), 1u);
  EXPECT_EQ(logs.Count("more since the last line"), 0u);
  clock.AdvanceTime(10000);
  ASSERT_TRUE(ReadReceiverReport(packet, &limiter, &parsed));
  EXPECT_EQ(logs.Lines(line).size(), 2u);
  EXPECT_EQ(logs.Count(line + " (1 more since the last line)"), 1u);
}

TEST(ReceiverReportReadTest, ShortDatagramIsRefusedWithoutALine) {
  testutil::LogCapture logs(rtc::LS_ERROR);
  rtc::LogRateLimiter limiter(10000);
  const auto bytes = ReceiverReportDatagram(7, {});
  UDPPacket packet(bytes.data(), static_cast<unsigned int>(kReceiverReportHeaderSize - 1));
  ParsedReceiverReport parsed;
  EXPECT_FALSE(ReadReceiverReport(packet, &limiter, &parsed));
  EXPECT_EQ(logs.Lines("receiver report").size(), 0u);
}

}  // namespace
}  // namespace corvaneserver
