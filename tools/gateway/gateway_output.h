// What corvane-gateway reports, as readable lines or as one JSON object per
// line (--json). Every line goes to a sink; main writes them to stdout.
#ifndef TOOLS_GATEWAY_GATEWAY_OUTPUT_H_
#define TOOLS_GATEWAY_GATEWAY_OUTPUT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace corvanetools {

// A registered server as the output names it.
struct ServerInfo {
  int number = 0;  // registration order, from 1
  int32_t type = 0;
  std::string bgp_ip;
  std::string tel_ip;
  uint32_t port = 0;
  std::string peer;  // the TCP peer address
  bool connected = false;
  uint64_t heartbeats = 0;
};

// "forwarding" for 1, "mixing" for 3, "type N" otherwise.
std::string ServerTypeName(int32_t type);

class GatewayOutput {
 public:
  using Sink = std::function<void(const std::string& line)>;

  GatewayOutput(bool json, Sink sink) : json_(json), sink_(std::move(sink)) {}

  void Listening(const std::string& address);
  void Connected(const std::string& peer);
  void Registered(const ServerInfo& server, bool again);
  void Disconnected(const ServerInfo* server, const std::string& peer, int error);
  void Heartbeat(const ServerInfo& server);
  void Command(int line, const std::string& text);
  void Sent(const ServerInfo& server, uint32_t session, const std::string& what);
  // result is the 16-bit result field read as a signed number.
  void Response(const ServerInfo& server, uint32_t session, int result, const std::string& what,
                double rtt_ms, bool expect_failed, int expected);
  void Timeout(const ServerInfo& server, uint32_t session, const std::string& what);
  void Lost(const ServerInfo& server, uint32_t session, const std::string& what);
  void Unsolicited(const ServerInfo& server, uint32_t session, int result);
  void UnknownMessage(const ServerInfo* server, uint16_t message_id, size_t size);
  void Error(int line, const std::string& message);
  void ServerList(const std::vector<ServerInfo>& servers);
  void WaitedServers(int64_t count, double waited_ms);
  void Done(bool ok, uint64_t requests, uint64_t responses, uint64_t failures);

 private:
  void Emit(const std::string& text, const std::string& json);

  const bool json_;
  const Sink sink_;
};

// JSON string literal of `text`, quotes included.
std::string JsonQuote(const std::string& text);

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_GATEWAY_OUTPUT_H_
