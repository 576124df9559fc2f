#include "mfu/mfu_metrics.h"

namespace corvaneserver {

MfuMetrics& MfuMetrics::Get() {
  static MfuMetrics* metrics = [] {
    auto* m = new MfuMetrics();  // never destroyed: the registry points at it
    rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
    registry.AddCounter("corvane_mixer_passes_total", "Mixer passes run.", {}, &m->passes);
    registry.AddCounter("corvane_mixer_late_passes_total",
                        "Mixer passes that started 2 ms or more after their due time.", {},
                        &m->late_passes);
    registry.AddHistogram("corvane_mixer_pass_lateness_seconds",
                          "How long after its due time each mixer pass started.", {},
                          &m->pass_lateness_seconds);
    const char* const frames_help = "Frames taken by mixer passes, by whether they were sent.";
    registry.AddCounter("corvane_mixer_frames_total", frames_help, {{"result", "chosen"}},
                        &m->frames_chosen);
    registry.AddCounter("corvane_mixer_frames_total", frames_help, {{"result", "dropped"}},
                        &m->frames_dropped);
    return m;
  }();
  return *metrics;
}

}  // namespace corvaneserver
