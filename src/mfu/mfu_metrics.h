// What only the mixing server counts: its passes and the frames they chose.
#ifndef MFU_MFU_METRICS_H_
#define MFU_MFU_METRICS_H_

#include <cstdint>

#include "base/metrics.h"

namespace corvaneserver {

struct MfuMetrics {
  // A pass that starts this much after its due time counts as late.
  static constexpr int64_t kLatePassUs = 2000;

  rtc::Counter passes;
  rtc::Counter late_passes;
  rtc::Histogram pass_lateness_seconds{
      {0.0001, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1}};
  rtc::Counter frames_chosen;
  rtc::Counter frames_dropped;

  // One pass's start after its due time.
  void ObservePass(int64_t lateness_us) {
    passes.Add();
    if (lateness_us >= kLatePassUs) late_passes.Add();
    pass_lateness_seconds.Observe(lateness_us <= 0 ? 0.0 : lateness_us / 1e6);
  }

  // The process's counters, registered with the metric registry on first use.
  static MfuMetrics& Get();
};

}  // namespace corvaneserver

#endif  // MFU_MFU_METRICS_H_
