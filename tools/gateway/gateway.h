// The gateway's engine: one thread, one poll loop over the listening socket,
// the servers' links and (when commands come from it) standard input. It
// registers servers, answers their registrations, sends heartbeats and runs
// the script one command at a time, waiting for each response.
#ifndef TOOLS_GATEWAY_GATEWAY_H_
#define TOOLS_GATEWAY_GATEWAY_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/socket_address.h"

#include "gateway/gateway_command.h"
#include "gateway/gateway_options.h"
#include "gateway/gateway_output.h"
#include "gateway/request_builder.h"
#include "gateway/room_spread.h"
#include "gateway/server_link.h"

namespace corvanetools {

class Gateway {
 public:
  Gateway(GatewayOptions options, GatewayOutput::Sink sink);
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Opens the listening socket and reads the script file. False with a reason.
  bool Start(std::string* error);
  // Where the servers connect (with the port the system chose for port 0).
  const rtc::SocketAddress& listen_address() const { return listen_address_; }

  // Runs until the script ends or a stop is requested; returns the exit status
  // (0 all well, 1 a failure).
  int Run();
  // Safe from any thread and from a signal handler: sets the flag and wakes
  // the loop's poll through a pipe, so the stop never waits for a poll
  // time-out or depends on the signal interrupting the poll.
  void RequestStop();

 private:
  enum class Wait { kNone, kResponse, kServers, kSleep, kServe };

  struct Outstanding {
    Request request;
    int server = 0;
    int64_t sent_us = 0;
  };

  // --- Links and registrations (gateway.cc) ---
  void Accept();
  void OnMessage(ServerLink* link, const uint8_t* data, size_t size);
  void OnRegister(ServerLink* link, const uint8_t* data, size_t size);
  void OnResponse(ServerLink* link, const corvaneserver::ControlResponse& response);
  void OnLinkClosed(ServerLink* link);
  void SendHeartbeats();
  void ReadStdin();
  ServerInfo* ServerOf(const ServerLink* link);
  ServerLink* LinkOf(int server_number);
  int ConnectedServers() const;

  // --- Script (gateway_script.cc) ---
  // Advances the script as far as it can go now. Sets done_ at its end.
  void StepScript(int64_t now_us);
  void Execute(const Command& command, int64_t now_us);
  // Sends the next queued request; false when there was none.
  bool SendNextRequest(int64_t now_us);
  // The server a target names, 0 when none does.
  int ResolveTarget(const std::string& target) const;
  // The media address ("IP:PORT") of a server named by number or address;
  // false with a reason when the name fits no server and no IPv4 address.
  bool MediaAddressOf(const std::string& target, std::string* address, std::string* error) const;
  // spread, withdraw and restore (room_spread_script.cc): their requests
  // queued, false with a reason when there are none to send.
  bool ExecuteSpread(const Command& command, std::vector<Request>* requests, std::string* error);
  bool ExecuteWithdrawOrRestore(const Command& command, std::vector<Request>* requests,
                                std::string* error);
  void Fail() { ++failures_; }
  void Finish() { done_ = true; }

  const GatewayOptions options_;
  GatewayOutput output_;

  int listen_fd_ = -1;
  rtc::SocketAddress listen_address_;
  std::vector<std::unique_ptr<ServerLink>> links_;
  // Every server that ever registered, by number - 1.
  std::vector<ServerInfo> servers_;

  // Script input.
  std::deque<std::string> lines_;
  int line_number_ = 0;
  bool input_ended_ = false;
  std::string stdin_partial_;

  // Script state.
  Wait wait_ = Wait::kNone;
  int64_t wait_until_us_ = 0;
  int64_t wait_started_us_ = 0;
  int64_t wait_servers_ = 0;
  std::deque<Request> queued_;
  // Rooms placed by spread, by room id: where withdraw and restore work.
  std::map<uint64_t, Placement> placements_;
  std::map<uint32_t, Outstanding> outstanding_;
  uint32_t next_session_ = 1;

  int64_t next_heartbeat_us_ = 0;
  uint64_t requests_ = 0;
  uint64_t responses_ = 0;
  uint64_t failures_ = 0;
  bool done_ = false;
  std::atomic<bool> stop_requested_{false};
  // Non-blocking pipe: RequestStop writes, the loop polls the read end.
  int wake_fds_[2] = {-1, -1};
};

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_GATEWAY_H_
