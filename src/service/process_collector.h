// Prometheus's standard process metrics (process_cpu_seconds_total,
// process_resident_memory_bytes, ... as its client libraries name them), read
// from /proc/self at each scrape and at no other time.
#ifndef SERVICE_PROCESS_COLLECTOR_H_
#define SERVICE_PROCESS_COLLECTOR_H_

#include <string>
#include <utility>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace corvaneserver {

// Called by the exporter's HTTP threads; keeps no state, so safe from any thread.
class ProcessCollector : public prometheus::Collectable {
 public:
  // `proc`: the /proc mount; another directory in tests.
  explicit ProcessCollector(std::string proc = "/proc") : proc_(std::move(proc)) {}

  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  const std::string proc_;
};

}  // namespace corvaneserver

#endif  // SERVICE_PROCESS_COLLECTOR_H_
