#include "gateway/server_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace corvanetools {

ServerLink::ServerLink(int fd, std::string peer)
    : fd_(fd), peer_(std::move(peer)), inbuf_(kMaxMessage) {}

ServerLink::~ServerLink() {
  if (fd_ >= 0) ::close(fd_);
}

void ServerLink::Close(int error) {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  close_error_ = error;
  outbuf_.clear();
}

bool ServerLink::OnReadable(
    const std::function<void(const uint8_t* data, size_t size)>& on_message) {
  while (fd_ >= 0) {
    const ssize_t count = ::recv(fd_, inbuf_.WritePtr(), inbuf_.WritableSize(), MSG_DONTWAIT);
    if (count == 0) {
      Close(0);
      return false;
    }
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      Close(errno);
      return false;
    }
    const rtc::LengthFramedBuffer::Result result =
        inbuf_.Append(static_cast<size_t>(count), [&](const uint8_t* data, size_t size) {
          on_message(data, size);
          return fd_ >= 0;  // the handler may have closed the link
        });
    if (result == rtc::LengthFramedBuffer::Result::kFramingLost) {
      Close(EPROTO);
      return false;
    }
    if (result == rtc::LengthFramedBuffer::Result::kStopped) return false;
  }
  return false;
}

bool ServerLink::Send(const std::vector<uint8_t>& message) {
  if (fd_ < 0 || message.size() > kMaxMessage) return false;
  outbuf_.insert(outbuf_.end(), message.begin(), message.end());
  return OnWritable();
}

bool ServerLink::OnWritable() {
  while (fd_ >= 0 && !outbuf_.empty()) {
    const ssize_t count = ::send(fd_, outbuf_.data(), outbuf_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      Close(errno);
      return false;
    }
    outbuf_.erase(outbuf_.begin(), outbuf_.begin() + count);
  }
  return fd_ >= 0;
}

}  // namespace corvanetools
