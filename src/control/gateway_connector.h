// The server's TCP links to its gateways: one connection per configured
// address, registration and a heartbeat as soon as a connection is up, a
// heartbeat on every connection at each timer pass, and a new connection
// attempt at that pass for every link that went down.
//
// Everything runs on the thread that created the connector (the service
// thread): socket events, TimerProcess and the handler calls.
#ifndef CONTROL_GATEWAY_CONNECTOR_H_
#define CONTROL_GATEWAY_CONNECTOR_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "base/async_packet_socket.h"
#include "base/async_tcp_socket.h"
#include "base/metrics.h"
#include "base/socket_address.h"
#include "base/thread.h"
#include "control/gateway_message_handler.h"

namespace corvaneserver {

class GatewayConnector {
 public:
  // Starts connecting at once to every address of `gateway_address`
  // ("host:port" entries separated by "|"); the outcome arrives later as
  // socket events on the current thread's loop. The handler is borrowed and
  // must outlive the connector.
  GatewayConnector(const std::string& gateway_address, GatewayMessageHandler* handler);
  virtual ~GatewayConnector();
  GatewayConnector(const GatewayConnector&) = delete;
  GatewayConnector& operator=(const GatewayConnector&) = delete;

  // Opens a connection for every "|"-separated address of the list.
  void StartConnect(std::string gateway_address);
  // Opens one connection. An address that fails before a socket exists gets
  // no entry (and is never retried) unless it already has one.
  void ConnectGateway(const rtc::SocketAddress& address);
  // The heartbeat pass, every 10 s from the service's timer: a heartbeat on
  // every open connection, a new attempt for every closed one, in address order.
  void TimerProcess();
  // Sends the 10-byte heartbeat notification; the result is not looked at.
  void SendHeartbeatNotify(rtc::AsyncTCPSocket* socket);
  // Hands every socket to the thread for disposal and forgets every address.
  void CloseConnect();

  // Links that are up now. Safe from any thread.
  int connected_count() const { return connected_count_.load(std::memory_order_relaxed); }
  // New connection attempts for links that had gone down. Safe from any thread.
  const rtc::Counter& reconnects() const { return reconnects_; }

  // One entry per gateway address that got a socket; null while it is down.
  const std::map<rtc::SocketAddress, std::unique_ptr<rtc::AsyncTCPSocket>>& connections() const {
    return connections_;
  }

 private:
  void OnConnectEvent(rtc::AsyncPacketSocket* socket);
  void OnReadEvent(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t size,
                   const rtc::SocketAddress& remote);
  void OnCloseEvent(rtc::AsyncPacketSocket* socket, int error);
  // The entry whose socket this is, or connections_.end().
  std::map<rtc::SocketAddress, std::unique_ptr<rtc::AsyncTCPSocket>>::iterator FindEntry(
      const rtc::AsyncPacketSocket* socket);

  // Passed by argument.
  rtc::Thread* const thread_;             // creates the sockets, disposes of them
  GatewayMessageHandler* const handler_;  // the service

  // Allocated by this.
  std::map<rtc::SocketAddress, std::unique_ptr<rtc::AsyncTCPSocket>> connections_;
  // The sockets whose connection came up and has not closed since.
  std::set<const rtc::AsyncPacketSocket*> connected_;
  // Mirrors of the above for readers on other threads.
  std::atomic<int> connected_count_{0};
  rtc::Counter reconnects_;
};

}  // namespace corvaneserver

#endif  // CONTROL_GATEWAY_CONNECTOR_H_
