// Rooms spread over several forwarding servers: where a roster's members are
// joined, which servers are linked to which, and the control requests that
// place a room, take a server out of it and put a server (back) into it.
//
// Every speaker (and muted speaker) is joined on every server of the room under
// the same id and token, so each server can take its datagrams in from a peer;
// a listener is joined only on the server its roster line names (the first
// server when it names none). Each link is added on both sides.
#ifndef TOOLS_GATEWAY_ROOM_SPREAD_H_
#define TOOLS_GATEWAY_ROOM_SPREAD_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client/roster.h"
#include "gateway/request_builder.h"

namespace corvanetools {

// star: the first server is linked with each other one; chain: each server
// with the next; mesh: every two servers (the servers drop what comes round).
enum class SpreadShape { kStar, kChain, kMesh };

bool ParseSpreadShape(const std::string& text, SpreadShape* shape);
const char* SpreadShapeName(SpreadShape shape);

// The links of `count` servers in `shape`, as pairs of indexes (first < second).
std::vector<std::pair<size_t, size_t>> SpreadLinks(SpreadShape shape, size_t count);

// The cascade id under which a server keeps its link to the server at
// `peer_address` ("IP:PORT"): derived from the address, so that linking the
// same two servers again replaces the link instead of adding a second one.
// Ids from 2^63 up, out of the way of the gateway's user ids.
uint64_t CascadeIdOf(const rtc::SocketAddress& peer_address);

// One room as the gateway placed it.
struct Placement {
  uint64_t room_id = 0;
  SpreadShape shape = SpreadShape::kStar;
  std::vector<std::string> servers;  // media addresses "IP:PORT", in link order
  std::vector<RosterUser> users;     // the room's roster lines
};

// The room on every server of `placement`, then the links, both sides each.
void BuildSpreadRequests(const Placement& placement, std::vector<Request>* requests);
// The room on `placement.servers[index]` alone: its create-room (speakers and
// its listeners) and the mutes.
void BuildPlaceRequests(const Placement& placement, size_t index, std::vector<Request>* requests);
// A link between two servers of the placement, added on both sides.
void BuildLinkRequests(const Placement& placement, size_t first, size_t second,
                       std::vector<Request>* requests);

// Takes `server` out of the room: the other servers drop their links to it,
// the room is closed on it when `close_on_server` (skip for a server that is
// gone), and the servers left are linked again in the room's shape (a chain
// closes the gap, a star without its hub gets the next server as hub).
// Updates `placement`. False when the server is not in the room.
bool BuildWithdrawRequests(Placement* placement, const std::string& server, bool close_on_server,
                           std::vector<Request>* requests);
// Puts `server` (back) into the room: a server already in it (restarted) is
// given the room again and its links are added again on both sides; a new
// one goes to the end of the shape. Updates `placement`.
void BuildRestoreRequests(Placement* placement, const std::string& server,
                          std::vector<Request>* requests);

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_ROOM_SPREAD_H_
