#include "gateway/room_spread.h"

#include <algorithm>
#include <set>

namespace corvanetools {

namespace {

constexpr uint64_t kCascadeIdBase = uint64_t{1} << 63;

// The requests of one command built here; such a command always encodes.
void Send(const Command& command, std::vector<Request>* requests) {
  std::string error;
  BuildRequests(command, requests, &error);
}

// A request about the link from `on` towards `to`: its member id comes from
// the peer's address, so both ends name the same link alike.
Command LinkCommand(CommandKind kind, const Placement& placement, const std::string& on,
                    const std::string& to) {
  rtc::SocketAddress peer;
  peer.FromString(to);
  Command command;
  command.kind = kind;
  command.target = on;
  command.room_id = placement.room_id;
  command.user_id = CascadeIdOf(peer);
  return command;
}

void AddCascadeOn(const Placement& placement, const std::string& on, const std::string& to,
                  std::vector<Request>* requests) {
  Command command = LinkCommand(CommandKind::kAddCascade, placement, on, to);
  command.address = to;
  Send(command, requests);
}

void DropCascadeOn(const Placement& placement, const std::string& on, const std::string& to,
                   std::vector<Request>* requests) {
  Send(LinkCommand(CommandKind::kQuitRoom, placement, on, to), requests);
}

using AddressPair = std::pair<std::string, std::string>;

// The links of a placement by the addresses of their two ends, smaller first.
std::set<AddressPair> LinkAddresses(const Placement& placement) {
  std::set<AddressPair> links;
  for (const auto& [first, second] : SpreadLinks(placement.shape, placement.servers.size())) {
    links.insert(std::minmax(placement.servers[first], placement.servers[second]));
  }
  return links;
}

size_t IndexOf(const Placement& placement, const std::string& server) {
  return static_cast<size_t>(std::find(placement.servers.begin(), placement.servers.end(), server) -
                             placement.servers.begin());
}

}  // namespace

bool ParseSpreadShape(const std::string& text, SpreadShape* shape) {
  if (text == "star") {
    *shape = SpreadShape::kStar;
  } else if (text == "chain") {
    *shape = SpreadShape::kChain;
  } else if (text == "mesh") {
    *shape = SpreadShape::kMesh;
  } else {
    return false;
  }
  return true;
}

const char* SpreadShapeName(SpreadShape shape) {
  switch (shape) {
    case SpreadShape::kStar:
      return "star";
    case SpreadShape::kChain:
      return "chain";
    case SpreadShape::kMesh:
      return "mesh";
  }
  return "?";
}

std::vector<std::pair<size_t, size_t>> SpreadLinks(SpreadShape shape, size_t count) {
  std::vector<std::pair<size_t, size_t>> links;
  for (size_t second = 1; second < count; ++second) {
    switch (shape) {
      case SpreadShape::kStar:
        links.emplace_back(0, second);
        break;
      case SpreadShape::kChain:
        links.emplace_back(second - 1, second);
        break;
      case SpreadShape::kMesh:
        for (size_t first = 0; first < second; ++first) links.emplace_back(first, second);
        break;
    }
  }
  return links;
}

uint64_t CascadeIdOf(const rtc::SocketAddress& peer_address) {
  return kCascadeIdBase | (uint64_t{peer_address.ipaddr().v4AddressAsHostOrderInteger()} << 16) |
         peer_address.port();
}

void BuildPlaceRequests(const Placement& placement, size_t index, std::vector<Request>* requests) {
  const std::string& server = placement.servers[index];
  Command create;
  create.kind = CommandKind::kCreateRoom;
  create.target = server;
  create.room_id = placement.room_id;
  for (const RosterUser& user : placement.users) {
    const bool talks = user.role == Role::kSpeaker || user.role == Role::kMuted;
    const std::string home =
        user.server.IsNil() ? placement.servers.front() : user.server.ToString();
    if (!talks && home != server) continue;
    CommandUser member;
    member.user_id = user.user_id;
    member.type = UserTypeOf(user.role);
    member.token = user.token;
    member.muted = user.role == Role::kMuted;
    create.users.push_back(member);
  }
  Send(create, requests);
}

void BuildLinkRequests(const Placement& placement, size_t first, size_t second,
                       std::vector<Request>* requests) {
  AddCascadeOn(placement, placement.servers[first], placement.servers[second], requests);
  AddCascadeOn(placement, placement.servers[second], placement.servers[first], requests);
}

void BuildSpreadRequests(const Placement& placement, std::vector<Request>* requests) {
  for (size_t index = 0; index < placement.servers.size(); ++index) {
    BuildPlaceRequests(placement, index, requests);
  }
  for (const auto& [first, second] : SpreadLinks(placement.shape, placement.servers.size())) {
    BuildLinkRequests(placement, first, second, requests);
  }
}

bool BuildWithdrawRequests(Placement* placement, const std::string& server, bool close_on_server,
                           std::vector<Request>* requests) {
  const size_t index = IndexOf(*placement, server);
  if (index == placement->servers.size()) return false;
  const std::set<AddressPair> before = LinkAddresses(*placement);
  placement->servers.erase(placement->servers.begin() + static_cast<std::ptrdiff_t>(index));
  const std::set<AddressPair> after = LinkAddresses(*placement);
  for (const auto& [first, second] : before) {
    if (after.count({first, second}) != 0) continue;
    // A link that goes: dropped on the sides that stay in the room.
    if (first != server) DropCascadeOn(*placement, first, second, requests);
    if (second != server) DropCascadeOn(*placement, second, first, requests);
  }
  if (close_on_server) {
    Command close;
    close.kind = CommandKind::kCloseRoom;
    close.target = server;
    close.room_id = placement->room_id;
    Send(close, requests);
  }
  for (const auto& [first, second] : after) {
    if (before.count({first, second}) != 0) continue;
    AddCascadeOn(*placement, first, second, requests);
    AddCascadeOn(*placement, second, first, requests);
  }
  return true;
}

void BuildRestoreRequests(Placement* placement, const std::string& server,
                          std::vector<Request>* requests) {
  size_t index = IndexOf(*placement, server);
  if (index == placement->servers.size()) placement->servers.push_back(server);
  BuildPlaceRequests(*placement, index, requests);
  for (const auto& [first, second] : SpreadLinks(placement->shape, placement->servers.size())) {
    if (first == index || second == index) BuildLinkRequests(*placement, first, second, requests);
  }
}

}  // namespace corvanetools
