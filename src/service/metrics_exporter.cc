#include "service/metrics_exporter.h"

#include <exception>
#include <limits>
#include <map>
#include <string>
#include <utility>

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include "base/logging.h"
#include "base/metrics.h"
#include "base/socket_address.h"
#include "service/process_collector.h"

namespace corvaneserver {

class MetricsExporter::Collector : public prometheus::Collectable {
 public:
  std::vector<prometheus::MetricFamily> Collect() const override { return CollectRegistry(); }
};

namespace {

// Each HTTP worker serves one connection at a time: with several, a client
// that connects and sends nothing (or trickles a header) occupies one worker,
// not the endpoint, and the time-out frees that worker again soon.
constexpr int kHttpWorkers = 4;
constexpr int kRequestTimeoutMs = 2000;

prometheus::MetricType TypeOf(rtc::MetricRegistry::Type type) {
  switch (type) {
    case rtc::MetricRegistry::Type::kCounter:
      return prometheus::MetricType::Counter;
    case rtc::MetricRegistry::Type::kGauge:
      return prometheus::MetricType::Gauge;
    case rtc::MetricRegistry::Type::kHistogram:
      return prometheus::MetricType::Histogram;
  }
  return prometheus::MetricType::Untyped;
}

prometheus::ClientMetric MetricOf(const rtc::MetricRegistry::Entry& entry) {
  prometheus::ClientMetric metric;
  for (const auto& [name, value] : entry.labels) metric.label.push_back({name, value});
  switch (entry.type) {
    case rtc::MetricRegistry::Type::kCounter:
      metric.counter.value = static_cast<double>(entry.counter->Value());
      break;
    case rtc::MetricRegistry::Type::kGauge:
      metric.gauge.value = entry.gauge();
      break;
    case rtc::MetricRegistry::Type::kHistogram: {
      const rtc::Histogram::Snapshot snapshot = entry.histogram->Take();
      metric.histogram.sample_count = snapshot.count;
      metric.histogram.sample_sum = snapshot.sum;
      for (size_t i = 0; i < snapshot.upper_bounds.size(); ++i) {
        metric.histogram.bucket.push_back({snapshot.cumulative[i], snapshot.upper_bounds[i]});
      }
      metric.histogram.bucket.push_back({snapshot.count, std::numeric_limits<double>::infinity()});
      break;
    }
  }
  return metric;
}

}  // namespace

std::vector<prometheus::MetricFamily> MetricsExporter::CollectRegistry() {
  rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
  // Held while gauges read their owners, so that an owner that removes its
  // gauges first can go away safely afterwards.
  rtc::MutexLock reading(&registry.read_lock());
  std::vector<prometheus::MetricFamily> families;
  std::map<std::string, size_t> index;
  for (const rtc::MetricRegistry::Entry& entry : registry.Entries()) {
    auto [it, added] = index.emplace(entry.name, families.size());
    if (added) {
      prometheus::MetricFamily family;
      family.name = entry.name;
      family.help = entry.help;
      family.type = TypeOf(entry.type);
      families.push_back(std::move(family));
    }
    families[it->second].metric.push_back(MetricOf(entry));
  }
  return families;
}

std::unique_ptr<MetricsExporter> MetricsExporter::Start(const std::string& address) {
  rtc::SocketAddress parsed;
  if (!parsed.FromString(address) || parsed.ipaddr().IsNil()) {
    RTC_LOG(LS_ERROR) << "metrics listen address [" << address << "] is not ip:port";
    return nullptr;
  }
  std::unique_ptr<MetricsExporter> exporter(new MetricsExporter());
  try {
    // The HTTP library reports a failed listen by throwing; nothing else here does.
    exporter->exposer_ = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", address, "num_threads", std::to_string(kHttpWorkers),
        "request_timeout_ms", std::to_string(kRequestTimeoutMs)});
  } catch (const std::exception& error) {
    RTC_LOG(LS_ERROR) << "metrics listen in " << address << " failed: " << error.what();
    return nullptr;
  }
  exporter->collector_ = std::make_shared<Collector>();
  exporter->exposer_->RegisterCollectable(exporter->collector_);
  exporter->process_collector_ = std::make_shared<ProcessCollector>();
  exporter->exposer_->RegisterCollectable(exporter->process_collector_);
  RTC_LOG(LS_INFO) << "metrics listen in " << address << ", port " << exporter->port();
  return exporter;
}

MetricsExporter::~MetricsExporter() = default;

int MetricsExporter::port() const {
  const std::vector<int> ports = exposer_->GetListeningPorts();
  return ports.empty() ? 0 : ports.front();
}

}  // namespace corvaneserver
