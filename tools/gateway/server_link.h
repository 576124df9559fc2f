// One accepted TCP connection from a server: cuts the stream into control
// messages by their 3-byte length and queues what the gateway sends until the
// socket takes it. Used only by the gateway's loop thread.
#ifndef TOOLS_GATEWAY_SERVER_LINK_H_
#define TOOLS_GATEWAY_SERVER_LINK_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/length_framed_buffer.h"
#include "control/control_header.h"

namespace corvanetools {

class ServerLink {
 public:
  // Largest message in either direction.
  static constexpr size_t kMaxMessage = corvaneserver::kMaxControlMessageSize;

  // Takes ownership of a connected, non-blocking socket.
  ServerLink(int fd, std::string peer);
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  int fd() const { return fd_; }
  const std::string& peer() const { return peer_; }
  bool open() const { return fd_ >= 0; }
  // Why the link closed: 0 for an orderly end, else the errno value
  // (EPROTO when the stream lost its framing).
  int close_error() const { return close_error_; }

  // Reads what the socket holds and calls on_message for every complete
  // message. Returns false once the link has closed.
  bool OnReadable(const std::function<void(const uint8_t* data, size_t size)>& on_message);
  // Queues one message; false when the link is closed or the message is
  // larger than kMaxMessage.
  bool Send(const std::vector<uint8_t>& message);
  template <size_t N>
  bool Send(const std::array<uint8_t, N>& message) {
    return Send(std::vector<uint8_t>(message.begin(), message.end()));
  }
  // Writes queued bytes; false once the link has closed.
  bool OnWritable();
  bool wants_write() const { return !outbuf_.empty(); }

  void Close(int error);

  // Registration, filled in by the gateway.
  int server_number = 0;  // 0 until the server registered

 private:
  int fd_;
  const std::string peer_;
  int close_error_ = 0;
  rtc::LengthFramedBuffer inbuf_;
  std::vector<uint8_t> outbuf_;
};

}  // namespace corvanetools

#endif  // TOOLS_GATEWAY_SERVER_LINK_H_
