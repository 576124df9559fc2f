#include "packet/packet_statistics.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/time_utils.h"
#include "packet/packet_test_util.h"

#include "support/media_datagram.h"
#include "support/udp_test_peer.h"

namespace corvaneserver {
namespace {

constexpr unsigned int kFiveMinutesMs = 300000;

// A PacketStatistics fed with datagrams "received" on a real server socket,
// so that detect echoes really travel back to the client sockets.
class PacketStatisticsTest : public ::testing::Test {
 protected:
  std::shared_ptr<UDPPacket> From(const rtc::SocketAddress& source,
                                  const std::vector<uint8_t>& bytes) {
    auto packet =
        std::make_shared<UDPPacket>(bytes.data(), static_cast<unsigned int>(bytes.size()));
    packet->SetSocket(server_.fd(), source);
    return packet;
  }
  std::shared_ptr<UDPPacket> Voice(const rtc::SocketAddress& source, size_t size = 200,
                                   uint32_t sequence = 1) {
    auto bytes = testing_support::MediaDatagram(0xA0, 0x66, sequence, 7,
                                                testing_support::TokenHeader(2), "tk");
    bytes.resize(size, 0xEE);
    return From(source, bytes);
  }
  std::shared_ptr<UDPPacket> Cascade(const rtc::SocketAddress& source, uint32_t sequence = 1) {
    return From(source, testing_support::MediaDatagram(0xA0, 'n', sequence, 99, -1, "", "cascade"));
  }
  std::shared_ptr<UDPPacket> Detect(const rtc::SocketAddress& source) {
    return From(source, testing_support::DetectDatagram());
  }
  std::string ReportPrefix(const rtc::SocketAddress& source) {
    return "received packet from [" + source.ToString() + "] statistics: ";
  }

  rtc::ScopedFakeClock clock_;
  testutil::LogCapture log_;
  testing_support::UdpPeer server_;
  testing_support::UdpPeer client_;
};

TEST_F(PacketStatisticsTest, DetectPacketIsEchoedByteForByteAndNotDelivered) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto detect = testing_support::DetectDatagram(0x31);
  EXPECT_EQ(statistics.OnPacketReceived(From(client_.address(), detect)), -1);

  rtc::SocketAddress echo_from;
  auto echo = client_.Receive(test::kDeadline, &echo_from);
  ASSERT_TRUE(echo.has_value());
  EXPECT_EQ(*echo, detect);
  EXPECT_EQ(echo_from, server_.address());

  const auto* entry = statistics.Find(client_.address());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->count(), 0u);
  EXPECT_EQ(entry->total_bytes(), 0u);
}

TEST_F(PacketStatisticsTest, SecondDetectIsEchoedAgainAndCountsNothing) {
  PacketStatistics statistics(kFiveMinutesMs);
  EXPECT_EQ(statistics.OnPacketReceived(Detect(client_.address())), -1);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(client_.address(), 300)), 0);
  EXPECT_EQ(statistics.OnPacketReceived(Detect(client_.address())), -1);
  EXPECT_TRUE(client_.Receive().has_value());
  EXPECT_TRUE(client_.Receive().has_value());
  EXPECT_EQ(statistics.source_count(), 1u);
  EXPECT_EQ(statistics.Find(client_.address())->count(), 1u);
  EXPECT_EQ(statistics.Find(client_.address())->total_bytes(), 300u);
}

TEST_F(PacketStatisticsTest, ThirteenByteCOrIsAnOrdinaryDatagram) {
  PacketStatistics statistics(kFiveMinutesMs);
  EXPECT_EQ(
      statistics.OnPacketReceived(From(client_.address(), testing_support::DetectDatagram(0, 13))),
      -1);
  EXPECT_EQ(statistics.source_count(), 0u);
  // No echo went out: the marker is the first thing the client gets.
  const std::vector<uint8_t> marker = {'m', 'k'};
  ASSERT_TRUE(server_.SendTo(client_.address(), marker));
  auto first = client_.Receive();
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, marker);
}

TEST_F(PacketStatisticsTest, UnknownSourceIsDroppedUntilItDetects) {
  PacketStatistics statistics(kFiveMinutesMs);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(client_.address())), -1);
  EXPECT_EQ(statistics.source_count(), 0u);
  EXPECT_EQ(statistics.OnPacketReceived(Detect(client_.address())), -1);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(client_.address())), 0);
}

TEST_F(PacketStatisticsTest, FirstCascadeDatagramMakesSourceKnownWithoutCounting) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto peer = testing_support::Loopback(41001);
  EXPECT_EQ(statistics.OnPacketReceived(Cascade(peer, 1)), 0);
  ASSERT_NE(statistics.Find(peer), nullptr);
  EXPECT_EQ(statistics.Find(peer)->count(), 0u);
  EXPECT_EQ(statistics.OnPacketReceived(Cascade(peer, 2)), 0);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(peer, 100)), 0);
  EXPECT_EQ(statistics.Find(peer)->count(), 2u);
}

TEST_F(PacketStatisticsTest, CascadeTooShortForItsHeaderDoesNotAdmit) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto peer = testing_support::Loopback(41002);
  EXPECT_EQ(statistics.OnPacketReceived(From(peer, {0xA0, 'n'})), -1);
  EXPECT_EQ(statistics.source_count(), 0u);
}

TEST_F(PacketStatisticsTest, FecDatagramWrappingACascadeTypeDoesNotAdmit) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto peer = testing_support::Loopback(41003);
  // A FEC header (repair: number 5 past a block of one at 4) in front of bytes
  // that read as a cascade datagram.
  std::vector<uint8_t> fec(22, 0);
  fec[1] = 'P';
  fec[13] = 5;
  fec[17] = 4;
  fec[18] = 1;
  const auto inner = testing_support::MediaDatagram(0xA0, 'n', 1, 99, -1, "", "cascade");
  fec.insert(fec.end(), inner.begin(), inner.end());
  EXPECT_EQ(statistics.OnPacketReceived(From(peer, fec)), -1);
  EXPECT_EQ(statistics.source_count(), 0u);
}

// 100 datagrams of 200 bytes in the first 300 s and one more after that.
TEST_F(PacketStatisticsTest, ReportAfterIntervalGivesCountBytesAndRate) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto source = client_.address();
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 200)), 0);
    clock_.AdvanceTime(2990);
  }
  EXPECT_EQ(log_.Count("received packet from ["), 0u);
  clock_.AdvanceTime(kFiveMinutesMs - 100 * 2990);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 200)), 0);
  const auto lines = log_.Lines("received packet from [", rtc::LS_INFO);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(ReportPrefix(source) + "[C:101 | S:20200 | R:0 kbps]"), std::string::npos)
      << lines[0];
}

TEST_F(PacketStatisticsTest, ReportRateIsKilobitsPerSecondAndPeriodsFollowEachOther) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto source = client_.address();
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  for (int i = 0; i < 999; ++i) ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  clock_.AdvanceTime(kFiveMinutesMs);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  // 1 000 000 bytes in 300 000 ms.
  ASSERT_EQ(log_.Count(ReportPrefix(source) + "[C:1000 | S:1000000 | R:26 kbps]"), 1u);

  // The next period starts at the report: 300 000 bytes more over 300 s.
  for (int i = 0; i < 299; ++i) ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  clock_.AdvanceTime(kFiveMinutesMs - 1);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  EXPECT_EQ(log_.Count("received packet from ["), 1u);
  clock_.AdvanceTime(1);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  EXPECT_EQ(log_.Count(ReportPrefix(source) + "[C:1301 | S:1301000 | R:8 kbps]"), 1u);
}

TEST_F(PacketStatisticsTest, SilentSourceIsReportedNothingUntilItSpeaks) {
  PacketStatistics statistics(1000);
  const auto source = client_.address();
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  clock_.AdvanceTime(60000);
  EXPECT_EQ(log_.Count("received packet from ["), 0u);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  EXPECT_EQ(log_.Count("received packet from ["), 1u);
}

// Regression: the rate was bytes of a whole pause divided by one interval.
TEST_F(PacketStatisticsTest, RateAfterPauseIsOverTheTimeTheBytesTook) {
  PacketStatistics statistics(1000);
  const auto source = client_.address();
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  clock_.AdvanceTime(10000);
  ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 1000)), 0);
  // 2000 bytes in 10 s is 1 kbit/s, not 16.
  EXPECT_EQ(log_.Count(ReportPrefix(source) + "[C:2 | S:2000 | R:1 kbps]"), 1u);
}

// Regression: byte counts of a busy interval wrapped at 32 bits.
TEST_F(PacketStatisticsTest, LargeIntervalByteCountDoesNotWrap) {
  const auto source = testing_support::Loopback(41003);
  PacketStatistics::UnitPacketStat stat(source, 1000);
  stat.OnReceived(4000000000u);
  clock_.AdvanceTime(1000);
  stat.OnReceived(1000000000u);
  EXPECT_EQ(stat.total_bytes(), 5000000000ull);
  EXPECT_EQ(log_.Count("[C:2 | S:5000000000 | R:40000000 kbps]"), 1u);
}

TEST_F(PacketStatisticsTest, ZeroIntervalCountsButNeverReports) {
  PacketStatistics statistics(0);
  const auto source = client_.address();
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(statistics.OnPacketReceived(Voice(source, 100)), 0);
    clock_.AdvanceTime(1000);
  }
  EXPECT_EQ(statistics.Find(source)->count(), 10u);
  EXPECT_EQ(log_.Count("received packet from ["), 0u);
}

TEST_F(PacketStatisticsTest, SilentSourceStaysKnownDuringFirstThirtyMinutes) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto quiet = testing_support::Loopback(41004);
  const auto talker = testing_support::Loopback(41005);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(quiet)), 0);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  // Silent for almost 30 minutes while another source keeps sweeps coming.
  for (int minute = 1; minute < 30; ++minute) {
    clock_.AdvanceTime(60000);
    ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  }
  clock_.AdvanceTime(59999);
  statistics.RemoveOvertimeStatistics();
  EXPECT_EQ(statistics.OnPacketReceived(Voice(quiet)), 0);
  EXPECT_EQ(log_.Count("remove ["), 0u);
}

TEST_F(PacketStatisticsTest, AfterThirtyMinutesSourcesSilentFor120SecondsAreRemoved) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto quiet = testing_support::Loopback(41006);
  const auto talker = testing_support::Loopback(41007);
  clock_.AdvanceTime(PacketStatistics::kSweepDelayMs - 60000);
  // Both last heard at 29:00; the talker then speaks every 30 s.
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(quiet)), 0);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  for (int i = 0; i < 3; ++i) {
    clock_.AdvanceTime(30000);
    ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  }

  // 30:59: silent for 119 s, kept.
  clock_.AdvanceTime(29000);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  EXPECT_NE(statistics.Find(quiet), nullptr);
  EXPECT_EQ(log_.Count("remove ["), 0u);

  // 31:00: silent for 120 s; the talker's next datagram sweeps it away.
  clock_.AdvanceTime(1000);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  EXPECT_EQ(statistics.Find(quiet), nullptr);
  EXPECT_EQ(log_.Count("remove [" + quiet.ToString() + "] packet statistics", rtc::LS_INFO), 1u);
  EXPECT_NE(statistics.Find(talker), nullptr);

  // Unknown again: its voice is dropped until it probes again.
  EXPECT_EQ(statistics.OnPacketReceived(Voice(quiet)), -1);
}

// Regression: a repeated probe left the entry's silence clock running, so the
// sweep right after it dropped the client that had just announced itself.
TEST_F(PacketStatisticsTest, RepeatedDetectKeepsSourceFromBeingSwept) {
  PacketStatistics statistics(kFiveMinutesMs);
  const auto source = client_.address();
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  clock_.AdvanceTime(PacketStatistics::kSweepDelayMs + 119000);
  ASSERT_EQ(statistics.OnPacketReceived(Detect(source)), -1);
  clock_.AdvanceTime(2000);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(source)), 0);
}

TEST_F(PacketStatisticsTest, SweepBeforeThirtyMinutesRemovesNothing) {
  PacketStatistics statistics(kFiveMinutesMs);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(testing_support::Loopback(41008))), 0);
  clock_.AdvanceTime(PacketStatistics::kSweepDelayMs - 1);
  statistics.RemoveOvertimeStatistics();
  EXPECT_EQ(statistics.source_count(), 1u);
  clock_.AdvanceTime(1);
  statistics.RemoveOvertimeStatistics();
  EXPECT_EQ(statistics.source_count(), 0u);
}

// Regression: sources were keyed by a 32-bit hash of the address, so a
// stranger whose hash matched a known source was admitted without a probe.
TEST_F(PacketStatisticsTest, SourcesWithEqualHashesKeepSeparateEntries) {
  rtc::SocketAddress known;
  rtc::SocketAddress stranger;
  ASSERT_TRUE(known.FromString("127.0.0.1:40000"));
  ASSERT_TRUE(stranger.FromString("127.1.0.0:40256"));
  ASSERT_NE(known, stranger);
  ASSERT_EQ(static_cast<uint32_t>(known.Hash()), static_cast<uint32_t>(stranger.Hash()));

  PacketStatistics statistics(kFiveMinutesMs);
  ASSERT_EQ(statistics.OnPacketReceived(Detect(known)), -1);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(stranger)), -1);
  EXPECT_EQ(statistics.Find(stranger), nullptr);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(known)), 0);
}

TEST_F(PacketStatisticsTest, SweepOfManySourcesWritesOneLinePerIntervalWithTheCount) {
  PacketStatistics statistics(kFiveMinutesMs);
  for (int port = 42000; port < 42500; ++port) {
    ASSERT_EQ(statistics.OnPacketReceived(Detect(testing_support::Loopback(port))), -1);
  }
  const rtc::SocketAddress talker = testing_support::Loopback(41000);
  ASSERT_EQ(statistics.OnPacketReceived(Detect(talker)), -1);
  clock_.AdvanceTime(PacketStatistics::kSweepDelayMs);
  ASSERT_EQ(statistics.OnPacketReceived(Detect(talker)), -1);  // heard from
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);  // sweeps the 500 away
  EXPECT_EQ(statistics.source_count(), 1u);
  EXPECT_EQ(log_.Count("] packet statistics (499 more since the last line)", rtc::LS_INFO), 1u);
  EXPECT_EQ(log_.Count("remove ["), 1u);

  // More expire within the interval: counted, written with the next line.
  for (int port = 43000; port < 43010; ++port) {
    ASSERT_EQ(statistics.OnPacketReceived(Detect(testing_support::Loopback(port))), -1);
  }
  clock_.AdvanceTime(PacketStatistics::kOvertimeMs);
  ASSERT_EQ(statistics.OnPacketReceived(Detect(talker)), -1);
  ASSERT_EQ(statistics.OnPacketReceived(Cascade(talker)), 0);
  EXPECT_EQ(statistics.source_count(), 1u);
  EXPECT_EQ(log_.Count("remove ["), 2u) << "the interval has passed";
  EXPECT_EQ(log_.Count("] packet statistics (9 more since the last line)"), 1u);
}

TEST_F(PacketStatisticsTest, DestructionRemovesEverySourceWithItsLine) {
  {
    PacketStatistics statistics(kFiveMinutesMs);
    ASSERT_EQ(statistics.OnPacketReceived(Cascade(testing_support::Loopback(41009))), 0);
    ASSERT_EQ(statistics.OnPacketReceived(Cascade(testing_support::Loopback(41010))), 0);
  }
  EXPECT_EQ(log_.Count("remove [127.0.0.1:41009] packet statistics"), 1u);
  EXPECT_EQ(log_.Count("remove [127.0.0.1:41010] packet statistics"), 1u);
}

TEST_F(PacketStatisticsTest, FullTableForgetsIdleSourcesAndRefusesWhenNoneIs) {
  // Detects from ever new ports, as a flood would send them. Each is echoed
  // to a port nobody reads, which is harmless.
  PacketStatistics statistics(kFiveMinutesMs);
  auto source = [](uint32_t n) {
    return rtc::SocketAddress("127.0.0.2", static_cast<int>(1024 + n % 60000));
  };
  auto source_b = [](uint32_t n) {
    return rtc::SocketAddress("127.0.0.3", static_cast<int>(1024 + n % 60000));
  };
  for (uint32_t n = 0; n < PacketStatistics::kMaxSources; ++n) {
    const rtc::SocketAddress from = n < 60000 ? source(n) : source_b(n);
    ASSERT_EQ(statistics.OnPacketReceived(Detect(from)), -1);
  }
  ASSERT_EQ(statistics.source_count(), PacketStatistics::kMaxSources);

  // Full and nobody idle yet: the newcomer is refused, not echoed, not known.
  EXPECT_EQ(statistics.OnPacketReceived(Detect(client_.address())), -1);
  EXPECT_EQ(statistics.Find(client_.address()), nullptr);
  EXPECT_FALSE(client_.Receive(std::chrono::milliseconds(100)).has_value());
  EXPECT_EQ(log_.Count("refuse new source [" + client_.address().ToString() + "]", rtc::LS_WARNING),
            1u);

  // One source keeps talking; the rest go silent long enough to be crowded out.
  clock_.AdvanceTime(PacketStatistics::kCrowdedIdleMs - 1000);
  EXPECT_EQ(statistics.OnPacketReceived(Voice(source(7))), 0);
  clock_.AdvanceTime(1000);
  EXPECT_EQ(statistics.OnPacketReceived(Detect(client_.address())), -1);
  EXPECT_TRUE(client_.Receive().has_value());
  EXPECT_NE(statistics.Find(client_.address()), nullptr);
  EXPECT_NE(statistics.Find(source(7)), nullptr);
  EXPECT_EQ(statistics.source_count(), 2u);
  // Crowded out without a line each: one summary line.
  EXPECT_EQ(log_.Count("packet statistics full, forgot [" +
                       std::to_string(PacketStatistics::kMaxSources - 1) + "] sources"),
            1u);
  EXPECT_EQ(log_.Count("] packet statistics"), 0u);
}

}  // namespace
}  // namespace corvaneserver
