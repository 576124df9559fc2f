#include "control/gateway_connector.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "base/ip_address.h"
#include "base/logging.h"
#include "control/control_header.h"

namespace corvaneserver {

GatewayConnector::GatewayConnector(const std::string& gateway_address,
                                   GatewayMessageHandler* handler)
    : thread_(rtc::Thread::Current()), handler_(handler) {
  StartConnect(gateway_address);
}

GatewayConnector::~GatewayConnector() { CloseConnect(); }

void GatewayConnector::StartConnect(std::string gateway_address) {
  while (!gateway_address.empty()) {
    const size_t bar = gateway_address.find('|');
    const std::string part = gateway_address.substr(0, bar);
    RTC_LOG(LS_INFO) << "connect to gateway " << part;
    rtc::SocketAddress address;
    address.FromString(part);
    ConnectGateway(address);
    gateway_address.erase(0, bar == std::string::npos ? std::string::npos : bar + 1);
  }
}

void GatewayConnector::ConnectGateway(const rtc::SocketAddress& address) {
  if (!address.IsComplete()) {
    RTC_LOG(LS_ERROR) << "connect to gateway " << address.ToString() << " failed";
    return;
  }
  auto found = connections_.find(address);
  // The same address listed twice shares one connection.
  if (found != connections_.end() && found->second) return;

  auto stream = rtc::AsyncTCPSocket::CreateStreamSocket(thread_, address.ipaddr().family());
  if (!stream) {
    RTC_LOG(LS_ERROR) << "create asyncsocket to " << address.ToString() << " failed";
    return;
  }
  const rtc::SocketAddress any(rtc::IPAddress(static_cast<uint32_t>(INADDR_ANY)), 0);
  std::unique_ptr<rtc::AsyncTCPSocket> socket =
      rtc::AsyncTCPSocket::Create(std::move(stream), any, address, kMaxControlMessageSize);
  if (!socket) {
    RTC_LOG(LS_ERROR) << "create asynctcpsocket to " << address.ToString() << " failed";
    return;
  }
  socket->SetConnectCallback([this](rtc::AsyncPacketSocket* s) { OnConnectEvent(s); });
  socket->SetReadPacketCallback(
      [this](rtc::AsyncPacketSocket* s, const uint8_t* data, size_t size,
             const rtc::SocketAddress& remote) { OnReadEvent(s, data, size, remote); });
  socket->SetCloseCallback(
      [this](rtc::AsyncPacketSocket* s, int error) { OnCloseEvent(s, error); });
  connections_[address] = std::move(socket);
}

void GatewayConnector::TimerProcess() {
  for (auto& [address, socket] : connections_) {
    if (socket) {
      SendHeartbeatNotify(socket.get());
    } else {
      reconnects_.Add();
      ConnectGateway(address);
    }
  }
}

void GatewayConnector::SendHeartbeatNotify(rtc::AsyncTCPSocket* socket) {
  const auto heartbeat = BuildHeartbeatNotify();
  socket->Send(heartbeat.data(), heartbeat.size());
}

void GatewayConnector::CloseConnect() {
  for (auto& entry : connections_) {
    std::unique_ptr<rtc::AsyncTCPSocket>& socket = entry.second;
    if (!socket) continue;
    socket->ClearCallbacks();
    socket->Close();
    thread_->Dispose(socket.release());
  }
  connections_.clear();
  connected_.clear();
  connected_count_.store(0, std::memory_order_relaxed);
}

std::map<rtc::SocketAddress, std::unique_ptr<rtc::AsyncTCPSocket>>::iterator
GatewayConnector::FindEntry(const rtc::AsyncPacketSocket* socket) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->second.get() == socket) return it;
  }
  return connections_.end();
}

void GatewayConnector::OnConnectEvent(rtc::AsyncPacketSocket* socket) {
  auto entry = FindEntry(socket);
  if (entry == connections_.end()) return;
  RTC_LOG(LS_INFO) << "gateway " << entry->first.ToString() << " connect successed";
  connected_.insert(socket);
  connected_count_.store(static_cast<int>(connected_.size()), std::memory_order_relaxed);
  handler_->SendRegisterMessage(socket);
  // The handler ran foreign code: look the entry up again.
  entry = FindEntry(socket);
  if (entry == connections_.end()) return;
  SendHeartbeatNotify(entry->second.get());
}

void GatewayConnector::OnReadEvent(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t size,
                                   const rtc::SocketAddress& remote) {
  handler_->HandleMessage(socket, data, size, remote);
}

void GatewayConnector::OnCloseEvent(rtc::AsyncPacketSocket* socket, int error) {
  auto entry = FindEntry(socket);
  if (entry == connections_.end()) return;
  if (error == ECONNRESET) {
    RTC_LOG(LS_INFO) << "gateway [" << entry->first.ToString() << "] disconnect";
  }
  connected_.erase(socket);
  connected_count_.store(static_cast<int>(connected_.size()), std::memory_order_relaxed);
  // Never deleted inside its own callback: the loop disposes of it later.
  entry->second->ClearCallbacks();
  thread_->Dispose(entry->second.release());
}

}  // namespace corvaneserver
