// corvane-client: simulated voice users and cascade peers for a corvane server.
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "base/logging.h"

#include "client/client_options.h"
#include "client/hostile.h"
#include "client/simulator.h"

namespace {

corvanetools::Simulator* g_simulator = nullptr;

void OnSignal(int) {
  if (g_simulator != nullptr) g_simulator->RequestStop();
}

bool WriteRoster(const corvanetools::ClientOptions& options) {
  std::ofstream out(options.write_users);
  out << corvanetools::FormatRoster(options.roster);
  out.close();
  if (!out) {
    std::fprintf(stderr, "corvane-client: cannot write %s\n", options.write_users.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  corvanetools::ClientOptions options;
  std::string error;
  switch (corvanetools::ParseClientOptions(args, &options, &error)) {
    case corvanetools::ParseOutcome::kHelp:
      std::cout << corvanetools::ClientUsage();
      return 0;
    case corvanetools::ParseOutcome::kError:
      std::fprintf(stderr, "corvane-client: %s\n", error.c_str());
      return 2;
    case corvanetools::ParseOutcome::kWriteOnly:
      return WriteRoster(options) ? 0 : 2;
    case corvanetools::ParseOutcome::kRun:
      break;
  }
  if (!options.write_users.empty() && !WriteRoster(options)) return 2;

  // The receivers decode FEC with the servers' own decoder, whose information
  // lines are a server's log, not this tool's report; its warnings stay.
  rtc::LogMessage::SetStderrSeverity(rtc::LS_WARNING);
  corvanetools::Simulator simulator(options);
  if (!simulator.Setup(&error)) {
    std::fprintf(stderr, "corvane-client: %s\n", error.c_str());
    return 2;
  }
  g_simulator = &simulator;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  std::unique_ptr<corvanetools::HostileSender> hostile;
  if (options.hostile_rate > 0) {
    std::vector<uint64_t> ids;
    for (const auto& user : options.roster.users) ids.push_back(user.user_id);
    hostile = std::make_unique<corvanetools::HostileSender>(options.server, options.hostile_rate,
                                                            ids, options.loss_seed);
    if (!hostile->Start(&error)) {
      std::fprintf(stderr, "corvane-client: %s\n", error.c_str());
      return 2;
    }
  }
  simulator.Run();
  g_simulator = nullptr;
  if (hostile) {
    hostile->Stop();
    if (!options.quiet)
      std::fprintf(stderr, "hostile datagrams sent: %llu\n",
                   static_cast<unsigned long long>(hostile->sent()));
  }

  if (!simulator.FinishAudio(&error)) {
    std::fprintf(stderr, "corvane-client: %s\n", error.c_str());
    return 2;
  }
  const corvanetools::RunResult result = simulator.Result();
  if (options.json) {
    corvanetools::PrintJson(result, std::cout);
  } else {
    corvanetools::PrintTable(result, options.table_rows, std::cout);
    corvanetools::PrintSpeechTable(result, options.table_rows, std::cout);
  }
  std::cout.flush();
  return result.ok ? 0 : 1;
}
