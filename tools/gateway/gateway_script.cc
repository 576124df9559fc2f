// The script side of the gateway: one command at a time, each request sent
// only after the previous one was answered (or timed out).
#include <algorithm>

#include "base/time_utils.h"

#include "client/roster.h"
#include "gateway/gateway.h"

namespace corvanetools {

void Gateway::StepScript(int64_t now_us) {
  while (!done_) {
    switch (wait_) {
      case Wait::kResponse:
        if (!outstanding_.empty()) {
          if (now_us < wait_until_us_) return;
          for (const auto& [session, pending] : outstanding_) {
            output_.Timeout(servers_[static_cast<size_t>(pending.server - 1)], session,
                            pending.request.what);
            Fail();
          }
          outstanding_.clear();
        }
        wait_ = Wait::kNone;
        break;
      case Wait::kServers:
        if (ConnectedServers() >= wait_servers_) {
          output_.WaitedServers(wait_servers_,
                                static_cast<double>(now_us - wait_started_us_) / 1000.0);
          wait_ = Wait::kNone;
          break;
        }
        if (now_us < wait_until_us_) return;
        output_.Error(line_number_, std::to_string(ConnectedServers()) + " of " +
                                        std::to_string(wait_servers_) +
                                        " servers registered in time; the script stops here");
        Fail();
        Finish();
        return;
      case Wait::kSleep:
        if (now_us < wait_until_us_) return;
        wait_ = Wait::kNone;
        break;
      case Wait::kServe:
        return;  // until RequestStop
      case Wait::kNone:
        break;
    }
    if (SendNextRequest(now_us)) continue;
    if (lines_.empty()) {
      if (input_ended_) Finish();
      return;
    }
    const std::string line = lines_.front();
    lines_.pop_front();
    ++line_number_;
    Command command;
    std::string error;
    if (!ParseCommand(line, &command, &error)) {
      output_.Error(line_number_, error);
      Fail();
      continue;
    }
    if (command.kind == CommandKind::kNothing) continue;
    output_.Command(line_number_, command.text);
    Execute(command, now_us);
  }
}

void Gateway::Execute(const Command& command, int64_t now_us) {
  switch (command.kind) {
    case CommandKind::kWaitServers:
      wait_ = Wait::kServers;
      wait_servers_ = command.count;
      wait_started_us_ = now_us;
      wait_until_us_ = now_us + command.duration_ms * 1000;
      return;
    case CommandKind::kSleep:
      wait_ = Wait::kSleep;
      wait_until_us_ = now_us + command.duration_ms * 1000;
      return;
    case CommandKind::kServers:
      output_.ServerList(servers_);
      return;
    case CommandKind::kServe:
      wait_ = Wait::kServe;
      return;
    case CommandKind::kEnd:
      lines_.clear();
      Finish();
      return;
    case CommandKind::kLoad: {
      Roster roster;
      std::string error;
      if (!LoadRosterFile(command.path, &roster, &error)) {
        output_.Error(line_number_, error);
        Fail();
        return;
      }
      std::vector<Request> requests;
      BuildRosterRequests(roster, command.target, &requests);
      for (Request& request : requests) {
        request.has_expect = command.has_expect;
        request.expect = command.expect;
        queued_.push_back(std::move(request));
      }
      return;
    }
    default: {
      std::vector<Request> requests;
      std::string error;
      bool built = false;
      if (command.kind == CommandKind::kSpread) {
        built = ExecuteSpread(command, &requests, &error);
      } else if (command.kind == CommandKind::kWithdraw || command.kind == CommandKind::kRestore) {
        built = ExecuteWithdrawOrRestore(command, &requests, &error);
      } else {
        built = BuildRequests(command, &requests, &error);
      }
      if (!built) {
        output_.Error(line_number_, error);
        Fail();
        return;
      }
      for (Request& request : requests) {
        request.has_expect = command.has_expect;
        request.expect = command.expect;
        queued_.push_back(std::move(request));
      }
      return;
    }
  }
}

int Gateway::ResolveTarget(const std::string& target) const {
  if (target.empty()) return servers_.empty() ? 0 : 1;
  int64_t number = 0;
  if (ParseI64(target, &number)) {
    return number >= 1 && number <= static_cast<int64_t>(servers_.size()) ? static_cast<int>(number)
                                                                          : 0;
  }
  // An address: the newest server that has it, connected ones first.
  int found = 0;
  for (const ServerInfo& server : servers_) {
    const std::string port = ":" + std::to_string(server.port);
    const bool match = (!server.bgp_ip.empty() && server.bgp_ip + port == target) ||
                       (!server.tel_ip.empty() && server.tel_ip + port == target) ||
                       server.peer == target;
    if (match && (found == 0 || server.connected)) found = server.number;
  }
  return found;
}

bool Gateway::SendNextRequest(int64_t now_us) {
  while (!queued_.empty()) {
    Request request = std::move(queued_.front());
    queued_.pop_front();
    if (request.target == "all") {
      // One copy per connected server, in registration order.
      std::vector<Request> copies;
      for (const ServerInfo& server : servers_) {
        if (!server.connected) continue;
        copies.push_back(request);
        copies.back().target = std::to_string(server.number);
      }
      if (copies.empty()) {
        output_.Error(line_number_, "no server is connected for " + request.what);
        Fail();
      }
      for (auto it = copies.rbegin(); it != copies.rend(); ++it) queued_.push_front(*it);
      continue;
    }
    const int number = ResolveTarget(request.target);
    ServerLink* link = number > 0 ? LinkOf(number) : nullptr;
    if (link == nullptr) {
      output_.Error(line_number_, "no connected server '" +
                                      (request.target.empty() ? "1" : request.target) + "' for " +
                                      request.what);
      Fail();
      continue;
    }
    const uint32_t session = next_session_++;
    const std::vector<uint8_t> frame = FrameRequest(request, session);
    if (!link->Send(frame)) {
      output_.Error(line_number_, "cannot send " + request.what + " (" +
                                      std::to_string(frame.size()) + " bytes)");
      Fail();
      continue;
    }
    ++requests_;
    if (options_.verbose)
      output_.Sent(servers_[static_cast<size_t>(number - 1)], session, request.what);
    Outstanding& pending = outstanding_[session];
    pending.request = std::move(request);
    pending.server = number;
    pending.sent_us = now_us;
    wait_ = Wait::kResponse;
    wait_until_us_ = now_us + int64_t{options_.timeout_ms} * 1000;
    return true;
  }
  return false;
}

}  // namespace corvanetools
