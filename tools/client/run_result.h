// What a corvane-client run measured, per user, per role and in total, and
// how it is printed: a table for people, one JSON object for programs.
#ifndef TOOLS_CLIENT_RUN_RESULT_H_
#define TOOLS_CLIENT_RUN_RESULT_H_

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "client/latency_histogram.h"
#include "client/playout_meter.h"
#include "client/speech_report.h"

namespace corvanetools {

struct UserResult {
  uint64_t room_id = 0;
  uint64_t user_id = 0;
  std::string role;  // roster role, or "peer" for a cascade peer
  std::string auth = "token";
  bool expects_admission = true;
  bool admitted = false;
  double admit_ms = 0;  // from the first detect to the acknowledgement of the token

  // Sent by this user.
  uint64_t sent = 0;          // voice, 0x82 and music datagrams
  uint64_t sent_control = 0;  // detect, announce, keep-alive, acknowledgements, reports
  uint64_t send_errors = 0;

  // Received by this user as a receiver.
  uint64_t expected = 0;
  uint64_t received = 0;  // distinct expected datagrams that arrived
  uint64_t lost = 0;
  uint64_t duplicates = 0;  // voice datagrams that came twice
  uint64_t resends = 0;     // 0x82 and music datagrams that came again
  uint64_t out_of_order = 0;
  uint64_t early = 0;  // sent before this receiver was admitted (music for newcomers)
  uint64_t unexpected = 0;
  uint64_t stale = 0;
  uint64_t malformed = 0;
  LatencyHistogram latency;

  // Answers from the server.
  uint64_t auth_answers = 0;
  uint64_t acks_received = 0;
  uint64_t reports_received = 0;
  uint32_t last_report_value = 0;
  uint64_t cascade_detects = 0;
  // Acknowledgements this receiver sent or withheld.
  uint64_t acks_sent = 0;
  uint64_t acks_withheld = 0;

  // FEC, as a speaker: datagrams the simulated loss dropped, repairs sent.
  uint64_t fec_dropped = 0;
  uint64_t repairs_sent = 0;
  // FEC, as a receiver.
  uint64_t repairs_received = 0;
  uint64_t nacks_sent = 0;     // NACK datagrams
  uint64_t nack_asked = 0;     // voice datagrams asked for at least once
  uint64_t recovered = 0;      // asked for, then arrived
  uint64_t lost_for_good = 0;  // still missing at the end
  uint64_t unrecoverable = 0;  // of those, dropped in a block the codec cannot rebuild
  // Mixing room, as a receiver: frames of other speakers the mixer had to
  // choose, those of them that arrived, and frames it had to drop that came.
  uint64_t chosen_expected = 0;
  uint64_t chosen_received = 0;
  uint64_t unchosen_received = 0;
  // The p99 spread of the arrival phase of mixed frames (see PassPhase); in
  // sums, the largest.
  int64_t pass_spread_us = 0;
  // Under impaired conditions, as a receiver (quality_report.h): what could be
  // played, the delay the server added (in all, and the largest per second of
  // the run), the delay of the frames played, and NACK answers that came from
  // a sender's stream before its restart.
  PlayoutMeter::Counts quality;
  LatencyHistogram server_delay;
  std::vector<int64_t> server_delay_by_second_us;
  LatencyHistogram played_delay;
  uint64_t stale_answers = 0;
  int quality_playout_ms = 150;  // the run's playout delay, for the figures
  // Distinct voice datagrams received from each sender of the room, by sender id.
  std::map<uint64_t, uint64_t> heard_from;
  // Speech heard from each speaker with a WAV file, by speaker id.
  std::map<uint64_t, SpeechResult> speech;

  bool impaired = false;  // losses are measured, not a problem
  // Empty when the user met every expectation.
  std::string problem;

  // Adds the counters (not the identity) of `other`.
  void Accumulate(const UserResult& other);
};

struct RunResult {
  std::vector<UserResult> users;
  UserResult total;
  std::map<std::string, UserResult> by_role;
  size_t rooms = 0;
  double handshake_s = 0;
  double traffic_s = 0;
  // CPU seconds the sending and the receiving loop spent during the traffic
  // (with one thread, one loop does both: all of it is in send_loop_cpu_s).
  int threads = 1;
  double send_loop_cpu_s = 0;
  double receive_loop_cpu_s = 0;
  bool ok = true;
  bool mixer = false;
  bool fec = false;
  bool nack = false;
  bool impaired = false;  // network conditions were impaired: print the quality table
  int playout_ms = 0;

  // Fills total, by_role and ok from users.
  void Summarise();
};

// Decides a user's problem text from its counters (empty: none).
std::string FindProblem(const UserResult& user);

void PrintTable(const RunResult& result, int max_rows, std::ostream& out);
void PrintJson(const RunResult& result, std::ostream& out);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_RUN_RESULT_H_
