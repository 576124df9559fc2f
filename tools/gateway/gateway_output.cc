#include "gateway/gateway_output.h"

#include <cstdio>
#include <vector>

namespace corvanetools {

namespace {

std::string Fixed(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%.3f", value);
  return buffer;
}

std::string ServerName(const ServerInfo& server) {
  return "server " + std::to_string(server.number);
}

std::string ServerJson(const ServerInfo& server) {
  return "\"server\":" + std::to_string(server.number);
}

std::string TextOrNil(const std::string& text) { return text.empty() ? "nil" : text; }

}  // namespace

std::string ServerTypeName(int32_t type) {
  if (type == 1) return "forwarding";
  if (type == 3) return "mixing";
  return "type " + std::to_string(type);
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof(buffer), "\\u%04x", static_cast<unsigned char>(c));
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void GatewayOutput::Emit(const std::string& text, const std::string& json) {
  sink_(json_ ? "{" + json + "}" : text);
}

void GatewayOutput::Listening(const std::string& address) {
  Emit("listening on " + address, "\"event\":\"listening\",\"address\":" + JsonQuote(address));
}

void GatewayOutput::Connected(const std::string& peer) {
  Emit("connection from " + peer, "\"event\":\"connected\",\"peer\":" + JsonQuote(peer));
}

void GatewayOutput::Registered(const ServerInfo& s, bool again) {
  Emit(ServerName(s) + (again ? " registered again" : " registered") + ": " +
           ServerTypeName(s.type) + " server, bgp " + TextOrNil(s.bgp_ip) + " tel " +
           TextOrNil(s.tel_ip) + " port " + std::to_string(s.port) + ", from " + s.peer,
       "\"event\":\"registered\"," + ServerJson(s) + ",\"again\":" + (again ? "true" : "false") +
           ",\"type\":" + std::to_string(s.type) +
           ",\"type_name\":" + JsonQuote(ServerTypeName(s.type)) +
           ",\"bgp_ip\":" + JsonQuote(s.bgp_ip) + ",\"tel_ip\":" + JsonQuote(s.tel_ip) +
           ",\"port\":" + std::to_string(s.port) + ",\"peer\":" + JsonQuote(s.peer));
}

void GatewayOutput::Disconnected(const ServerInfo* s, const std::string& peer, int error) {
  const std::string who = s != nullptr ? ServerName(*s) + " (" + peer + ")" : peer;
  Emit(who + " disconnected" + (error != 0 ? ", error " + std::to_string(error) : ""),
       "\"event\":\"disconnected\"," +
           (s != nullptr ? ServerJson(*s) + "," : std::string("\"server\":null,")) +
           "\"peer\":" + JsonQuote(peer) + ",\"error\":" + std::to_string(error));
}

void GatewayOutput::Heartbeat(const ServerInfo& s) {
  Emit(ServerName(s) + " heartbeat " + std::to_string(s.heartbeats),
       "\"event\":\"heartbeat\"," + ServerJson(s) + ",\"count\":" + std::to_string(s.heartbeats));
}

void GatewayOutput::Command(int line, const std::string& text) {
  Emit("> " + text,
       "\"event\":\"command\",\"line\":" + std::to_string(line) + ",\"text\":" + JsonQuote(text));
}

void GatewayOutput::Sent(const ServerInfo& s, uint32_t session, const std::string& what) {
  Emit(ServerName(s) + " session " + std::to_string(session) + " sent: " + what,
       "\"event\":\"sent\"," + ServerJson(s) + ",\"session\":" + std::to_string(session) +
           ",\"request\":" + JsonQuote(what));
}

void GatewayOutput::Response(const ServerInfo& s, uint32_t session, int result,
                             const std::string& what, double rtt_ms, bool expect_failed,
                             int expected) {
  Emit(ServerName(s) + " session " + std::to_string(session) + " result " + std::to_string(result) +
           " (" + what + ") in " + Fixed(rtt_ms) + " ms" +
           (expect_failed ? ", expected " + std::to_string(expected) + ": FAILED" : ""),
       "\"event\":\"response\"," + ServerJson(s) + ",\"session\":" + std::to_string(session) +
           ",\"result\":" + std::to_string(result) + ",\"request\":" + JsonQuote(what) +
           ",\"rtt_ms\":" + Fixed(rtt_ms) + ",\"ok\":" + (expect_failed ? "false" : "true"));
}

void GatewayOutput::Timeout(const ServerInfo& s, uint32_t session, const std::string& what) {
  Emit(
      ServerName(s) + " session " + std::to_string(session) + " no response (" + what + "): FAILED",
      "\"event\":\"timeout\"," + ServerJson(s) + ",\"session\":" + std::to_string(session) +
          ",\"request\":" + JsonQuote(what));
}

void GatewayOutput::Lost(const ServerInfo& s, uint32_t session, const std::string& what) {
  Emit(ServerName(s) + " session " + std::to_string(session) + " lost with the connection (" +
           what + "): FAILED",
       "\"event\":\"lost\"," + ServerJson(s) + ",\"session\":" + std::to_string(session) +
           ",\"request\":" + JsonQuote(what));
}

void GatewayOutput::Unsolicited(const ServerInfo& s, uint32_t session, int result) {
  Emit(ServerName(s) + " response to unknown session " + std::to_string(session) + ", result " +
           std::to_string(result),
       "\"event\":\"unsolicited\"," + ServerJson(s) + ",\"session\":" + std::to_string(session) +
           ",\"result\":" + std::to_string(result));
}

void GatewayOutput::UnknownMessage(const ServerInfo* s, uint16_t message_id, size_t size) {
  Emit((s != nullptr ? ServerName(*s) : std::string("unregistered server")) + " sent message " +
           std::to_string(message_id) + " (" + std::to_string(size) + " bytes), ignored",
       "\"event\":\"unknown_message\"," +
           (s != nullptr ? ServerJson(*s) : std::string("\"server\":null")) +
           ",\"message_id\":" + std::to_string(message_id) + ",\"size\":" + std::to_string(size));
}

void GatewayOutput::Error(int line, const std::string& message) {
  Emit((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + "error: " + message,
       "\"event\":\"error\",\"line\":" + std::to_string(line) +
           ",\"message\":" + JsonQuote(message));
}

void GatewayOutput::ServerList(const std::vector<ServerInfo>& servers) {
  if (!json_) {
    if (servers.empty()) sink_("no server has registered");
    for (const ServerInfo& s : servers) {
      sink_(ServerName(s) + ": " + ServerTypeName(s.type) + ", bgp " + TextOrNil(s.bgp_ip) +
            " tel " + TextOrNil(s.tel_ip) + " port " + std::to_string(s.port) + ", " +
            (s.connected ? "connected from " + s.peer : std::string("disconnected")) + ", " +
            std::to_string(s.heartbeats) + " heartbeats");
    }
    return;
  }
  std::string json = "\"event\":\"servers\",\"servers\":[";
  for (size_t i = 0; i < servers.size(); ++i) {
    const ServerInfo& s = servers[i];
    if (i > 0) json += ",";
    json += "{\"server\":" + std::to_string(s.number) + ",\"type\":" + std::to_string(s.type) +
            ",\"bgp_ip\":" + JsonQuote(s.bgp_ip) + ",\"tel_ip\":" + JsonQuote(s.tel_ip) +
            ",\"port\":" + std::to_string(s.port) + ",\"peer\":" + JsonQuote(s.peer) +
            ",\"connected\":" + (s.connected ? "true" : "false") +
            ",\"heartbeats\":" + std::to_string(s.heartbeats) + "}";
  }
  sink_("{" + json + "]}");
}

void GatewayOutput::WaitedServers(int64_t count, double waited_ms) {
  Emit(std::to_string(count) + " servers registered after " + Fixed(waited_ms) + " ms",
       "\"event\":\"servers_ready\",\"count\":" + std::to_string(count) +
           ",\"waited_ms\":" + Fixed(waited_ms));
}

void GatewayOutput::Done(bool ok, uint64_t requests, uint64_t responses, uint64_t failures) {
  Emit(std::string("done: ") + (ok ? "OK" : "FAILED") + ", " + std::to_string(requests) +
           " requests, " + std::to_string(responses) + " responses, " + std::to_string(failures) +
           " failures",
       "\"event\":\"done\",\"ok\":" + std::string(ok ? "true" : "false") + ",\"requests\":" +
           std::to_string(requests) + ",\"responses\":" + std::to_string(responses) +
           ",\"failures\":" + std::to_string(failures));
}

}  // namespace corvanetools
