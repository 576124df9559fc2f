// One line of a corvane-gateway script, parsed:
//
//   [@SERVER] COMMAND ARGUMENTS... [expect=RESULT]
//
// SERVER is the registration number of a server (1 for the first to
// register), one of its addresses (IP:PORT) or "all"; without it a command goes
// to server 1. expect= makes a different result count as a failure.
#ifndef TOOLS_GATEWAY_GATEWAY_COMMAND_H_
#define TOOLS_GATEWAY_GATEWAY_COMMAND_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvanetools {

enum class CommandKind {
  kNothing,      // blank or comment line
  kWaitServers,  // wait-servers N [TIMEOUT_MS]
  kCreateRoom,   // create-room ROOM ID:ROLE:TOKEN...
  kLoad,         // load FILE
  kJoin,         // join ROOM USER ROLE TOKEN
  kQuitRoom,     // quit-room ROOM USER (or quit ROOM USER)
  kAllow,        // allow ROOM USER
  kDeny,         // deny ROOM USER
  kMute,         // mute ROOM USER
  kUnmute,       // unmute ROOM USER
  kAddCascade,   // add-cascade ROOM ID ADDRESS [RESERVED]
  kAddRecorder,  // add-recorder ROOM USER UNIQUE TOKEN
  kCloseRoom,    // close-room ROOM
  kSpread,       // spread FILE star|chain|mesh [SERVER...]
  kWithdraw,     // withdraw ROOM SERVER
  kRestore,      // restore ROOM SERVER
  kSleep,        // sleep MS (or pause MS)
  kServers,      // servers
  kServe,        // serve: run until a signal
  kEnd,          // quit / exit
};

// One member of a create-room command. `type` is the user type sent; a
// member given as "muted" is sent as a speaker and muted right after.
struct CommandUser {
  uint64_t user_id = 0;
  int32_t type = 0;
  std::string token;
  bool muted = false;
};

struct Command {
  CommandKind kind = CommandKind::kNothing;
  std::string target;  // "" (server 1), "all", "N" or "IP:PORT"
  std::string text;    // the line as written, without comment

  uint64_t room_id = 0;
  uint64_t user_id = 0;    // join, quit, allow, deny, mute, unmute, add-recorder; cascade id
  uint64_t unique_id = 0;  // add-recorder
  int32_t user_type = 0;   // join
  bool muted = false;      // join as muted
  int32_t reserved = 0;    // add-cascade
  std::string token;       // join, add-recorder
  std::string address;     // add-cascade
  std::string path;        // load, spread
  std::string shape;       // spread
  std::vector<std::string> servers;  // spread; withdraw and restore: the one server
  std::vector<CommandUser> users;    // create-room

  int64_t count = 0;        // wait-servers
  int64_t duration_ms = 0;  // wait-servers time-out, sleep

  bool has_expect = false;
  int expect = 0;  // compared with the result as a signed 16-bit number
};

// The name a command is written with ("create-room", ...).
const char* CommandName(CommandKind kind);

// Parses one line. False with a reason for a line that is not a command.
bool ParseCommand(const std::string& line, Command* command, std::string* error);

// A role name (speaker, listener, muted, cascader) or a user type number.
// Sets *muted for "muted" (a speaker, muted after joining).
bool ParseUserType(const std::string& text, int32_t* type, bool* muted);

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_GATEWAY_COMMAND_H_
