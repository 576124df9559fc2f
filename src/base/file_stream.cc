#include "base/file_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace rtc {

FileStream::~FileStream() { Close(); }

bool FileStream::Open(const std::string& filename, const char* mode, int* error) {
  Close();
  int flags = O_RDONLY;
  if (std::strchr(mode, 'a')) {
    flags = (std::strchr(mode, '+') ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT;
  } else if (std::strchr(mode, 'w')) {
    flags = (std::strchr(mode, '+') ? O_RDWR : O_WRONLY) | O_TRUNC | O_CREAT;
  } else if (std::strchr(mode, '+')) {
    flags = O_RDWR;
  }
  fd_ = ::open(filename.c_str(), flags | O_CLOEXEC, 0644);
  if (fd_ < 0 && error) *error = errno;
  return fd_ >= 0;
}

bool FileStream::Write(const void* data, size_t len) {
  if (fd_ < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = ::write(fd_, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void FileStream::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace rtc
