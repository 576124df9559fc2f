// What a receiver made of each speaker's speech (see voice_audio.h), and how
// the client prints it beside its other results.
#ifndef TOOLS_CLIENT_SPEECH_REPORT_H_
#define TOOLS_CLIENT_SPEECH_REPORT_H_

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

namespace corvanetools {

struct SpeechResult {
  uint64_t played = 0;      // frames that arrived in time to play
  uint64_t late = 0;        // frames that arrived after their playout time
  uint64_t duplicates = 0;  // second copies, ignored
  uint64_t concealed = 0;   // missing frames filled by packet-loss concealment
  uint64_t silenced = 0;    // missing frames past the concealment limit
  bool measured = false;    // the speaker's source file was at hand
  double correlation = 0;   // of the decoded speech with the source, after alignment
  double coverage = 0;      // share of the source's active frames that were heard
};

struct RunResult;

// One row per receiver and speaker with speech; nothing when there is none.
void PrintSpeechTable(const RunResult& result, int max_rows, std::ostream& out);
// A JSON object keyed by speaker id.
void PrintSpeechJson(const std::map<uint64_t, SpeechResult>& speech, std::ostream& out);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_SPEECH_REPORT_H_
