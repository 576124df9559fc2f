// What the FEC decoders count: how their blocks ended.
#ifndef FEC_FEC_METRICS_H_
#define FEC_FEC_METRICS_H_

#include "base/metrics.h"

namespace fec {

struct FecMetrics {
  rtc::Counter blocks_complete;  // every source datagram arrived
  rtc::Counter blocks_rebuilt;   // missing source datagrams rebuilt from repair ones
  rtc::Counter blocks_given_up;  // too few datagrams came before later blocks did
  // Not rebuilt: the stream's decoding budget could not pay for it.
  rtc::Counter blocks_over_budget;

  // The process's counters, registered with the metric registry on first use.
  static FecMetrics& Get();
};

}  // namespace fec

#endif  // FEC_FEC_METRICS_H_
