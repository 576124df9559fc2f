// A forwarding server with a few rooms and members, shared by the fuzz targets
// of this folder. Its members have no address yet and it owns no socket, so
// nothing it does leaves the process.
#ifndef FUZZ_SFU_FUZZ_SERVER_H_
#define FUZZ_SFU_FUZZ_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/logging.h"
#include "base/socket_address.h"
#include "packet/udp_packet.h"
#include "sfu/sfu_server.h"

namespace corvaneserver {

inline SfuServer& FuzzServer() {
  static SfuServer* server = [] {
    rtc::LogMessage::SetLogToStderr(false);
    auto* made = new SfuServer();
    made->JoinRoom(1, 1, 2, "a");  // speaker
    made->JoinRoom(1, 2, 1, "b");  // listener
    made->JoinRoom(2, 3, 3, "");   // joined cascader
    made->JoinRoom(2, 4, 2, "");   // speaker admitted from any address
    return made;
  }();
  return *server;
}

// Hands `data` to the server as a datagram from 127.0.0.1:5000, with byte 1
// set to `payload_type` when the datagram has one.
inline void RouteThroughServer(const uint8_t* data, size_t size, uint8_t payload_type) {
  auto packet = std::make_shared<UDPPacket>(data, static_cast<unsigned int>(size));
  if (size > 1) packet->data()[1] = payload_type;
  packet->SetSocket(-1, rtc::SocketAddress("127.0.0.1", 5000));
  FuzzServer().OnPacketReceived(packet);
}

}  // namespace corvaneserver

#endif  // FUZZ_SFU_FUZZ_SERVER_H_
