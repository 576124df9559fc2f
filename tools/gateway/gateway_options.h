// Command line of corvane-gateway.
#ifndef TOOLS_GATEWAY_GATEWAY_OPTIONS_H_
#define TOOLS_GATEWAY_GATEWAY_OPTIONS_H_

#include <string>
#include <vector>

#include "base/socket_address.h"

namespace corvanetools {

struct GatewayOptions {
  rtc::SocketAddress listen;            // port 0 picks a free port
  std::vector<std::string> exec_lines;  // --exec, run before the script
  std::string script_path;              // --script; "-" is standard input
  bool read_stdin = true;               // no --script and no --exec
  bool json = false;
  bool verbose = false;   // also print heartbeats and sent requests
  int timeout_ms = 5000;  // per response
  int heartbeat_ms = 10000;
};

enum class GatewayParse { kRun, kHelp, kError };

// Parses argv (argv[0] excluded); *error says why on kError.
GatewayParse ParseGatewayOptions(const std::vector<std::string>& args, GatewayOptions* options,
                                 std::string* error);

std::string GatewayUsage();

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_GATEWAY_OPTIONS_H_
