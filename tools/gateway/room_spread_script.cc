// The gateway's commands for rooms spread over several servers: spread places
// the rooms of a roster, withdraw takes a server out of a room, restore puts
// one (back) in. The requests come from room_spread; this file finds the
// servers and keeps the placements.
#include <algorithm>

#include "client/roster.h"
#include "gateway/gateway.h"

namespace corvanetools {

bool Gateway::MediaAddressOf(const std::string& target, std::string* address,
                             std::string* error) const {
  int64_t number = 0;
  if (ParseI64(target, &number)) {
    const int found = ResolveTarget(target);
    if (found == 0 || servers_[static_cast<size_t>(found - 1)].bgp_ip.empty()) {
      *error = "no registered server " + target;
      return false;
    }
    const ServerInfo& server = servers_[static_cast<size_t>(found - 1)];
    *address = server.bgp_ip + ":" + std::to_string(server.port);
    return true;
  }
  rtc::SocketAddress parsed;
  if (!parsed.FromString(target) || !parsed.IsComplete() || parsed.ipaddr().family() != AF_INET) {
    *error = "a server is a registration number or IP:PORT, got '" + target + "'";
    return false;
  }
  *address = parsed.ToString();
  return true;
}

bool Gateway::ExecuteSpread(const Command& command, std::vector<Request>* requests,
                            std::string* error) {
  Roster roster;
  if (!LoadRosterFile(command.path, &roster, error)) return false;
  SpreadShape shape = SpreadShape::kStar;
  ParseSpreadShape(command.shape, &shape);
  std::vector<std::string> servers;
  for (const std::string& target : command.servers) {
    std::string address;
    if (!MediaAddressOf(target, &address, error)) return false;
    servers.push_back(address);
  }
  if (servers.empty()) {
    // The servers the roster names, in the order it first names them.
    for (const RosterUser& user : roster.users) {
      if (user.server.IsNil()) continue;
      const std::string address = user.server.ToString();
      if (std::find(servers.begin(), servers.end(), address) == servers.end()) {
        servers.push_back(address);
      }
    }
  }
  if (servers.size() < 2) {
    *error = "spread needs at least two servers, named on the line or by the roster's server=";
    return false;
  }
  for (const RosterUser& user : roster.users) {
    if (!user.server.IsNil() &&
        std::find(servers.begin(), servers.end(), user.server.ToString()) == servers.end()) {
      *error = "user " + std::to_string(user.user_id) + " names server " + user.server.ToString() +
               ", which is not one of the room's servers";
      return false;
    }
  }
  for (const uint64_t room_id : roster.RoomIds()) {
    Placement placement;
    placement.room_id = room_id;
    placement.shape = shape;
    placement.servers = servers;
    for (const RosterUser& user : roster.users) {
      if (user.room_id == room_id) placement.users.push_back(user);
    }
    BuildSpreadRequests(placement, requests);
    placements_[room_id] = std::move(placement);
  }
  return true;
}

bool Gateway::ExecuteWithdrawOrRestore(const Command& command, std::vector<Request>* requests,
                                       std::string* error) {
  auto placement = placements_.find(command.room_id);
  if (placement == placements_.end()) {
    *error = "room " + std::to_string(command.room_id) + " was not placed by spread";
    return false;
  }
  std::string server;
  if (!MediaAddressOf(command.servers.front(), &server, error)) return false;
  if (command.kind == CommandKind::kRestore) {
    BuildRestoreRequests(&placement->second, server, requests);
    return true;
  }
  // A server that is gone cannot close the room; the others still drop it.
  const int number = ResolveTarget(server);
  const bool connected = number > 0 && servers_[static_cast<size_t>(number - 1)].connected;
  if (!BuildWithdrawRequests(&placement->second, server, connected, requests)) {
    *error = "server " + server + " is not in room " + std::to_string(command.room_id);
    return false;
  }
  return true;
}

}  // namespace corvanetools
