#include "packet/packet_metrics.h"

namespace corvaneserver {

PacketMetrics& PacketMetrics::Get() {
  static PacketMetrics* metrics = [] {
    auto* m = new PacketMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
    registry.AddCounter("corvane_datagrams_received_total", "Datagrams read from the UDP sockets.",
                        {}, &m->received);
    registry.AddCounter("corvane_received_bytes_total", "Bytes of the datagrams read.", {},
                        &m->received_bytes);
    registry.AddCounter("corvane_detects_answered_total",
                        "Detect datagrams echoed to their source.", {}, &m->detects_answered);
    registry.AddCounter("corvane_datagrams_forwarded_total",
                        "Datagrams the kernel took for room members, one per member.", {},
                        &m->forwarded);
    registry.AddCounter("corvane_datagrams_send_failed_total",
                        "Datagrams the kernel refused to send (sendmmsg).", {}, &m->send_failed);
    registry.AddCounter("corvane_send_calls_total",
                        "sendmmsg calls made; datagrams sent per call is how well sends batch.", {},
                        &m->send_calls);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "unknown_source"}},
                        &m->dropped_unknown_source);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "too_short"}},
                        &m->dropped_too_short);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "queue_full"}},
                        &m->dropped_queue_full);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "late"}},
                        &m->dropped_late);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "socket_buffer"}},
                        &m->dropped_socket_buffer);
    registry.AddCounter(kDroppedMetricName, kDroppedMetricHelp, {{"reason", "sources_full"}},
                        &m->dropped_sources_full);
    return m;
  }();
  return *metrics;
}

}  // namespace corvaneserver
