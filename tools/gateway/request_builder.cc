#include "gateway/request_builder.h"

#include <map>
#include <utility>

#include "control/control_header.h"
#include "control/control_messages.h"

namespace corvanetools {

namespace {

using corvaneserver::kControlHeaderSize;

bool Encode(const PbObj& body, std::vector<uint8_t>* out) {
  out->assign(body.Size(), 0);
  const int written = body.MarshalTo(out->data());
  return written >= 0 && static_cast<size_t>(written) == out->size();
}

std::string Ids(uint64_t room_id, uint64_t user_id) {
  return "room " + std::to_string(room_id) + " user " + std::to_string(user_id);
}

bool AddRequest(uint16_t message_id, const PbObj& body, std::string what, const Command& command,
                std::vector<Request>* requests, std::string* error) {
  Request request;
  request.target = command.target;
  request.message_id = message_id;
  request.what = std::move(what);
  request.has_expect = command.has_expect;
  request.expect = command.expect;
  if (!Encode(body, &request.body)) {
    *error = "cannot encode " + request.what;
    return false;
  }
  requests->push_back(std::move(request));
  return true;
}

bool AddMute(const Command& command, uint64_t room_id, uint64_t user_id, bool unmuted,
             std::vector<Request>* requests, std::string* error) {
  corvaneserver::MuteSpeakerReq mute;
  mute.room_id = room_id;
  mute.user_id = user_id;
  mute.unmuted = unmuted;
  return AddRequest(corvaneserver::kMsgIdMuteSpeaker, mute,
                    std::string(unmuted ? "unmute " : "mute ") + Ids(room_id, user_id), command,
                    requests, error);
}

}  // namespace

bool BuildRequests(const Command& command, std::vector<Request>* requests, std::string* error) {
  switch (command.kind) {
    case CommandKind::kCreateRoom: {
      corvaneserver::CreateRoomReq create;
      create.room_id = command.room_id;
      for (const CommandUser& user : command.users) {
        auto entry = std::make_unique<corvaneserver::CreateRoomReq_User>();
        entry->user_id = user.user_id;
        entry->user_type = user.type;
        entry->token = user.token;
        create.users.push_back(std::move(entry));
      }
      if (!AddRequest(corvaneserver::kMsgIdCreateRoom, create,
                      "create room " + std::to_string(command.room_id) + " with " +
                          std::to_string(command.users.size()) + " users",
                      command, requests, error)) {
        return false;
      }
      for (const CommandUser& user : command.users) {
        if (user.muted &&
            !AddMute(command, command.room_id, user.user_id, false, requests, error)) {
          return false;
        }
      }
      return true;
    }
    case CommandKind::kJoin: {
      corvaneserver::JoinRoomReq join;
      join.room_id = command.room_id;
      join.user_id = command.user_id;
      join.user_type = command.user_type;
      join.token = command.token;
      if (!AddRequest(corvaneserver::kMsgIdJoinRoom, join,
                      "join " + Ids(command.room_id, command.user_id) + " type " +
                          std::to_string(command.user_type),
                      command, requests, error)) {
        return false;
      }
      return !command.muted ||
             AddMute(command, command.room_id, command.user_id, false, requests, error);
    }
    case CommandKind::kQuitRoom: {
      corvaneserver::QuitRoomReq quit;
      quit.room_id = command.room_id;
      quit.user_id = command.user_id;
      return AddRequest(corvaneserver::kMsgIdQuitRoom, quit,
                        "quit " + Ids(command.room_id, command.user_id), command, requests, error);
    }
    case CommandKind::kAllow:
    case CommandKind::kDeny: {
      corvaneserver::AllowSpeakerReq allow;
      allow.room_id = command.room_id;
      allow.user_id = command.user_id;
      allow.allow = command.kind == CommandKind::kAllow;
      return AddRequest(
          corvaneserver::kMsgIdAllowSpeaker, allow,
          std::string(allow.allow ? "allow " : "deny ") + Ids(command.room_id, command.user_id),
          command, requests, error);
    }
    case CommandKind::kMute:
    case CommandKind::kUnmute:
      return AddMute(command, command.room_id, command.user_id,
                     command.kind == CommandKind::kUnmute, requests, error);
    case CommandKind::kAddCascade: {
      corvaneserver::AddCascadeReq cascade;
      cascade.room_id = command.room_id;
      cascade.user_id = command.user_id;
      cascade.reserved = command.reserved;
      cascade.address = command.address;
      return AddRequest(
          corvaneserver::kMsgIdAddCascade, cascade,
          "add cascade " + Ids(command.room_id, command.user_id) + " to " + command.address,
          command, requests, error);
    }
    case CommandKind::kAddRecorder: {
      corvaneserver::AddRecorderReq recorder;
      recorder.room_id = command.room_id;
      recorder.user_id = command.user_id;
      recorder.unique_id = command.unique_id;
      recorder.token = command.token;
      return AddRequest(corvaneserver::kMsgIdAddRecorder, recorder,
                        "add recorder " + Ids(command.room_id, command.user_id), command, requests,
                        error);
    }
    case CommandKind::kCloseRoom: {
      corvaneserver::CloseRoomReq close;
      close.room_id = command.room_id;
      return AddRequest(kCloseRoomMessageId, close, "close room " + std::to_string(command.room_id),
                        command, requests, error);
    }
    default:
      *error = std::string("'") + CommandName(command.kind) + "' sends no request";
      return false;
  }
}

void BuildRosterRequests(const Roster& roster, const std::string& default_target,
                         std::vector<Request>* requests) {
  auto target_of = [&default_target](const rtc::SocketAddress& server) {
    return server.IsNil() ? default_target : server.ToString();
  };
  // One create-room per (room, server), in the order the rooms first appear.
  std::vector<std::pair<uint64_t, std::string>> order;
  std::map<std::pair<uint64_t, std::string>, Command> creates;
  for (const RosterUser& user : roster.users) {
    const auto key = std::make_pair(user.room_id, target_of(user.server));
    auto it = creates.find(key);
    if (it == creates.end()) {
      order.push_back(key);
      Command command;
      command.kind = CommandKind::kCreateRoom;
      command.room_id = user.room_id;
      command.target = key.second;
      it = creates.emplace(key, std::move(command)).first;
    }
    CommandUser member;
    member.user_id = user.user_id;
    member.type = UserTypeOf(user.role);
    member.token = user.token;
    member.muted = user.role == Role::kMuted;
    it->second.users.push_back(member);
  }
  std::string ignored;
  for (const auto& key : order) BuildRequests(creates[key], requests, &ignored);
  for (const RosterCascade& cascade : roster.cascades) {
    Command command;
    command.kind = CommandKind::kAddCascade;
    command.target = target_of(cascade.server);
    command.room_id = cascade.room_id;
    command.user_id = cascade.cascade_id;
    command.address = cascade.address.ToString();
    BuildRequests(command, requests, &ignored);
  }
}

std::vector<uint8_t> FrameRequest(const Request& request, uint32_t session_id) {
  std::vector<uint8_t> frame(kControlHeaderSize + request.body.size());
  corvaneserver::WriteControlHeader(frame.data(), static_cast<uint32_t>(frame.size()),
                                    corvaneserver::kControlKindRequest, request.message_id,
                                    session_id);
  std::copy(request.body.begin(), request.body.end(), frame.begin() + kControlHeaderSize);
  return frame;
}

}  // namespace corvanetools
