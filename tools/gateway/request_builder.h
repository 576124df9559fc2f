// Turns script commands and rosters into the control requests the gateway
// sends, and frames them with the 10-byte control header.
#ifndef TOOLS_GATEWAY_REQUEST_BUILDER_H_
#define TOOLS_GATEWAY_REQUEST_BUILDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "client/roster.h"
#include "gateway/gateway_command.h"

namespace corvanetools {

// Close room has no id of its own in the control protocol's table; the
// servers bind it to this one, agreed with the gateway.
constexpr uint16_t kCloseRoomMessageId = 12011;

struct Request {
  std::string target;  // as in Command::target
  uint16_t message_id = 0;
  std::vector<uint8_t> body;
  std::string what;  // "join room 1 user 5 type 2", for the output
  bool has_expect = false;
  int expect = 0;
};

// The requests of a room command, in the order to send them (a muted member
// adds a mute request after its join). False with a reason when the command
// sends nothing or cannot be encoded.
bool BuildRequests(const Command& command, std::vector<Request>* requests, std::string* error);

// Creates every room of the roster: one create-room per room and server
// (members in roster order, on the server their server= names, else on
// default_target), then a mute for every muted member, then the cascades.
void BuildRosterRequests(const Roster& roster, const std::string& default_target,
                         std::vector<Request>* requests);

// Header (kind 0, the request's id and the session id) followed by the body.
std::vector<uint8_t> FrameRequest(const Request& request, uint32_t session_id);

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_REQUEST_BUILDER_H_
