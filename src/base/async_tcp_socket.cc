#include "base/async_tcp_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <utility>

#include "base/logging.h"
#include "base/thread.h"

namespace rtc {

std::unique_ptr<asio::ip::tcp::socket> AsyncTCPSocket::CreateStreamSocket(Thread* thread,
                                                                          int family) {
  if (family != AF_INET) return nullptr;
  auto socket = std::make_unique<asio::ip::tcp::socket>(thread->io_context());
  std::error_code ec;
  socket->open(asio::ip::tcp::v4(), ec);
  if (ec) return nullptr;
  socket->non_blocking(true, ec);
  if (ec) return nullptr;
  return socket;
}

std::unique_ptr<AsyncTCPSocket> AsyncTCPSocket::Create(
    std::unique_ptr<asio::ip::tcp::socket> socket, const SocketAddress& bind_address,
    const SocketAddress& remote_address, size_t max_message_size) {
  if (!socket || !socket->is_open()) return nullptr;
  sockaddr_in local;
  sockaddr_in remote;
  if (bind_address.ToSockAddr(&local) == 0 || remote_address.ToSockAddr(&remote) == 0) {
    return nullptr;
  }
  std::error_code ec;
  socket->non_blocking(true, ec);
  if (ec) return nullptr;
  const int fd = socket->native_handle();
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) return nullptr;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0 &&
      errno != EINPROGRESS) {
    return nullptr;
  }
  std::unique_ptr<AsyncTCPSocket> tcp(
      new AsyncTCPSocket(std::move(socket), remote_address, max_message_size));
  // Writable once the connect has finished, whatever its outcome.
  tcp->WaitForConnect();
  return tcp;
}

AsyncTCPSocket::AsyncTCPSocket(std::unique_ptr<asio::ip::tcp::socket> socket,
                               const SocketAddress& remote_address, size_t max_message_size)
    : socket_(std::move(socket)),
      remote_address_(remote_address),
      inbuf_(max_message_size),
      alive_(std::make_shared<int>(0)) {
  outbuf_.reserve(max_message_size);
}

AsyncTCPSocket::~AsyncTCPSocket() {
  alive_.reset();
  std::error_code ec;
  socket_->close(ec);
}

SocketAddress AsyncTCPSocket::GetLocalAddress() const {
  SocketAddress address;
  sockaddr_in local;
  socklen_t length = sizeof(local);
  if (socket_->is_open() &&
      ::getsockname(socket_->native_handle(), reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    address.FromSockAddr(local);
  }
  return address;
}

void AsyncTCPSocket::WaitForConnect() {
  std::weak_ptr<int> alive = alive_;
  socket_->async_wait(asio::socket_base::wait_write, [this, alive](std::error_code ec) {
    if (alive.expired() || ec || state_ != STATE_CONNECTING) return;
    OnConnectReady();
  });
}

void AsyncTCPSocket::OnConnectReady() {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(socket_->native_handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    error = errno;
  }
  if (error != 0) {
    CloseWithError(error);
    return;
  }
  state_ = STATE_CONNECTED;
  WaitForRead();
  SignalConnect();
}

void AsyncTCPSocket::WaitForRead() {
  std::weak_ptr<int> alive = alive_;
  socket_->async_wait(asio::socket_base::wait_read, [this, alive](std::error_code ec) {
    if (alive.expired() || ec || state_ != STATE_CONNECTED) return;
    OnReadable();
  });
}

void AsyncTCPSocket::OnReadable() {
  const ssize_t n = ::recv(socket_->native_handle(), inbuf_.WritePtr(), inbuf_.WritableSize(), 0);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      WaitForRead();
    } else {
      CloseWithError(errno);
    }
    return;
  }
  if (n == 0) {
    CloseWithError(0);  // orderly end of stream
    return;
  }
  ProcessInput(static_cast<size_t>(n));
}

void AsyncTCPSocket::ProcessInput(size_t bytes_read) {
  std::weak_ptr<int> alive = alive_;
  const LengthFramedBuffer::Result result =
      inbuf_.Append(bytes_read, [this, &alive](const uint8_t* data, size_t size) {
        SignalReadPacket(data, size, remote_address_);
        return !alive.expired() && state_ == STATE_CONNECTED;
      });
  switch (result) {
    case LengthFramedBuffer::Result::kOk:
      WaitForRead();
      break;
    case LengthFramedBuffer::Result::kStopped:
      break;  // closed (or gone) from inside a callback
    case LengthFramedBuffer::Result::kFramingLost:
      RTC_LOG(LS_ERROR) << "tcp stream from " << remote_address_.ToString()
                        << " lost its framing: message length [" << inbuf_.bad_length()
                        << "] is out of range, closing the connection";
      CloseWithError(kFramingLostError);
      break;
  }
}

int AsyncTCPSocket::Send(const void* data, size_t size, const PacketOptions&) {
  if (size > inbuf_.capacity()) {
    error_ = EMSGSIZE;
    return -1;
  }
  // An earlier message is still being written: this one is dropped.
  if (!outbuf_.empty()) return static_cast<int>(size);

  const auto* bytes = static_cast<const uint8_t*>(data);
  outbuf_.assign(bytes, bytes + size);
  const int flushed = FlushOutBuffer();
  if (flushed <= 0) {
    outbuf_.clear();
    return flushed;
  }
  return static_cast<int>(size);
}

int AsyncTCPSocket::FlushOutBuffer() {
  if (state_ != STATE_CONNECTED) {
    error_ = ENOTCONN;
    return -1;
  }
  const ssize_t n = ::send(socket_->native_handle(), outbuf_.data(), outbuf_.size(), MSG_NOSIGNAL);
  if (n < 0) {
    error_ = errno;
    return -1;
  }
  outbuf_.erase(outbuf_.begin(), outbuf_.begin() + n);
  if (!outbuf_.empty()) WaitForWrite();
  return static_cast<int>(n);
}

void AsyncTCPSocket::WaitForWrite() {
  if (write_wait_armed_) return;
  write_wait_armed_ = true;
  std::weak_ptr<int> alive = alive_;
  socket_->async_wait(asio::socket_base::wait_write, [this, alive](std::error_code ec) {
    if (alive.expired()) return;
    write_wait_armed_ = false;
    if (ec || state_ != STATE_CONNECTED) return;
    OnWritable();
  });
}

void AsyncTCPSocket::OnWritable() {
  if (outbuf_.empty()) return;
  if (FlushOutBuffer() < 0) {
    if (error_ == EAGAIN || error_ == EWOULDBLOCK || error_ == EINTR) {
      WaitForWrite();
    } else {
      // The connection is failing; its read side reports the close.
      outbuf_.clear();
    }
  }
}

int AsyncTCPSocket::Close() {
  state_ = STATE_CLOSED;
  std::error_code ec;
  socket_->close(ec);
  inbuf_.Clear();
  outbuf_.clear();
  return 0;
}

void AsyncTCPSocket::CloseWithError(int error) {
  Close();
  error_ = error;
  SignalClose(error);
}

}  // namespace rtc
