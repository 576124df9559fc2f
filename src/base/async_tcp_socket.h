// The gateway link's packet socket: a non-blocking TCP client on an
// rtc::Thread's loop whose stream is a sequence of messages, each starting
// with its own total length in 3 big-endian bytes (no other prefix is added or
// removed). Input and output buffers hold the largest message the owner allows.
//
// Everything, creation included, runs on the loop thread of the io_context
// the socket was opened on. Delete the socket from the loop (Thread::Dispose),
// never from inside one of its own callbacks.
#ifndef BASE_ASYNC_TCP_SOCKET_H_
#define BASE_ASYNC_TCP_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>
#include <vector>

#include <asio/ip/tcp.hpp>

#include "base/async_packet_socket.h"
#include "base/length_framed_buffer.h"
#include "base/socket_address.h"

namespace rtc {

class Thread;

class AsyncTCPSocket : public AsyncPacketSocket {
 public:
  // Error passed to the close callback when the stream has lost its framing.
  static constexpr int kFramingLostError = EPROTO;

  // Opens a stream socket of the family (AF_INET) on the thread's loop.
  // Null on failure.
  static std::unique_ptr<asio::ip::tcp::socket> CreateStreamSocket(Thread* thread, int family);

  // Takes the socket, binds it to bind_address (0.0.0.0 port 0 for any) and
  // starts a non-blocking connect to remote_address. max_message_size is the
  // largest message in either direction, the capacity of both buffers. The connect or close
  // callback reports the outcome later from the loop. Null (and the socket
  // closed) when binding or starting the connect fails at once.
  static std::unique_ptr<AsyncTCPSocket> Create(std::unique_ptr<asio::ip::tcp::socket> socket,
                                                const SocketAddress& bind_address,
                                                const SocketAddress& remote_address,
                                                size_t max_message_size);

  ~AsyncTCPSocket() override;

  SocketAddress GetLocalAddress() const override;
  SocketAddress GetRemoteAddress() const override { return remote_address_; }

  // Sends one whole message (its length bytes included, as built by the
  // caller):
  //  - above max_message_size bytes: refused, -1 with EMSGSIZE;
  //  - while an earlier message is still being written: dropped, and the
  //    full size is returned as if sent;
  //  - otherwise written as far as the kernel takes it, the rest later from
  //    the loop; when nothing at all can be written the message is dropped
  //    and -1 returned (GetError() tells why, EWOULDBLOCK included).
  using AsyncPacketSocket::Send;
  int Send(const void* data, size_t size, const PacketOptions& options) override;

  int Close() override;
  State GetState() const override { return state_; }
  int GetError() const override { return error_; }

  // Bytes of an earlier message still waiting to be written.
  size_t pending_output() const { return outbuf_.size(); }

 private:
  AsyncTCPSocket(std::unique_ptr<asio::ip::tcp::socket> socket, const SocketAddress& remote_address,
                 size_t max_message_size);

  void WaitForConnect();
  void OnConnectReady();
  void WaitForRead();
  void OnReadable();
  // Cuts the buffered input into messages and signals each.
  void ProcessInput(size_t bytes_read);
  void WaitForWrite();
  void OnWritable();
  // Writes what the kernel takes; returns the bytes written or -1.
  int FlushOutBuffer();
  // Closes and reports the error to the close callback.
  void CloseWithError(int error);

  std::unique_ptr<asio::ip::tcp::socket> socket_;
  const SocketAddress remote_address_;
  State state_ = STATE_CONNECTING;
  int error_ = 0;
  LengthFramedBuffer inbuf_;
  std::vector<uint8_t> outbuf_;  // at most one message, max_message_size bytes
  bool write_wait_armed_ = false;
  // Expires with the socket; loop handlers check it before touching `this`.
  std::shared_ptr<int> alive_;
};

}  // namespace rtc

#endif  // BASE_ASYNC_TCP_SOCKET_H_
