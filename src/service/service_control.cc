// Control messages from the gateway: dispatch, the request handlers, the
// registration and the responses. Everything here runs on the service thread.
#include <string>

#include "base/async_packet_socket.h"
#include "base/logging.h"
#include "control/control_header.h"
#include "control/control_messages.h"
#include "control/user_type.h"
#include "service/service.h"
#include "service/service_address.h"
#include "service/service_metrics.h"

namespace corvaneserver {
namespace {

// Decodes the body behind the header. A body that does not decode leaves the
// fields it did not reach at their defaults, and the handler goes on with them.
template <class Body>
void DecodeBody(const uint8_t* frame, size_t length, Body* body) {
  body->Unmarshal(frame + kControlHeaderSize, length - kControlHeaderSize);
}

// Serve(server, request, gateway address): logs one request and carries it out
// with the server's room operation; the result goes back to the gateway.

int Serve(Service& server, const JoinRoomReq& request, const rtc::SocketAddress& remote) {
  const uint32_t user_type = static_cast<uint32_t>(request.user_type);
  RTC_LOG(LS_INFO) << "received join room message from " << remote.ToString() << ", room id ["
                   << request.room_id << "], user id [" << request.user_id << "], type ["
                   << UserTypeToString(user_type) << "], token [" << request.token << "]";
  if (request.token.empty()) return -1;
  return server.JoinRoom(request.room_id, request.user_id, user_type, request.token);
}

int Serve(Service& server, const CreateRoomReq& request, const rtc::SocketAddress& remote) {
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
    result |= server.JoinRoom(request.room_id, user->user_id, user_type, user->token);
  }
  return result;
}

int Serve(Service& server, const QuitRoomReq& request, const rtc::SocketAddress& remote) {
  RTC_LOG(LS_INFO) << "received quit room message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "]";
  return server.QuitRoom(request.room_id, request.user_id);
}

int Serve(Service& server, const AllowSpeakerReq& request, const rtc::SocketAddress& remote) {
  RTC_LOG(LS_INFO) << "received allow speaker message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] opeartor "
                   << (request.allow ? "speaker" : "listener");
  return server.AllowSpeaker(request.room_id, request.user_id, request.allow);
}

int Serve(Service& server, const MuteSpeakerReq& request, const rtc::SocketAddress& remote) {
  RTC_LOG(LS_INFO) << "received mute speaker message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] opeartor "
                   << (request.unmuted ? "unmuted" : "muted");
  return server.MuteSpeaker(request.room_id, request.user_id, request.unmuted);
}

int Serve(Service& server, const AddCascadeReq& request, const rtc::SocketAddress& remote) {
  RTC_LOG(LS_INFO) << "received add cascade message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] address ["
                   << request.address << "]";
  return server.AddCascade(request.room_id, request.user_id, request.address);
}

int Serve(Service& server, const AddRecorderReq& request, const rtc::SocketAddress& remote) {
  RTC_LOG(LS_INFO) << "received add recorder message from " << remote.ToString() << ", room id ["
                   << request.room_id << "] user id [" << request.user_id << "] unique id ["
                   << request.unique_id << "] token is [" << request.token << "]";
  if (server.GetServerType() != kServerTypeRecorder) {
    RTC_LOG(LS_INFO) << "add recorder failed, as this is not a rec-server";
    return -1;
  }
  return server.AddRecorder(request.room_id, request.user_id, request.unique_id, request.token);
}

int Serve(Service& server, const CloseRoomReq& request, const rtc::SocketAddress& remote) {
  RTC_LOG(LS_INFO) << "received close room message from " << remote.ToString() << ", room id ["
                   << request.room_id << "]";
  return server.RemoveRoom(request.room_id);
}

}  // namespace

template <class Body>
void Service::HandleRequest(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                            const rtc::SocketAddress& remote) {
  ControlHeader header;
  ParseControlHeader(data, length, &header);  // HandleMessage checked the length
  Body request;
  DecodeBody(data, length, &request);
  const int result = Serve(*this, request, remote);
  ServiceMetrics::Get().CountRequest(header.message_id, result);
  SendResponse(socket, header.session_id, result);
}

void Service::FillHandlers() {
  handlers_[kMsgIdRegister] = &Service::HandleRegisterResponse;
  handlers_[kMsgIdHeartbeat] = &Service::HandleHeartbeatMsg;
  handlers_[kMsgIdJoinRoom] = &Service::HandleRequest<JoinRoomReq>;
  handlers_[kMsgIdQuitRoom] = &Service::HandleRequest<QuitRoomReq>;
  handlers_[kMsgIdAllowSpeaker] = &Service::HandleRequest<AllowSpeakerReq>;
  handlers_[kMsgIdMuteSpeaker] = &Service::HandleRequest<MuteSpeakerReq>;
  handlers_[kMsgIdCreateRoom] = &Service::HandleRequest<CreateRoomReq>;
  handlers_[kMsgIdAddCascade] = &Service::HandleRequest<AddCascadeReq>;
  handlers_[kMsgIdAddRecorder] = &Service::HandleRequest<AddRecorderReq>;
  handlers_[kMsgIdCloseRoom] = &Service::HandleRequest<CloseRoomReq>;
}

void Service::HandleMessage(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                            const rtc::SocketAddress& remote) {
  ControlHeader header;
  if (data == nullptr || !ParseControlHeader(data, length, &header)) {
    RTC_LOG(LS_ERROR) << "message from " << remote.ToString() << " is too short, length [" << length
                      << "]";
    return;
  }
  const uint32_t id = header.message_id;
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

}  // namespace corvaneserver
