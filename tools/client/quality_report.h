// The voice-quality part of corvane-client's report under impaired network
// conditions: per user and per role, what could be played (directly, rebuilt
// by the receiver's FEC decoding, resent on a NACK), what came too late or
// never, the delay the server added, and an E-model (e_model.h) estimate.
#ifndef TOOLS_CLIENT_QUALITY_REPORT_H_
#define TOOLS_CLIENT_QUALITY_REPORT_H_

#include <ostream>

#include "client/run_result.h"

namespace corvanetools {

// Packetisation delay added to the measured delay for the E-model's
// mouth-to-ear delay: one 20 ms frame.
constexpr double kFrameMs = 20;

struct QualityFigures {
  double residual_percent = 0;  // not played: lost for good or too late
  double one_way_ms = 0;        // E-model delay: p99 of the played frames' delay + a frame
  double burst_ratio = 1;
  double r = 0;
  double mos = 0;
};
QualityFigures QualityOf(const UserResult& r, int playout_ms);

void PrintQualityTable(const RunResult& result, int max_rows, std::ostream& out);
// ,"quality":{...} for the JSON object of a user, role or the total.
void JsonQuality(const UserResult& r, std::ostream& out);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_QUALITY_REPORT_H_
