// The hand-off between receivers, deliver pool and server: takes one datagram
// (sharing its ownership) and returns 0 on success, -1 on failure.
#ifndef PACKET_PACKET_CALLBACK_H_
#define PACKET_PACKET_CALLBACK_H_

#include <functional>
#include <memory>

#include "packet/udp_packet.h"

namespace corvaneserver {

using PacketCallback = std::function<int(std::shared_ptr<UDPPacket>)>;

// Makes the callback of one receive thread: called once per thread, on the
// thread that starts the receivers, so each thread may get a callback with
// state of its own.
using PacketCallbackFactory = std::function<PacketCallback()>;

}  // namespace corvaneserver

#endif  // PACKET_PACKET_CALLBACK_H_
