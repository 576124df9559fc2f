#include "service/metrics_exporter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include "base/metrics.h"

#include "support/log_capture.h"

namespace corvaneserver {
namespace {

std::string Exposition() {
  return prometheus::TextSerializer().Serialize(MetricsExporter::CollectRegistry());
}

TEST(MetricsExporterTest, OneFamilyPerNameWithEveryLabelSet) {
  rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
  rtc::Counter ok, failed;
  rtc::Histogram lateness({0.001, 0.002});
  ok.Add(3);
  failed.Add();
  lateness.Observe(0.0015);
  const int ids[] = {
      registry.AddCounter("corvane_test_requests_total", "Requests.", {{"result", "ok"}}, &ok),
      registry.AddGauge("corvane_test_depth", "Depth.", {{"worker", "0"}}, [] { return 4; }),
      registry.AddCounter("corvane_test_requests_total", "Requests.", {{"result", "failed"}},
                          &failed),
      registry.AddHistogram("corvane_test_lateness_seconds", "Lateness.", {}, &lateness)};
  const std::string text = Exposition();
  for (int id : ids) registry.Remove(id);

  EXPECT_NE(text.find("# TYPE corvane_test_requests_total counter\n"
                      "corvane_test_requests_total{result=\"ok\"} 3\n"
                      "corvane_test_requests_total{result=\"failed\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("# TYPE corvane_test_depth gauge\ncorvane_test_depth{worker=\"0\"} 4\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("corvane_test_lateness_seconds_bucket{le=\"0.001\"} 0\n"
                      "corvane_test_lateness_seconds_bucket{le=\"0.002\"} 1\n"
                      "corvane_test_lateness_seconds_bucket{le=\"+Inf\"} 1\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(Exposition().find("corvane_test_"), std::string::npos);
}

TEST(MetricsExporterTest, AddressThatIsNotIpAndPortIsRefusedWithALine) {
  testutil::LogCapture log;
  EXPECT_EQ(MetricsExporter::Start("localhost:9100"), nullptr);
  EXPECT_EQ(MetricsExporter::Start("127.0.0.1"), nullptr);
  EXPECT_EQ(log.Count("is not ip:port", rtc::LS_ERROR), 2u);
}

TEST(MetricsExporterTest, AddressInUseIsRefusedWithALine) {
  testutil::LogCapture log;
  auto first = MetricsExporter::Start("127.0.0.1:0");
  ASSERT_NE(first, nullptr);
  ASSERT_GT(first->port(), 0);
  EXPECT_EQ(MetricsExporter::Start("127.0.0.1:" + std::to_string(first->port())), nullptr);
  EXPECT_EQ(log.Count("metrics listen in 127.0.0.1:", rtc::LS_ERROR), 1u);
}

// A TCP connection to 127.0.0.1:port, or -1.
int Connect(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Everything the peer sends until it closes or the deadline passes.
std::string ReadUntilClose(int fd, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::string text;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return text;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) != 1) return text;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

TEST(MetricsExporterTest, ScrapeIsServedBesideIdleAndHalfSentConnections) {
  auto exporter = MetricsExporter::Start("127.0.0.1:0");
  ASSERT_NE(exporter, nullptr);
  // Clients that hold a connection without finishing a request.
  std::vector<int> stalled = {Connect(exporter->port()), Connect(exporter->port())};
  const int half = Connect(exporter->port());
  const std::string part = "GET /metrics HTTP/1.1\r\nHost: 127";
  ASSERT_EQ(send(half, part.data(), part.size(), MSG_NOSIGNAL), static_cast<ssize_t>(part.size()));
  stalled.push_back(half);
  for (int fd : stalled) ASSERT_GE(fd, 0);

  const auto start = std::chrono::steady_clock::now();
  const int scrape = Connect(exporter->port());
  ASSERT_GE(scrape, 0);
  const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
  ASSERT_EQ(send(scrape, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  const std::string answer = ReadUntilClose(scrape, std::chrono::seconds(5));
  const auto took = std::chrono::steady_clock::now() - start;
  close(scrape);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_LT(took, std::chrono::seconds(1));
  std::cout << "scrape beside 3 stalled connections took "
            << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << " us\n";

  // The stalled connections are closed by the server's request time-out,
  // well before the library's default of 30 s.
  for (int fd : stalled) {
    const auto wait_start = std::chrono::steady_clock::now();
    ReadUntilClose(fd, std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - wait_start, std::chrono::seconds(5));
    close(fd);
  }
}

}  // namespace
}  // namespace corvaneserver
