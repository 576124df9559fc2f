#include "sfu/sfu_metrics.h"

#include "packet/packet_metrics.h"

namespace corvaneserver {

SfuMetrics& SfuMetrics::Get() {
  static SfuMetrics* metrics = [] {
    auto* m = new SfuMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry::Global().AddCounter(
        "corvane_resends_total", "Datagrams sent again to members that had not acknowledged them.",
        {}, &m->resends);
    const char* const nack_help = "Datagrams asked for by NACKs, by whether they were resent.";
    rtc::MetricRegistry::Global().AddCounter("corvane_nack_requests_total", nack_help,
                                             {{"result", "resent"}}, &m->nack_resent);
    rtc::MetricRegistry::Global().AddCounter("corvane_nack_requests_total", nack_help,
                                             {{"result", "missing"}}, &m->nack_missing);
    rtc::MetricRegistry::Global().AddCounter(kDroppedMetricName, kDroppedMetricHelp,
                                             {{"reason", "cascade_repeat"}}, &m->cascade_repeats);
    rtc::MetricRegistry::Global().AddCounter(kDroppedMetricName, kDroppedMetricHelp,
                                             {{"reason", "authentication_not_from_peer"}},
                                             &m->dropped_authentication);
    return m;
  }();
  return *metrics;
}

}  // namespace corvaneserver
