// Serves the process's metrics (rtc::MetricRegistry) in the Prometheus text
// format on /metrics, over HTTP, from threads of its own.
#ifndef SERVICE_METRICS_EXPORTER_H_
#define SERVICE_METRICS_EXPORTER_H_

#include <memory>
#include <string>
#include <vector>

namespace prometheus {
class Collectable;
class Exposer;
struct MetricFamily;
}  // namespace prometheus

namespace corvaneserver {

class MetricsExporter {
 public:
  // Listens on `address` ("ip:port"; port 0 picks one). Null, with an error
  // line, when the address is not of that form or cannot be listened on.
  static std::unique_ptr<MetricsExporter> Start(const std::string& address);
  ~MetricsExporter();
  MetricsExporter(const MetricsExporter&) = delete;
  MetricsExporter& operator=(const MetricsExporter&) = delete;

  // The port it listens on.
  int port() const;

  // The registry's metrics as families, one per name, in the order they were
  // first registered. What a scrape returns; safe from any thread.
  static std::vector<prometheus::MetricFamily> CollectRegistry();

 private:
  class Collector;
  MetricsExporter() = default;

  std::shared_ptr<Collector> collector_;
  std::shared_ptr<prometheus::Collectable> process_collector_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace corvaneserver

#endif  // SERVICE_METRICS_EXPORTER_H_
