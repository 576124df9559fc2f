// What the service framework exports: control requests by kind and result,
// the gateway links, the build, and the gauges each server registers.
#ifndef SERVICE_SERVICE_METRICS_H_
#define SERVICE_SERVICE_METRICS_H_

#include <array>
#include <cstdint>

#include "base/metrics.h"

namespace corvaneserver {

class ServiceMetrics {
 public:
  // Counts one answered control request; message ids without a kind of their
  // own are not counted.
  void CountRequest(uint16_t message_id, int result);

  // The process's counters, registered with the metric registry on first use.
  static ServiceMetrics& Get();

 private:
  struct Kind {
    uint16_t message_id;
    const char* name;
    rtc::Counter ok;
    rtc::Counter failed;
  };
  ServiceMetrics();

  std::array<Kind, 8> kinds_;
};

}  // namespace corvaneserver

#endif  // SERVICE_SERVICE_METRICS_H_
