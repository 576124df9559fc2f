#include "sfu/sfu_metrics.h"

namespace corvaneserver {

SfuMetrics& SfuMetrics::Get() {
  static SfuMetrics* metrics = [] {
    auto* m = new SfuMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry::Global().AddCounter(
        "corvane_resends_total", "Datagrams sent again to members that had not acknowledged them.",
        {}, &m->resends);
    return m;
  }();
  return *metrics;
}

}  // namespace corvaneserver
