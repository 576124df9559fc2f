// What the datagram path counts, in both servers: received, answered, dropped
// before a server saw it, and forwarded. Bumped without locks (rtc::Counter).
#ifndef PACKET_PACKET_METRICS_H_
#define PACKET_PACKET_METRICS_H_

#include "base/metrics.h"

namespace corvaneserver {

// The name of the family every layer adds its drop reasons to.
inline constexpr char kDroppedMetricName[] = "corvane_datagrams_dropped_total";
inline constexpr char kDroppedMetricHelp[] = "Datagrams dropped instead of handled, by reason.";

// Both designs of datagram handling export their backlog under this name.
inline constexpr char kQueueDepthMetricName[] = "corvane_deliver_queue_depth";
inline constexpr char kQueueDepthMetricHelp[] =
    "Datagrams waiting to be handled: in a deliver worker's queue, or (inline) in a receive "
    "thread's socket when it last woke, counted up to 128.";

struct PacketMetrics {
  rtc::Counter received;
  rtc::Counter received_bytes;
  rtc::Counter detects_answered;
  rtc::Counter forwarded;    // datagrams the kernel took for members, one per member
  rtc::Counter send_failed;  // datagrams of a batch the kernel refused
  rtc::Counter send_calls;   // sendmmsg calls: sent datagrams per call is the batching
  rtc::Counter dropped_unknown_source;
  rtc::Counter dropped_too_short;
  rtc::Counter dropped_queue_full;
  rtc::Counter dropped_late;           // waited past packet_max_delay_ms before its handling
  rtc::Counter dropped_socket_buffer;  // by the kernel: a socket's receive buffer was full
  rtc::Counter dropped_sources_full;   // a new source while the source table is full

  // The process's counters, registered with the metric registry on first use.
  static PacketMetrics& Get();
};

}  // namespace corvaneserver

#endif  // PACKET_PACKET_METRICS_H_
