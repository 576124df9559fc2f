#include "gateway/gateway_command.h"

#include <limits>

#include "client/roster.h"

namespace corvanetools {

namespace {

constexpr int64_t kDefaultWaitServersMs = 10000;

struct Syntax {
  const char* name;
  CommandKind kind;
  const char* usage;
};

constexpr Syntax kSyntax[] = {
    {"wait-servers", CommandKind::kWaitServers, "wait-servers N [TIMEOUT_MS]"},
    {"create-room", CommandKind::kCreateRoom, "create-room ROOM ID:ROLE:TOKEN..."},
    {"load", CommandKind::kLoad, "load FILE"},
    {"join", CommandKind::kJoin, "join ROOM USER ROLE TOKEN"},
    {"quit-room", CommandKind::kQuitRoom, "quit-room ROOM USER"},
    {"allow", CommandKind::kAllow, "allow ROOM USER"},
    {"deny", CommandKind::kDeny, "deny ROOM USER"},
    {"mute", CommandKind::kMute, "mute ROOM USER"},
    {"unmute", CommandKind::kUnmute, "unmute ROOM USER"},
    {"add-cascade", CommandKind::kAddCascade, "add-cascade ROOM ID IP:PORT [RESERVED]"},
    {"add-recorder", CommandKind::kAddRecorder, "add-recorder ROOM USER UNIQUE TOKEN"},
    {"close-room", CommandKind::kCloseRoom, "close-room ROOM"},
    {"spread", CommandKind::kSpread, "spread FILE star|chain|mesh [SERVER...]"},
    {"withdraw", CommandKind::kWithdraw, "withdraw ROOM SERVER"},
    {"restore", CommandKind::kRestore, "restore ROOM SERVER"},
    {"sleep", CommandKind::kSleep, "sleep MS"},
    {"servers", CommandKind::kServers, "servers"},
    {"serve", CommandKind::kServe, "serve"},
    {"quit", CommandKind::kEnd, "quit"},
};

const Syntax* FindSyntax(CommandKind kind) {
  for (const Syntax& syntax : kSyntax) {
    if (syntax.kind == kind) return &syntax;
  }
  return nullptr;
}

bool ParseInt32(const std::string& text, int32_t* value) {
  int64_t parsed = 0;
  if (!ParseI64(text, &parsed) || parsed < std::numeric_limits<int32_t>::min() ||
      parsed > std::numeric_limits<int32_t>::max()) {
    return false;
  }
  *value = static_cast<int32_t>(parsed);
  return true;
}

bool ParseToken(const std::string& text, std::string* token, std::string* error) {
  if (text.size() > 2047) {
    *error = "a token has at most 2047 bytes";
    return false;
  }
  // "-" stands for an empty token, which the server refuses; useful to test that.
  *token = text == "-" ? std::string() : text;
  return true;
}

bool ParseMember(const std::string& text, CommandUser* user, std::string* error) {
  const size_t first = text.find(':');
  const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos) {
    *error = "a member is ID:ROLE:TOKEN, got '" + text + "'";
    return false;
  }
  if (!ParseU64(text.substr(0, first), &user->user_id)) {
    *error = "bad user id in '" + text + "'";
    return false;
  }
  if (!ParseUserType(text.substr(first + 1, second - first - 1), &user->type, &user->muted)) {
    *error = "bad role in '" + text + "'";
    return false;
  }
  return ParseToken(text.substr(second + 1), &user->token, error);
}

}  // namespace

const char* CommandName(CommandKind kind) {
  if (kind == CommandKind::kNothing) return "";
  const Syntax* syntax = FindSyntax(kind);
  return syntax == nullptr ? "?" : syntax->name;
}

bool ParseUserType(const std::string& text, int32_t* type, bool* muted) {
  *muted = false;
  Role role;
  if (RoleFromString(text, &role)) {
    *type = UserTypeOf(role);
    *muted = role == Role::kMuted;
    return true;
  }
  return ParseInt32(text, type);
}

bool ParseCommand(const std::string& raw_line, Command* command, std::string* error) {
  *command = Command();
  std::string line = raw_line;
  const size_t hash = line.find('#');
  if (hash != std::string::npos) line.resize(hash);
  std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return true;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) command->text += ' ';
    command->text += words[i];
  }

  if (words[0].size() > 1 && words[0][0] == '@') {
    command->target = words[0].substr(1);
    words.erase(words.begin());
    if (words.empty()) {
      *error = "a server is named but no command follows";
      return false;
    }
  }
  if (words.size() > 1 && words.back().rfind("expect=", 0) == 0) {
    int32_t expect = 0;
    if (!ParseInt32(words.back().substr(7), &expect) || expect < -32768 || expect > 65535) {
      *error = "bad " + words.back();
      return false;
    }
    // Results travel as 16 bits; compare them as signed numbers.
    command->expect = static_cast<int16_t>(static_cast<uint16_t>(expect));
    command->has_expect = true;
    words.pop_back();
  }

  std::string name = words[0];
  if (name == "pause") name = "sleep";
  if (name == "exit") name = "quit";
  if (name == "quit" && words.size() > 1) name = "quit-room";
  const Syntax* syntax = nullptr;
  for (const Syntax& candidate : kSyntax) {
    if (name == candidate.name) syntax = &candidate;
  }
  if (syntax == nullptr) {
    *error = "unknown command '" + words[0] + "' (see --help)";
    return false;
  }
  command->kind = syntax->kind;
  const std::vector<std::string> args(words.begin() + 1, words.end());
  const std::string usage = std::string("usage: ") + syntax->usage;
  auto need = [&](size_t low, size_t high) {
    if (args.size() < low || args.size() > high) {
      *error = usage;
      return false;
    }
    return true;
  };
  auto room_and_user = [&]() {
    if (!need(2, 2)) return false;
    if (!ParseU64(args[0], &command->room_id) || !ParseU64(args[1], &command->user_id)) {
      *error = "bad room or user id; " + usage;
      return false;
    }
    return true;
  };

  switch (command->kind) {
    case CommandKind::kNothing:
      return true;
    case CommandKind::kWaitServers:
      if (!need(1, 2)) return false;
      command->duration_ms = kDefaultWaitServersMs;
      if (!ParseI64(args[0], &command->count) || command->count < 0 ||
          (args.size() == 2 &&
           (!ParseI64(args[1], &command->duration_ms) || command->duration_ms < 0))) {
        *error = usage;
        return false;
      }
      return true;
    case CommandKind::kCreateRoom:
      if (!need(1, 100000)) return false;
      if (!ParseU64(args[0], &command->room_id)) {
        *error = "bad room id; " + usage;
        return false;
      }
      for (size_t i = 1; i < args.size(); ++i) {
        CommandUser user;
        if (!ParseMember(args[i], &user, error)) return false;
        command->users.push_back(user);
      }
      return true;
    case CommandKind::kLoad:
      if (!need(1, 1)) return false;
      command->path = args[0];
      return true;
    case CommandKind::kJoin:
      if (!need(4, 4)) return false;
      if (!ParseU64(args[0], &command->room_id) || !ParseU64(args[1], &command->user_id) ||
          !ParseUserType(args[2], &command->user_type, &command->muted)) {
        *error = "bad room, user or role; " + usage;
        return false;
      }
      return ParseToken(args[3], &command->token, error);
    case CommandKind::kQuitRoom:
    case CommandKind::kAllow:
    case CommandKind::kDeny:
    case CommandKind::kMute:
    case CommandKind::kUnmute:
      return room_and_user();
    case CommandKind::kAddCascade:
      if (!need(3, 4)) return false;
      if (!ParseU64(args[0], &command->room_id) || !ParseU64(args[1], &command->user_id) ||
          (args.size() == 4 && !ParseInt32(args[3], &command->reserved))) {
        *error = "bad room, id or reserved value; " + usage;
        return false;
      }
      command->address = args[2];
      return true;
    case CommandKind::kAddRecorder:
      if (!need(4, 4)) return false;
      if (!ParseU64(args[0], &command->room_id) || !ParseU64(args[1], &command->user_id) ||
          !ParseU64(args[2], &command->unique_id)) {
        *error = "bad room, user or unique id; " + usage;
        return false;
      }
      return ParseToken(args[3], &command->token, error);
    case CommandKind::kCloseRoom:
      if (!need(1, 1)) return false;
      if (!ParseU64(args[0], &command->room_id)) {
        *error = "bad room id; " + usage;
        return false;
      }
      return true;
    case CommandKind::kSpread:
      if (!need(2, 1000)) return false;
      if (args[1] != "star" && args[1] != "chain" && args[1] != "mesh") {
        *error = "bad shape '" + args[1] + "'; " + usage;
        return false;
      }
      command->path = args[0];
      command->shape = args[1];
      command->servers.assign(args.begin() + 2, args.end());
      return true;
    case CommandKind::kWithdraw:
    case CommandKind::kRestore:
      if (!need(2, 2)) return false;
      if (!ParseU64(args[0], &command->room_id)) {
        *error = "bad room id; " + usage;
        return false;
      }
      command->servers = {args[1]};
      return true;
    case CommandKind::kSleep:
      if (!need(1, 1)) return false;
      if (!ParseI64(args[0], &command->duration_ms) || command->duration_ms < 0) {
        *error = usage;
        return false;
      }
      return true;
    case CommandKind::kServers:
    case CommandKind::kServe:
    case CommandKind::kEnd:
      return need(0, 0);
  }
  return true;
}

}  // namespace corvanetools
