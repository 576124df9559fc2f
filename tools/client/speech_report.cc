#include "client/speech_report.h"

#include <cinttypes>
#include <cstdio>

#include "client/run_result.h"

namespace corvanetools {

void PrintSpeechTable(const RunResult& result, int max_rows, std::ostream& out) {
  bool any = false;
  for (const UserResult& u : result.users) any = any || !u.speech.empty();
  if (!any) return;
  out << "\nspeech heard (correlation and coverage against the source; - : source not at hand)\n";
  char line[256];
  std::snprintf(line, sizeof(line), "%8s %10s %-8s %10s %7s %5s %5s %9s %8s %11s %8s\n", "room",
                "listener", "role", "speaker", "played", "late", "dup", "concealed", "silenced",
                "correlation", "coverage");
  out << line;
  int rows = 0;
  for (const UserResult& u : result.users) {
    for (const auto& [speaker, s] : u.speech) {
      if (rows++ >= max_rows) {
        out << "... (see --json)\n";
        return;
      }
      char quality[64] = "          -        -";
      if (s.measured)
        std::snprintf(quality, sizeof(quality), "%11.3f %8.3f", s.correlation, s.coverage);
      std::snprintf(line, sizeof(line),
                    "%8" PRIu64 " %10" PRIu64 " %-8s %10" PRIu64 " %7" PRIu64 " %5" PRIu64
                    " %5" PRIu64 " %9" PRIu64 " %8" PRIu64 " %s\n",
                    u.room_id, u.user_id, u.role.c_str(), speaker, s.played, s.late, s.duplicates,
                    s.concealed, s.silenced, quality);
      out << line;
    }
  }
}

void PrintSpeechJson(const std::map<uint64_t, SpeechResult>& speech, std::ostream& out) {
  out << "{";
  bool first = true;
  char number[64];
  for (const auto& [speaker, s] : speech) {
    out << (first ? "" : ",") << "\"" << speaker << "\":{\"played\":" << s.played
        << ",\"late\":" << s.late << ",\"duplicates\":" << s.duplicates
        << ",\"concealed\":" << s.concealed << ",\"silenced\":" << s.silenced
        << ",\"measured\":" << (s.measured ? "true" : "false");
    std::snprintf(number, sizeof(number), ",\"correlation\":%.4f,\"coverage\":%.4f}", s.correlation,
                  s.coverage);
    out << number;
    first = false;
  }
  out << "}";
}

}  // namespace corvanetools
