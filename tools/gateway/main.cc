// corvane-gateway: a reference gateway that registers corvane servers and
// drives them from a script.
#include <signal.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "gateway/gateway_options.h"

namespace {

corvanetools::Gateway* g_gateway = nullptr;

void OnSignal(int) {
  if (g_gateway != nullptr) g_gateway->RequestStop();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  corvanetools::GatewayOptions options;
  std::string error;
  switch (corvanetools::ParseGatewayOptions(args, &options, &error)) {
    case corvanetools::GatewayParse::kHelp:
      std::cout << corvanetools::GatewayUsage();
      return 0;
    case corvanetools::GatewayParse::kError:
      std::fprintf(stderr, "corvane-gateway: %s\n", error.c_str());
      return 2;
    case corvanetools::GatewayParse::kRun:
      break;
  }
  corvanetools::Gateway gateway(options, [](const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  });
  if (!gateway.Start(&error)) {
    std::fprintf(stderr, "corvane-gateway: %s\n", error.c_str());
    return 2;
  }
  g_gateway = &gateway;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int status = gateway.Run();
  g_gateway = nullptr;
  return status;
}
