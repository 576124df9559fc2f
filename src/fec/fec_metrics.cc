#include "fec/fec_metrics.h"

namespace fec {

FecMetrics& FecMetrics::Get() {
  static FecMetrics* metrics = [] {
    auto* m = new FecMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
    const char* const help = "FEC blocks of the members' streams, by how they ended.";
    registry.AddCounter("corvane_fec_blocks_total", help, {{"outcome", "complete"}},
                        &m->blocks_complete);
    registry.AddCounter("corvane_fec_blocks_total", help, {{"outcome", "rebuilt"}},
                        &m->blocks_rebuilt);
    registry.AddCounter("corvane_fec_blocks_total", help, {{"outcome", "given_up"}},
                        &m->blocks_given_up);
    registry.AddCounter("corvane_fec_blocks_total", help, {{"outcome", "over_budget"}},
                        &m->blocks_over_budget);
    return m;
  }();
  return *metrics;
}

}  // namespace fec
