#include "service/service_metrics.h"

#include "control/control_header.h"

namespace corvaneserver {

ServiceMetrics::ServiceMetrics()
    : kinds_{{{kMsgIdJoinRoom, "join_room", {}, {}},
              {kMsgIdQuitRoom, "quit_room", {}, {}},
              {kMsgIdAllowSpeaker, "allow_speaker", {}, {}},
              {kMsgIdMuteSpeaker, "mute_speaker", {}, {}},
              {kMsgIdCreateRoom, "create_room", {}, {}},
              {kMsgIdAddCascade, "add_cascade", {}, {}},
              {kMsgIdAddRecorder, "add_recorder", {}, {}},
              {kMsgIdCloseRoom, "close_room", {}, {}}}} {}

void ServiceMetrics::CountRequest(uint16_t message_id, int result) {
  for (Kind& kind : kinds_) {
    if (kind.message_id != message_id) continue;
    (result == 0 ? kind.ok : kind.failed).Add();
    return;
  }
}

ServiceMetrics& ServiceMetrics::Get() {
  static ServiceMetrics* metrics = [] {
    auto* m = new ServiceMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
    for (Kind& kind : m->kinds_) {
      for (bool ok : {true, false}) {
        registry.AddCounter("corvane_gateway_requests_total",
                            "Control requests from the gateway, by kind and result.",
                            {{"kind", kind.name}, {"result", ok ? "ok" : "failed"}},
                            ok ? &kind.ok : &kind.failed);
      }
    }
    return m;
  }();
  return *metrics;
}

}  // namespace corvaneserver
