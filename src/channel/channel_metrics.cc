#include "channel/channel_metrics.h"

#include "packet/packet_metrics.h"

namespace corvaneserver {

ChannelMetrics& ChannelMetrics::Get() {
  static ChannelMetrics* metrics = [] {
    auto* m = new ChannelMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
    registry.AddCounter("corvane_authentication_answers_total",
                        "Authentication answers sent to addresses without the member's token.", {},
                        &m->authentication_answers);
    registry.AddCounter("corvane_acknowledgements_sent_total",
                        "Acknowledgements sent for datagrams that asked for one.", {},
                        &m->acknowledgements);
    registry.AddCounter("corvane_receiver_reports_sent_total",
                        "Aggregated receiver reports sent to speakers.", {},
                        &m->receiver_reports_sent);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "wrong_token"}},
                        &m->dropped_wrong_token);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "unknown_user"}},
                        &m->dropped_unknown_user);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "malformed"}},
                        &m->dropped_malformed);
    return m;
  }();
  return *metrics;
}

}  // namespace corvaneserver
