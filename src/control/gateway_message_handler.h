// What the gateway link hands its owner (the service): every complete message
// received, and the moment a new connection wants its registration.
#ifndef CONTROL_GATEWAY_MESSAGE_HANDLER_H_
#define CONTROL_GATEWAY_MESSAGE_HANDLER_H_

#include <cstddef>
#include <cstdint>

#include "base/async_packet_socket.h"
#include "base/socket_address.h"

namespace corvaneserver {

class GatewayMessageHandler {
 public:
  // One complete message as framed on the link (its 3 length bytes and
  // 10-byte header included, though a malformed one may be shorter than the
  // header). Called on the connector's thread; the bytes are valid only
  // during the call.
  virtual void HandleMessage(rtc::AsyncPacketSocket* socket, const uint8_t* data, size_t length,
                             const rtc::SocketAddress& remote) = 0;
  // Sends the registration request on a connection that has just come up.
  virtual void SendRegisterMessage(rtc::AsyncPacketSocket* socket) = 0;
  virtual ~GatewayMessageHandler() = default;
};

}  // namespace corvaneserver

#endif  // CONTROL_GATEWAY_MESSAGE_HANDLER_H_
