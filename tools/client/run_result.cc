#include "client/run_result.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <set>

#include "client/quality_report.h"

namespace corvanetools {

namespace {

double Ms(int64_t us) { return static_cast<double>(us) / 1000.0; }

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  return buffer;
}

double LossPercent(const UserResult& r) {
  return r.expected == 0 ? 0.0
                         : 100.0 * static_cast<double>(r.lost) / static_cast<double>(r.expected);
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      out += Format("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void JsonCounters(const UserResult& r, std::ostream& out) {
  out << "\"sent\":" << r.sent << ",\"sent_control\":" << r.sent_control
      << ",\"send_errors\":" << r.send_errors << ",\"expected\":" << r.expected
      << ",\"received\":" << r.received << ",\"lost\":" << r.lost
      << ",\"loss_percent\":" << Format("%.4f", LossPercent(r))
      << ",\"duplicates\":" << r.duplicates << ",\"resends\":" << r.resends
      << ",\"out_of_order\":" << r.out_of_order << ",\"early\":" << r.early
      << ",\"unexpected\":" << r.unexpected << ",\"stale\":" << r.stale
      << ",\"malformed\":" << r.malformed << ",\"latency_ms\":{\"samples\":" << r.latency.count()
      << ",\"floor\":" << Format("%.3f", Ms(r.latency.Percentile(0.1)))
      << ",\"p50\":" << Format("%.3f", Ms(r.latency.Percentile(50)))
      << ",\"p99\":" << Format("%.3f", Ms(r.latency.Percentile(99)))
      << ",\"p999\":" << Format("%.3f", Ms(r.latency.Percentile(99.9)))
      << ",\"max\":" << Format("%.3f", Ms(r.latency.max_us())) << "}"
      << ",\"auth_answers\":" << r.auth_answers << ",\"acks_received\":" << r.acks_received
      << ",\"reports_received\":" << r.reports_received
      << ",\"last_report_value\":" << r.last_report_value
      << ",\"cascade_detects\":" << r.cascade_detects << ",\"acks_sent\":" << r.acks_sent
      << ",\"acks_withheld\":" << r.acks_withheld << ",\"fec_dropped\":" << r.fec_dropped
      << ",\"repairs_sent\":" << r.repairs_sent << ",\"repairs_received\":" << r.repairs_received
      << ",\"nacks_sent\":" << r.nacks_sent << ",\"nack_asked\":" << r.nack_asked
      << ",\"recovered\":" << r.recovered << ",\"lost_for_good\":" << r.lost_for_good
      << ",\"unrecoverable\":" << r.unrecoverable << ",\"chosen_expected\":" << r.chosen_expected
      << ",\"chosen_received\":" << r.chosen_received
      << ",\"unchosen_received\":" << r.unchosen_received
      << ",\"pass_spread_ms\":" << Format("%.3f", Ms(r.pass_spread_us));
  JsonQuality(r, out);
}

}  // namespace

void UserResult::Accumulate(const UserResult& o) {
  sent += o.sent;
  sent_control += o.sent_control;
  send_errors += o.send_errors;
  expected += o.expected;
  received += o.received;
  lost += o.lost;
  duplicates += o.duplicates;
  resends += o.resends;
  out_of_order += o.out_of_order;
  early += o.early;
  unexpected += o.unexpected;
  stale += o.stale;
  malformed += o.malformed;
  latency.Merge(o.latency);
  auth_answers += o.auth_answers;
  acks_received += o.acks_received;
  reports_received += o.reports_received;
  last_report_value = std::max(last_report_value, o.last_report_value);
  cascade_detects += o.cascade_detects;
  acks_sent += o.acks_sent;
  acks_withheld += o.acks_withheld;
  fec_dropped += o.fec_dropped;
  repairs_sent += o.repairs_sent;
  repairs_received += o.repairs_received;
  nacks_sent += o.nacks_sent;
  nack_asked += o.nack_asked;
  recovered += o.recovered;
  lost_for_good += o.lost_for_good;
  unrecoverable += o.unrecoverable;
  chosen_expected += o.chosen_expected;
  chosen_received += o.chosen_received;
  unchosen_received += o.unchosen_received;
  pass_spread_us = std::max(pass_spread_us, o.pass_spread_us);
  quality.Add(o.quality);
  server_delay.Merge(o.server_delay);
  played_delay.Merge(o.played_delay);
  stale_answers += o.stale_answers;
  if (server_delay_by_second_us.size() < o.server_delay_by_second_us.size()) {
    server_delay_by_second_us.resize(o.server_delay_by_second_us.size(), 0);
  }
  for (size_t i = 0; i < o.server_delay_by_second_us.size(); ++i) {
    server_delay_by_second_us[i] =
        std::max(server_delay_by_second_us[i], o.server_delay_by_second_us[i]);
  }
}

std::string FindProblem(const UserResult& user) {
  std::string problem;
  auto add = [&problem](const std::string& text) {
    if (!problem.empty()) problem += "; ";
    problem += text;
  };
  if (user.expects_admission && !user.admitted) add("not admitted");
  if (!user.expects_admission && user.admitted) add("admitted although it should be refused");
  // Under impaired conditions losses are what is measured (quality table).
  if (user.lost > 0 && !user.impaired) add("lost " + std::to_string(user.lost));
  if (user.stale_answers > 0) {
    add(std::to_string(user.stale_answers) + " NACK answers of a stream before a restart");
  }
  if (user.unexpected > 0) add(std::to_string(user.unexpected) + " unexpected");
  if (user.unchosen_received > 0) {
    add(std::to_string(user.unchosen_received) + " frames the mixer should have dropped");
  }
  return problem;
}

void RunResult::Summarise() {
  total = UserResult();
  total.role = "total";
  by_role.clear();
  std::set<uint64_t> room_ids;
  ok = true;
  for (UserResult& user : users) {
    user.problem = FindProblem(user);
    if (!user.problem.empty()) ok = false;
    total.Accumulate(user);
    UserResult& role = by_role[user.role];
    role.role = user.role;
    role.Accumulate(user);
    room_ids.insert(user.room_id);
  }
  rooms = room_ids.size();
}

void PrintTable(const RunResult& result, int max_rows, std::ostream& out) {
  size_t admitted = 0;
  for (const UserResult& user : result.users) admitted += user.admitted ? 1 : 0;
  out << Format(
      "corvane-client: %zu users (%zu admitted) in %zu rooms, handshake %.2f s, "
      "traffic %.2f s: %s\n\n",
      result.users.size(), admitted, result.rooms, result.handshake_s, result.traffic_s,
      result.ok ? "OK" : "FAILED");

  const char* header =
      "%8s %10s %-8s %8s %9s %9s %6s %5s %5s %5s %6s %8s %8s %8s %5s %5s %4s  %s\n";
  out << Format(header, "room", "user", "role", "sent", "expected", "received", "lost", "dup",
                "ooo", "early", "unexp", "p50 ms", "p99 ms", "max ms", "auth", "acks", "rr",
                "problem");
  int rows = 0;
  for (const UserResult& u : result.users) {
    if (rows >= max_rows) {
      out << Format("... %zu more users (see --json)\n",
                    result.users.size() - static_cast<size_t>(rows));
      break;
    }
    ++rows;
    out << Format("%8" PRIu64 " %10" PRIu64 " %-8s %8" PRIu64 " %9" PRIu64 " %9" PRIu64 " %6" PRIu64
                  " %5" PRIu64 " %5" PRIu64 " %5" PRIu64 " %6" PRIu64 " %8.3f %8.3f %8.3f %5" PRIu64
                  " %5" PRIu64 " %4" PRIu64 "  %s\n",
                  u.room_id, u.user_id, u.role.c_str(), u.sent, u.expected, u.received, u.lost,
                  u.duplicates + u.resends, u.out_of_order, u.early, u.unexpected,
                  Ms(u.latency.Percentile(50)), Ms(u.latency.Percentile(99)),
                  Ms(u.latency.max_us()), u.auth_answers, u.acks_received, u.reports_received,
                  u.problem.empty() ? "" : u.problem.c_str());
  }

  out << "\n";
  const char* role_header = "%-8s %6s %9s %10s %10s %8s %8s %8s %8s %8s\n";
  out << Format(role_header, "role", "users", "sent", "expected", "received", "lost", "loss %",
                "p50 ms", "p99 ms", "max ms");
  auto role_line = [&out](const std::string& name, size_t count, const UserResult& r) {
    out << Format(
        "%-8s %6zu %9" PRIu64 " %10" PRIu64 " %10" PRIu64 " %8" PRIu64 " %8.3f %8.3f %8.3f %8.3f\n",
        name.c_str(), count, r.sent, r.expected, r.received, r.lost, LossPercent(r),
        Ms(r.latency.Percentile(50)), Ms(r.latency.Percentile(99)), Ms(r.latency.max_us()));
  };
  std::map<std::string, size_t> users_per_role;
  for (const UserResult& u : result.users) ++users_per_role[u.role];
  for (const auto& [name, r] : result.by_role) role_line(name, users_per_role[name], r);
  role_line("total", result.users.size(), result.total);

  const UserResult& t = result.total;
  out << Format(
      "\nduplicates %" PRIu64 ", resent %" PRIu64 ", out of order %" PRIu64 ", early %" PRIu64
      " (music for newcomers), unexpected %" PRIu64 ", stale %" PRIu64 ", malformed %" PRIu64 "\n",
      t.duplicates, t.resends, t.out_of_order, t.early, t.unexpected, t.stale, t.malformed);
  out << Format("authentication answers %" PRIu64 ", acknowledgements received %" PRIu64
                ", sent %" PRIu64 ", withheld %" PRIu64 ", receiver reports received %" PRIu64
                ", cascade detects answered %" PRIu64 ", send errors %" PRIu64 "\n",
                t.auth_answers, t.acks_received, t.acks_sent, t.acks_withheld, t.reports_received,
                t.cascade_detects, t.send_errors);
  if (result.fec) {
    out << Format("FEC: dropped before sending %" PRIu64 ", repairs sent %" PRIu64
                  ", repairs received %" PRIu64 "\n",
                  t.fec_dropped, t.repairs_sent, t.repairs_received);
  }
  if (result.nack) {
    out << Format("NACK: sent %" PRIu64 " asking for %" PRIu64 " datagrams, recovered %" PRIu64
                  ", lost for good %" PRIu64 " (of which the codec could not rebuild %" PRIu64
                  ")\n",
                  t.nacks_sent, t.nack_asked, t.recovered, t.lost_for_good, t.unrecoverable);
  }
  if (result.impaired) PrintQualityTable(result, max_rows, out);
  if (result.mixer) {
    out << Format("mixer: chosen frames expected %" PRIu64 ", received %" PRIu64
                  ", frames that should have been dropped but arrived %" PRIu64 "\n",
                  t.chosen_expected, t.chosen_received, t.unchosen_received);
    out << Format("\n%8s %10s %-8s %10s %10s %10s  %s\n", "room", "user", "role", "chosen",
                  "received", "unchosen", "heard (sender: frames)");
    int mixer_rows = 0;
    for (const UserResult& u : result.users) {
      if (mixer_rows++ >= max_rows) break;
      std::string heard;
      for (const auto& [sender, frames] : u.heard_from) {
        heard += Format(" %" PRIu64 ": %" PRIu64, sender, frames);
      }
      out << Format("%8" PRIu64 " %10" PRIu64 " %-8s %10" PRIu64 " %10" PRIu64 " %10" PRIu64
                    " %s\n",
                    u.room_id, u.user_id, u.role.c_str(), u.chosen_expected, u.chosen_received,
                    u.unchosen_received, heard.c_str());
    }
  }
}

void PrintJson(const RunResult& result, std::ostream& out) {
  out << "{\"ok\":" << (result.ok ? "true" : "false")
      << ",\"mixer\":" << (result.mixer ? "true" : "false") << ",\"rooms\":" << result.rooms
      << ",\"users_count\":" << result.users.size()
      << ",\"handshake_s\":" << Format("%.3f", result.handshake_s)
      << ",\"traffic_s\":" << Format("%.3f", result.traffic_s) << ",\"threads\":" << result.threads
      << ",\"send_loop_cpu_s\":" << Format("%.3f", result.send_loop_cpu_s)
      << ",\"receive_loop_cpu_s\":" << Format("%.3f", result.receive_loop_cpu_s) << ",\"total\":{";
  JsonCounters(result.total, out);
  out << "},\"roles\":{";
  bool first = true;
  for (const auto& [name, r] : result.by_role) {
    if (!first) out << ",";
    first = false;
    out << JsonString(name) << ":{";
    JsonCounters(r, out);
    out << "}";
  }
  out << "},\"users\":[";
  first = true;
  for (const UserResult& u : result.users) {
    if (!first) out << ",";
    first = false;
    out << "{\"room\":" << u.room_id << ",\"user\":" << u.user_id
        << ",\"role\":" << JsonString(u.role) << ",\"auth\":" << JsonString(u.auth)
        << ",\"admitted\":" << (u.admitted ? "true" : "false")
        << ",\"admit_ms\":" << Format("%.3f", u.admit_ms) << ",";
    JsonCounters(u, out);
    out << ",\"heard_from\":{";
    bool first_sender = true;
    for (const auto& [sender, frames] : u.heard_from) {
      out << (first_sender ? "" : ",") << "\"" << sender << "\":" << frames;
      first_sender = false;
    }
    out << "},\"speech\":";
    PrintSpeechJson(u.speech, out);
    out << ",\"problem\":" << JsonString(u.problem) << "}";
  }
  out << "]}\n";
}

}  // namespace corvanetools
