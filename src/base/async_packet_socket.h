// A packet-oriented socket driven by an rtc::Thread's loop: the interface the
// gateway link and its users see, whatever cuts the stream into packets.
// Everything here runs on the loop thread that owns the socket.
#ifndef BASE_ASYNC_PACKET_SOCKET_H_
#define BASE_ASYNC_PACKET_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "base/socket_address.h"

namespace rtc {

// Per-packet send options; nothing is used by this system yet.
struct PacketOptions {
  int64_t packet_id = -1;
};

class AsyncPacketSocket {
 public:
  enum State {
    STATE_CLOSED,
    STATE_CONNECTING,
    STATE_CONNECTED,
  };

  using ConnectCallback = std::function<void(AsyncPacketSocket* socket)>;
  // One complete packet. The bytes are valid only during the call.
  using ReadPacketCallback = std::function<void(AsyncPacketSocket* socket, const uint8_t* data,
                                                size_t size, const SocketAddress& remote)>;
  // The connection ended; error is the errno value (104 for a reset by the
  // peer, 0 for an orderly end of stream). Not called for Close().
  using CloseCallback = std::function<void(AsyncPacketSocket* socket, int error)>;

  AsyncPacketSocket() = default;
  virtual ~AsyncPacketSocket() = default;
  AsyncPacketSocket(const AsyncPacketSocket&) = delete;
  AsyncPacketSocket& operator=(const AsyncPacketSocket&) = delete;

  virtual SocketAddress GetLocalAddress() const = 0;
  virtual SocketAddress GetRemoteAddress() const = 0;

  // Sends one packet; returns the bytes accepted or -1 (see GetError()).
  virtual int Send(const void* data, size_t size, const PacketOptions& options) = 0;
  int Send(const void* data, size_t size) { return Send(data, size, PacketOptions()); }

  // Closes without calling the close callback.
  virtual int Close() = 0;
  virtual State GetState() const = 0;
  // The errno value of the last failure.
  virtual int GetError() const = 0;

  void SetConnectCallback(ConnectCallback callback) { on_connect_ = std::move(callback); }
  void SetReadPacketCallback(ReadPacketCallback callback) { on_read_packet_ = std::move(callback); }
  void SetCloseCallback(CloseCallback callback) { on_close_ = std::move(callback); }
  // Drops every callback, e.g. before handing the socket over for disposal.
  void ClearCallbacks() {
    on_connect_ = nullptr;
    on_read_packet_ = nullptr;
    on_close_ = nullptr;
  }

 protected:
  void SignalConnect() {
    // A copy, so the callback may replace or clear itself.
    auto callback = on_connect_;
    if (callback) callback(this);
  }
  void SignalReadPacket(const uint8_t* data, size_t size, const SocketAddress& remote) {
    // A copy, so the callback may replace or clear itself.
    auto callback = on_read_packet_;
    if (callback) callback(this, data, size, remote);
  }
  void SignalClose(int error) {
    // A copy, so the callback may replace or clear itself.
    auto callback = on_close_;
    if (callback) callback(this, error);
  }

 private:
  ConnectCallback on_connect_;
  ReadPacketCallback on_read_packet_;
  CloseCallback on_close_;
};

}  // namespace rtc

#endif  // BASE_ASYNC_PACKET_SOCKET_H_
