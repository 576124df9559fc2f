// The roster shared by corvane-gateway and corvane-client: which users sit in
// which room, with which role and token, and which rooms are cascaded to a peer.
//
// Text form, one entry per line, '#' starts a comment:
//
//   room ROOM user ID ROLE TOKEN [server=IP:PORT] [start=MS] [auth=token|none|wrong]
//        [level=0-255] [priority=0|1] [wav=FILE]
//   cascade ROOM id ID address IP:PORT [server=IP:PORT]
//
// ROLE is speaker, listener, muted (a speaker the gateway mutes after the
// join) or cascader (joined with user type 3). `server` is the media address
// of the server the user talks to (and that the gateway sends its join to);
// `start` delays the user's first datagram by MS milliseconds after traffic
// starts; `auth` makes the client send no token or a wrong one; `level` and
// `priority` are what a speaker's frames carry for a mixing server (payload
// byte 0 and bit 0x10 of byte 1); `wav` makes a speaker talk with the speech
// of a WAV file (Opus frames; see voice_audio.h). A cascade line
// asks for a link from room ROOM on `server` to a peer at `address`; the client
// plays that peer.
#ifndef TOOLS_CLIENT_ROSTER_H_
#define TOOLS_CLIENT_ROSTER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/socket_address.h"

namespace corvanetools {

enum class Role { kSpeaker, kListener, kMuted, kCascader };

// How a simulated user presents itself on its first datagrams.
enum class AuthMode { kToken, kNone, kWrong };

// "speaker", "listener", "muted", "cascader".
const char* RoleName(Role role);
bool RoleFromString(const std::string& text, Role* role);
// The user type sent in join and create-room requests: 2 for speaker and
// muted, 1 for listener, 3 for cascader.
int32_t UserTypeOf(Role role);
// True for the roles whose voice the server forwards (an unmuted speaker).
inline bool IsHeardRole(Role role) { return role == Role::kSpeaker; }
// True for the roles that send voice at the configured rate.
inline bool IsTalkingRole(Role role) { return role == Role::kSpeaker || role == Role::kMuted; }

const char* AuthModeName(AuthMode mode);

struct RosterUser {
  uint64_t room_id = 0;
  uint64_t user_id = 0;
  Role role = Role::kListener;
  std::string token;
  rtc::SocketAddress server;  // nil: the default server
  int64_t start_ms = 0;
  AuthMode auth = AuthMode::kToken;
  int level = -1;  // -1: the client's default level
  bool priority = false;
  std::string wav;  // empty: the speaker sends probes, not speech
  // This user's network conditions (corvane-client's --uplink / --downlink
  // CONDITIONS, checked by the client); empty: the client's.
  std::string uplink;
  std::string downlink;
};

struct RosterCascade {
  uint64_t room_id = 0;
  uint64_t cascade_id = 0;
  rtc::SocketAddress address;  // where the peer listens
  rtc::SocketAddress server;   // nil: the default server
};

struct Roster {
  std::vector<RosterUser> users;
  std::vector<RosterCascade> cascades;

  // Distinct room ids of users and cascades, ascending.
  std::vector<uint64_t> RoomIds() const;
  const RosterUser* FindUser(uint64_t user_id) const;
};

// Parses one line into `roster`. Blank and comment lines add nothing. False
// with a reason in *error for anything else that does not fit the grammar.
bool ParseRosterLine(const std::string& line, Roster* roster, std::string* error);
// Parses a whole text; *error names the failing line ("line 3: ...").
// Also refuses a user id that appears twice.
bool ParseRoster(const std::string& text, Roster* roster, std::string* error);
bool LoadRosterFile(const std::string& path, Roster* roster, std::string* error);
// Command-line form of one user: ROOM:ID:ROLE:TOKEN.
bool ParseUserArgument(const std::string& text, RosterUser* user, std::string* error);

// The text form of the roster, one line per entry, readable by ParseRoster.
std::string FormatRoster(const Roster& roster);

// Rooms first_room, first_room + 1, ...; each with `speakers` speakers,
// `muted` muted speakers and `listeners` listeners, user ids counting up from
// first_user, tokens "tok-<id>".
Roster GenerateRoster(int rooms, int speakers, int listeners, int muted, uint64_t first_room,
                      uint64_t first_user);

// Small parsing helpers shared by the tools' command lines.
bool ParseU64(const std::string& text, uint64_t* value);
bool ParseI64(const std::string& text, int64_t* value);
bool ParseDouble(const std::string& text, double* value);
// "ip:port" with an IPv4 literal and a port from 1 to 65535.
bool ParseIpPort(const std::string& text, rtc::SocketAddress* address);
// Splits on blanks (spaces and tabs).
std::vector<std::string> SplitWords(const std::string& line);

}  // namespace corvanetools

#endif  // TOOLS_CLIENT_ROSTER_H_
