// What only the forwarding server counts.
#ifndef SFU_SFU_METRICS_H_
#define SFU_SFU_METRICS_H_

#include "base/metrics.h"

namespace corvaneserver {

struct SfuMetrics {
  rtc::Counter resends;  // datagrams sent again while waiting for an acknowledgement
  // Datagrams that NACKs asked for: found in the buffer and sent, or not there.
  rtc::Counter nack_resent;
  rtc::Counter nack_missing;
  // Datagrams relayed by a peer server that this server had forwarded already:
  // they came round a cycle of cascade links.
  rtc::Counter cascade_repeats;
  // Authentication answers (0x62) naming a member, from anyone but a cascade
  // peer of that member's room: dropped.
  rtc::Counter dropped_authentication;

  // The process's counters, registered with the metric registry on first use.
  static SfuMetrics& Get();
};

}  // namespace corvaneserver

#endif  // SFU_SFU_METRICS_H_
