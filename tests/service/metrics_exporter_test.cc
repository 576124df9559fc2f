#include "service/metrics_exporter.h"

#include <string>

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

}  // namespace
}  // namespace corvaneserver
