// What the members' channels count in both servers: answers they send and
// datagrams they refuse.
#ifndef CHANNEL_CHANNEL_METRICS_H_
#define CHANNEL_CHANNEL_METRICS_H_

#include "base/metrics.h"

namespace corvaneserver {

struct ChannelMetrics {
  rtc::Counter authentication_answers;
  rtc::Counter acknowledgements;
  rtc::Counter receiver_reports_sent;
  rtc::Counter dropped_wrong_token;  // from an address not the member's, without its token
  // Routing, in both servers: no member by the datagram's user id; a report,
  // NACK or cascade datagram too short for what it announces.
  rtc::Counter dropped_unknown_user;
  rtc::Counter dropped_malformed;

  // The process's counters, registered with the metric registry on first use.
  static ChannelMetrics& Get();
};

}  // namespace corvaneserver

#endif  // CHANNEL_CHANNEL_METRICS_H_
