#include "client/roster.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "base/ip_address.h"

namespace corvanetools {

const char* RoleName(Role role) {
  switch (role) {
    case Role::kSpeaker:
      return "speaker";
    case Role::kListener:
      return "listener";
    case Role::kMuted:
      return "muted";
    case Role::kCascader:
      return "cascader";
  }
  return "?";
}

bool RoleFromString(const std::string& text, Role* role) {
  if (text == "speaker") {
    *role = Role::kSpeaker;
  } else if (text == "listener") {
    *role = Role::kListener;
  } else if (text == "muted") {
    *role = Role::kMuted;
  } else if (text == "cascader") {
    *role = Role::kCascader;
  } else {
    return false;
  }
  return true;
}

int32_t UserTypeOf(Role role) {
  switch (role) {
    case Role::kSpeaker:
    case Role::kMuted:
      return 2;
    case Role::kListener:
      return 1;
    case Role::kCascader:
      return 3;
  }
  return 1;
}

const char* AuthModeName(AuthMode mode) {
  switch (mode) {
    case AuthMode::kToken:
      return "token";
    case AuthMode::kNone:
      return "none";
    case AuthMode::kWrong:
      return "wrong";
  }
  return "?";
}

std::vector<uint64_t> Roster::RoomIds() const {
  std::set<uint64_t> ids;
  for (const RosterUser& user : users) ids.insert(user.room_id);
  for (const RosterCascade& cascade : cascades) ids.insert(cascade.room_id);
  return std::vector<uint64_t>(ids.begin(), ids.end());
}

const RosterUser* Roster::FindUser(uint64_t user_id) const {
  for (const RosterUser& user : users) {
    if (user.user_id == user_id) return &user;
  }
  return nullptr;
}

bool ParseU64(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  uint64_t parsed = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, parsed, 10);
  if (ec != std::errc() || ptr != end) return false;
  *value = parsed;
  return true;
}

bool ParseI64(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  int64_t parsed = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, parsed, 10);
  if (ec != std::errc() || ptr != end) return false;
  *value = parsed;
  return true;
}

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  *value = parsed;
  return true;
}

bool ParseIpPort(const std::string& text, rtc::SocketAddress* address) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  rtc::IPAddress ip;
  if (!rtc::IPFromString(text.substr(0, colon), &ip) || ip.family() != AF_INET) return false;
  uint64_t port = 0;
  if (!ParseU64(text.substr(colon + 1), &port) || port == 0 || port > 65535) return false;
  *address = rtc::SocketAddress(ip, static_cast<int>(port));
  return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

namespace {

// Splits "key=value"; false when there is no '='.
bool SplitOption(const std::string& word, std::string* key, std::string* value) {
  const size_t eq = word.find('=');
  if (eq == std::string::npos) return false;
  *key = word.substr(0, eq);
  *value = word.substr(eq + 1);
  return true;
}

bool ParseUserOptions(const std::vector<std::string>& words, size_t first, RosterUser* user,
                      std::string* error) {
  for (size_t i = first; i < words.size(); ++i) {
    std::string key;
    std::string value;
    if (!SplitOption(words[i], &key, &value)) {
      *error = "expected key=value, got '" + words[i] + "'";
      return false;
    }
    if (key == "server") {
      if (!ParseIpPort(value, &user->server)) {
        *error = "bad server address '" + value + "'";
        return false;
      }
    } else if (key == "start") {
      if (!ParseI64(value, &user->start_ms) || user->start_ms < 0) {
        *error = "bad start '" + value + "'";
        return false;
      }
    } else if (key == "auth") {
      if (value == "token") {
        user->auth = AuthMode::kToken;
      } else if (value == "none") {
        user->auth = AuthMode::kNone;
      } else if (value == "wrong") {
        user->auth = AuthMode::kWrong;
      } else {
        *error = "auth must be token, none or wrong";
        return false;
      }
    } else if (key == "uplink" || key == "downlink") {
      if (value.empty()) {
        *error = key + " needs conditions, got '" + words[i] + "'";
        return false;
      }
      (key == "uplink" ? user->uplink : user->downlink) = value;
    } else if (key == "level") {
      int64_t level = 0;
      if (!ParseI64(value, &level) || level < 0 || level > 255) {
        *error = "level is 0 to 255, got '" + value + "'";
        return false;
      }
      user->level = static_cast<int>(level);
    } else if (key == "priority") {
      if (value != "0" && value != "1") {
        *error = "priority is 0 or 1, got '" + value + "'";
        return false;
      }
      user->priority = value == "1";
    } else if (key == "wav") {
      if (value.empty()) {
        *error = "wav needs a file name";
        return false;
      }
      user->wav = value;
    } else {
      *error = "unknown option '" + key + "'";
      return false;
    }
  }
  return true;
}

bool CheckToken(const std::string& token, std::string* error) {
  if (token.empty() || token.size() > 2047) {
    *error = "a token has 1 to 2047 bytes";
    return false;
  }
  return true;
}

}  // namespace

bool ParseRosterLine(const std::string& raw_line, Roster* roster, std::string* error) {
  std::string line = raw_line;
  const size_t hash = line.find('#');
  if (hash != std::string::npos) line.resize(hash);
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return true;

  if (words[0] == "room") {
    // room ROOM user ID ROLE TOKEN [options]
    RosterUser user;
    if (words.size() < 6 || words[2] != "user") {
      *error =
          "expected: room ROOM user ID ROLE TOKEN [server=IP:PORT] [start=MS] [auth=MODE] "
          "[level=N] [priority=0|1] [wav=FILE] [uplink=CONDITIONS] [downlink=CONDITIONS]";
      return false;
    }
    if (!ParseU64(words[1], &user.room_id)) {
      *error = "bad room id '" + words[1] + "'";
      return false;
    }
    if (!ParseU64(words[3], &user.user_id)) {
      *error = "bad user id '" + words[3] + "'";
      return false;
    }
    if (!RoleFromString(words[4], &user.role)) {
      *error = "role must be speaker, listener, muted or cascader, got '" + words[4] + "'";
      return false;
    }
    user.token = words[5];
    if (!CheckToken(user.token, error)) return false;
    if (!ParseUserOptions(words, 6, &user, error)) return false;
    roster->users.push_back(user);
    return true;
  }

  if (words[0] == "cascade") {
    // cascade ROOM id ID address IP:PORT [server=IP:PORT]
    RosterCascade cascade;
    if (words.size() < 6 || words[2] != "id" || words[4] != "address") {
      *error = "expected: cascade ROOM id ID address IP:PORT [server=IP:PORT]";
      return false;
    }
    if (!ParseU64(words[1], &cascade.room_id)) {
      *error = "bad room id '" + words[1] + "'";
      return false;
    }
    if (!ParseU64(words[3], &cascade.cascade_id)) {
      *error = "bad cascade id '" + words[3] + "'";
      return false;
    }
    if (!ParseIpPort(words[5], &cascade.address)) {
      *error = "bad peer address '" + words[5] + "'";
      return false;
    }
    for (size_t i = 6; i < words.size(); ++i) {
      std::string key;
      std::string value;
      if (!SplitOption(words[i], &key, &value) || key != "server" ||
          !ParseIpPort(value, &cascade.server)) {
        *error = "expected server=IP:PORT, got '" + words[i] + "'";
        return false;
      }
    }
    roster->cascades.push_back(cascade);
    return true;
  }

  *error = "a line starts with 'room' or 'cascade', got '" + words[0] + "'";
  return false;
}

bool ParseRoster(const std::string& text, Roster* roster, std::string* error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  std::set<uint64_t> ids;
  while (std::getline(in, line)) {
    ++number;
    std::string reason;
    const size_t users_before = roster->users.size();
    if (!ParseRosterLine(line, roster, &reason)) {
      *error = "line " + std::to_string(number) + ": " + reason;
      return false;
    }
    if (roster->users.size() > users_before) {
      if (!ids.insert(roster->users.back().user_id).second) {
        *error = "line " + std::to_string(number) + ": user " +
                 std::to_string(roster->users.back().user_id) + " appears twice";
        return false;
      }
    }
  }
  return true;
}

bool LoadRosterFile(const std::string& path, Roster* roster, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string reason;
  if (!ParseRoster(text.str(), roster, &reason)) {
    *error = path + ": " + reason;
    return false;
  }
  return true;
}

bool ParseUserArgument(const std::string& text, RosterUser* user, std::string* error) {
  // ROOM:ID:ROLE:TOKEN; the token is the rest, so it may hold ':'.
  size_t pos = 0;
  std::string parts[3];
  for (std::string& part : parts) {
    const size_t colon = text.find(':', pos);
    if (colon == std::string::npos) {
      *error = "expected ROOM:ID:ROLE:TOKEN, got '" + text + "'";
      return false;
    }
    part = text.substr(pos, colon - pos);
    pos = colon + 1;
  }
  RosterUser parsed;
  if (!ParseU64(parts[0], &parsed.room_id) || !ParseU64(parts[1], &parsed.user_id)) {
    *error = "bad room or user id in '" + text + "'";
    return false;
  }
  if (!RoleFromString(parts[2], &parsed.role)) {
    *error = "bad role in '" + text + "'";
    return false;
  }
  parsed.token = text.substr(pos);
  if (!CheckToken(parsed.token, error)) return false;
  *user = parsed;
  return true;
}

std::string FormatRoster(const Roster& roster) {
  std::ostringstream out;
  for (const RosterUser& user : roster.users) {
    out << "room " << user.room_id << " user " << user.user_id << ' ' << RoleName(user.role) << ' '
        << user.token;
    if (!user.server.IsNil()) out << " server=" << user.server.ToString();
    if (user.start_ms != 0) out << " start=" << user.start_ms;
    if (user.auth != AuthMode::kToken) out << " auth=" << AuthModeName(user.auth);
    if (user.level >= 0) out << " level=" << user.level;
    if (user.priority) out << " priority=1";
    if (!user.wav.empty()) out << " wav=" << user.wav;
    if (!user.uplink.empty()) out << " uplink=" << user.uplink;
    if (!user.downlink.empty()) out << " downlink=" << user.downlink;
    out << '\n';
  }
  for (const RosterCascade& cascade : roster.cascades) {
    out << "cascade " << cascade.room_id << " id " << cascade.cascade_id << " address "
        << cascade.address.ToString();
    if (!cascade.server.IsNil()) out << " server=" << cascade.server.ToString();
    out << '\n';
  }
  return out.str();
}

Roster GenerateRoster(int rooms, int speakers, int listeners, int muted, uint64_t first_room,
                      uint64_t first_user) {
  Roster roster;
  uint64_t next_user = first_user;
  for (int r = 0; r < rooms; ++r) {
    const uint64_t room_id = first_room + static_cast<uint64_t>(r);
    auto add = [&](Role role, int count) {
      for (int i = 0; i < count; ++i) {
        RosterUser user;
        user.room_id = room_id;
        user.user_id = next_user++;
        user.role = role;
        user.token = "tok-" + std::to_string(user.user_id);
        roster.users.push_back(user);
      }
    };
    add(Role::kSpeaker, speakers);
    add(Role::kMuted, muted);
    add(Role::kListener, listeners);
  }
  return roster;
}

}  // namespace corvanetools
