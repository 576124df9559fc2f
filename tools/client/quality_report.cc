#include "client/quality_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>

#include "client/e_model.h"

namespace corvanetools {

namespace {

double Ms(int64_t us) { return static_cast<double>(us) / 1000.0; }

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Line(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

// The largest server delay per second, in ms, as "s:ms" pairs.
std::string DelayOverTime(const std::vector<int64_t>& by_second) {
  std::string text;
  for (size_t second = 0; second < by_second.size(); ++second) {
    text += Line(" %zu:%.0f", second, Ms(by_second[second]));
  }
  return text;
}

}  // namespace

QualityFigures QualityOf(const UserResult& r, int playout_ms) {
  QualityFigures q;
  const PlayoutMeter::Counts& c = r.quality;
  const uint64_t missed = c.lost + c.late;
  if (c.expected > 0) {
    q.residual_percent = 100.0 * static_cast<double>(missed) / static_cast<double>(c.expected);
  }
  q.burst_ratio = BurstRatio(missed, c.runs, c.expected);
  q.one_way_ms =
      std::min(Ms(r.played_delay.Percentile(99)), static_cast<double>(playout_ms)) + kFrameMs;
  q.r = RFactor(q.one_way_ms, q.residual_percent, q.burst_ratio);
  q.mos = MosFromR(q.r);
  return q;
}

void PrintQualityTable(const RunResult& result, int max_rows, std::ostream& out) {
  out << Line(
      "\nvoice quality (playout %d ms after sending; E-model ITU-T G.107, G.711 with PLC: "
      "Ie 0, Bpl 25.1):\n",
      result.playout_ms);
  const char* header = "%8s %10s %-8s %7s %7s %6s %6s %5s %5s %8s %7s %7s %7s %6s %5s\n";
  out << Line(header, "room", "user", "role", "frames", "played", "fec", "nack", "late", "lost",
              "resid %", "srv p50", "srv p99", "srv max", "R", "MOS");
  auto row = [&](const std::string& room, const std::string& user, const UserResult& u) {
    const QualityFigures q = QualityOf(u, result.playout_ms);
    const PlayoutMeter::Counts& c = u.quality;
    out << Line("%8s %10s %-8s %7" PRIu64 " %7" PRIu64 " %6" PRIu64 " %6" PRIu64 " %5" PRIu64
                " %5" PRIu64 " %8.3f %7.1f %7.1f %7.1f %6.1f %5.2f\n",
                room.c_str(), user.c_str(), u.role.c_str(), c.expected, c.played, c.by_fec,
                c.by_nack, c.late, c.lost, q.residual_percent, Ms(u.server_delay.Percentile(50)),
                Ms(u.server_delay.Percentile(99)), Ms(u.server_delay.max_us()), q.r, q.mos);
  };
  int rows = 0;
  for (const UserResult& u : result.users) {
    if (u.quality.expected == 0) continue;
    if (rows++ >= max_rows) break;
    row(std::to_string(u.room_id), std::to_string(u.user_id), u);
  }
  for (const auto& [name, r] : result.by_role) {
    if (r.quality.expected > 0) row("", "all", r);
  }
  out << "server-added delay over the run, largest per second (s:ms):\n";
  for (const auto& [name, r] : result.by_role) {
    if (r.server_delay.count() == 0) continue;
    out << Line("  %-8s", name.c_str()) << DelayOverTime(r.server_delay_by_second_us) << "\n";
  }
  if (result.total.stale_answers > 0) {
    out << Line("NACK answers from a sender's stream before its restart: %" PRIu64 "\n",
                result.total.stale_answers);
  }
}

void JsonQuality(const UserResult& r, std::ostream& out) {
  const PlayoutMeter::Counts& c = r.quality;
  // The playout delay is the run's; the figures that depend on it use what
  // the table printed, so pass it through the role's own field.
  const QualityFigures q = QualityOf(r, r.quality_playout_ms);
  out << ",\"quality\":{\"frames\":" << c.expected << ",\"played\":" << c.played
      << ",\"by_fec\":" << c.by_fec << ",\"by_nack\":" << c.by_nack << ",\"late\":" << c.late
      << ",\"lost\":" << c.lost << ",\"loss_runs\":" << c.runs
      << ",\"residual_percent\":" << Line("%.4f", q.residual_percent)
      << ",\"server_delay_ms\":{\"p50\":" << Line("%.3f", Ms(r.server_delay.Percentile(50)))
      << ",\"p99\":" << Line("%.3f", Ms(r.server_delay.Percentile(99)))
      << ",\"max\":" << Line("%.3f", Ms(r.server_delay.max_us())) << ",\"max_by_second\":[";
  for (size_t i = 0; i < r.server_delay_by_second_us.size(); ++i) {
    out << (i == 0 ? "" : ",") << Line("%.3f", Ms(r.server_delay_by_second_us[i]));
  }
  out << "]},\"one_way_ms\":" << Line("%.3f", q.one_way_ms)
      << ",\"burst_ratio\":" << Line("%.3f", q.burst_ratio) << ",\"r\":" << Line("%.2f", q.r)
      << ",\"mos\":" << Line("%.3f", q.mos) << ",\"stale_answers\":" << r.stale_answers << "}";
}

}  // namespace corvanetools
