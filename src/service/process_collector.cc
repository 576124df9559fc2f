#include "service/process_collector.h"

#include <optional>
#include <utility>

#include "service/proc_self.h"

namespace corvaneserver {
namespace {

void Add(std::vector<prometheus::MetricFamily>& families, const char* name, const char* help,
         prometheus::MetricType type, const std::optional<double>& value) {
  // A figure that could not be read is left out rather than shown as 0.
  if (!value) return;
  prometheus::ClientMetric metric;
  if (type == prometheus::MetricType::Counter) {
    metric.counter.value = *value;
  } else {
    metric.gauge.value = *value;
  }
  families.push_back({name, help, type, {std::move(metric)}});
}

}  // namespace

std::vector<prometheus::MetricFamily> ProcessCollector::Collect() const {
  const ProcessFigures figures = ReadProcessFigures(proc_);
  using prometheus::MetricType;
  std::vector<prometheus::MetricFamily> families;
  // Names and help texts as Prometheus's own client libraries give them.
  Add(families, "process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
      MetricType::Counter, figures.cpu_seconds);
  Add(families, "process_open_fds", "Number of open file descriptors.", MetricType::Gauge,
      figures.open_fds);
  Add(families, "process_max_fds", "Maximum number of open file descriptors.", MetricType::Gauge,
      figures.max_fds);
  Add(families, "process_virtual_memory_bytes", "Virtual memory size in bytes.", MetricType::Gauge,
      figures.virtual_bytes);
  Add(families, "process_resident_memory_bytes", "Resident memory size in bytes.",
      MetricType::Gauge, figures.resident_bytes);
  Add(families, "process_start_time_seconds",
      "Start time of the process since unix epoch in seconds.", MetricType::Gauge,
      figures.start_time_seconds);
  Add(families, "process_threads", "Number of OS threads in the process.", MetricType::Gauge,
      figures.threads);
  return families;
}

}  // namespace corvaneserver
