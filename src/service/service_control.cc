// Control messages from the gateway: dispatch, the request handlers, the
// registration and the responses. Everything here runs on the service thread.
#include <string>

#include "base/async_packet_socket.h"
#include "base/byte_io.h"
#include "base/logging.h"
#include "control/control_header.h"
#include "control/control_messages.h"
#include "control/user_type.h"
#include "service/service.h"
#include "service/service_address.h"

namespace corvaneserver {
namespace {

uint16_t GetMessageId(const uint8_t* frame) { return rtc::GetBE16(frame + 4); }
uint32_t GetSessionId(const uint8_t* frame) { return rtc::GetBE32(frame + 6); }

// Decodes the body behind the header. A body that does not decode leaves the
// fields it did not reach at their defaults, and the handler goes on with them.
template <class Body>
void DecodeBody(const uint8_t* frame, size_t length, Body* body) {
  body->Unmarshal(frame + kControlHeaderSize, length - kControlHeaderSize);
}

}  // namespace

void Service::FillHandlers() {
  handlers_[kMsgIdRegister] = &Service::HandleRegisterResponse;
  handlers_[kMsgIdHeartbeat] = &Service::HandleHeartbeatMsg;
  handlers_[kMsgIdJoinRoom] = &Service::HandleJoinRoomMsg;
  handlers_[kMsgIdQuitRoom] = &Service::HandleQuitRoomMsg;
  handlers_[kMsgIdAllowSpeaker] = &Service::HandleAllowSpeakerMsg;
  handlers_[kMsgIdMuteSpeaker] = &Service::HandleMuteSpeakerMsg;
  handlers_[kMsgIdCreateRoom] = &Service::HandleCreateRoomMsg;
  handlers_[kMsgIdAddCascade] = &Service::HandleAddCascadeMsg;
  handlers_[kMsgIdAddRecorder] = &Service::HandleAddRecorderMsg;
  handlers_[kMsgIdCloseRoom] = &Service::HandleRemoveRoomMsg;
}

void Service::HandleMessage(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                            const rtc::SocketAddress& remote) {
  if (data == nullptr || length < kControlHeaderSize) {
    RTC_LOG(LS_ERROR) << "message from " << remote.ToString() << " is too short, length [" << length
                      << "]";
    return;
  }
  const uint32_t id = GetMessageId(data);
  auto it = handlers_.find(id);
  if (it == handlers_.end()) {
    RTC_LOG(LS_ERROR) << "message [" << id << "] is out of handle";
    return;
  }
  (this->*(it->second))(socket, data, length, remote);
}

void Service::SendResponse(rtc::AsyncPacketSocket* socket, uint32_t session_id, int result) {
  const auto frame = BuildResponseFrame(session_id, result);
  socket->Send(frame.data(), frame.size());
}

void Service::SendRegisterMessage(rtc::AsyncPacketSocket* socket) {
  RegisterReq request;
  request.server_type = GetServerType();
  request.bgp_ip = GetServiceIp("packet_listen_bgp_eth");
  request.tel_ip = GetServiceIp("packet_listen_tel_eth");
  uint32_t port = 0;
  configure_->Read(port, "packet_listen_port");
  request.port = port;
  RTC_LOG(LS_INFO) << "send register message: bgp ip [" << request.bgp_ip << "] tel ip ["
                   << (request.tel_ip.empty() ? std::string("nil") : request.tel_ip) << "] port ["
                   << port << "]";
  const std::vector<uint8_t> frame = BuildRegisterMessage(request);
  if (!frame.empty()) socket->Send(frame.data(), frame.size());
}

void Service::HandleRegisterResponse(rtc::AsyncPacketSocket*, const uint8_t* data, size_t length,
                                     const rtc::SocketAddress& remote) {
  MessageRsp response;
  DecodeBody(data, length, &response);
  RTC_LOG(LS_INFO) << "received register response from [" << remote.ToString() << "] result is ["
                   << (response.result == 0 ? "successed" : "failed") << "]";
}

void Service::HandleHeartbeatMsg(rtc::AsyncPacketSocket*, const uint8_t*, size_t,
                                 const rtc::SocketAddress&) {}

void Service::HandleJoinRoomMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                                const rtc::SocketAddress& remote) {
  JoinRoomReq request;
  DecodeBody(data, length, &request);
  const uint32_t user_type = static_cast<uint32_t>(request.user_type);
  RTC_LOG(LS_INFO) << "received join room message from " << remote.ToString() << ", room id ["
                   << request.room_id << "], user id [" << request.user_id << "], type ["
                   << UserTypeToString(user_type) << "], token [" << request.token << "]";
  int result = -1;
  if (!request.token.empty()) {
    result = JoinRoom(request.room_id, request.user_id, user_type, request.token);
  }
  SendResponse(socket, GetSessionId(data), result);
}

void Service::HandleCreateRoomMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                  size_t length, const rtc::SocketAddress& remote) {
  CreateRoomReq request;
  DecodeBody(data, length, &request);
  int result = 0;
  for (const auto& user : request.users) {
    if (!user) continue;
    const uint32_t user_type = static_cast<uint32_t>(user->user_type);
    RTC_LOG(LS_INFO) << "received create room message from " << remote.ToString() << ", room id "
                     << request.room_id << ", user id " << user->user_id << ", type "
                     << UserTypeToString(user_type) << ", token " << user->token;
    // A member without a token could be taken over from any address, so such
    // an entry is refused like a join request without one.
    if (user->token.empty()) {
      result |= -1;
      continue;
    }
    result |= JoinRoom(request.room_id, user->user_id, user_type, user->token);
  }
  SendResponse(socket, GetSessionId(data), result);
}

void Service::HandleQuitRoomMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                                const rtc::SocketAddress& remote) {
  QuitRoomReq request;
  DecodeBody(data, length, &request);
  RTC_LOG(LS_INFO) << "received quit room message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "]";
  SendResponse(socket, GetSessionId(data), QuitRoom(request.room_id, request.user_id));
}

void Service::HandleAllowSpeakerMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                    size_t length, const rtc::SocketAddress& remote) {
  AllowSpeakerReq request;
  DecodeBody(data, length, &request);
  RTC_LOG(LS_INFO) << "received allow speaker message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] opeartor "
                   << (request.allow ? "speaker" : "listener");
  SendResponse(socket, GetSessionId(data),
               AllowSpeaker(request.room_id, request.user_id, request.allow));
}

void Service::HandleMuteSpeakerMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                   size_t length, const rtc::SocketAddress& remote) {
  MuteSpeakerReq request;
  DecodeBody(data, length, &request);
  RTC_LOG(LS_INFO) << "received mute speaker message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] opeartor "
                   << (request.unmuted ? "unmuted" : "muted");
  SendResponse(socket, GetSessionId(data),
               MuteSpeaker(request.room_id, request.user_id, request.unmuted));
}

void Service::HandleAddCascadeMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                  size_t length, const rtc::SocketAddress& remote) {
  AddCascadeReq request;
  DecodeBody(data, length, &request);
  RTC_LOG(LS_INFO) << "received add cascade message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] address ["
                   << request.address << "]";
  SendResponse(socket, GetSessionId(data),
               AddCascade(request.room_id, request.user_id, request.address));
}

void Service::HandleAddRecorderMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                   size_t length, const rtc::SocketAddress& remote) {
  AddRecorderReq request;
  DecodeBody(data, length, &request);
  RTC_LOG(LS_INFO) << "received add recorder message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] unique id ["
                   << request.unique_id << "] token is [" << request.token << "]";
  int result = -1;
  if (GetServerType() == kServerTypeRecorder) {
    result = AddRecorder(request.room_id, request.user_id, request.unique_id, request.token);
  } else {
    RTC_LOG(LS_INFO) << "add recorder failed, as this is not a rec-server";
  }
  SendResponse(socket, GetSessionId(data), result);
}

void Service::HandleRemoveRoomMsg(rtc::AsyncPacketSocket* socket, const uint8_t* data,
                                  size_t length, const rtc::SocketAddress& remote) {
  CloseRoomReq request;
  DecodeBody(data, length, &request);
  RTC_LOG(LS_INFO) << "received close room message from " << remote.ToString() << ", room id ["
                   << request.room_id << "]";
  SendResponse(socket, GetSessionId(data), RemoveRoom(request.room_id));
}

}  // namespace corvaneserver
