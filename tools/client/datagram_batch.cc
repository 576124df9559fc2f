#include "client/datagram_batch.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace corvanetools {

namespace {
constexpr size_t kMaxPerCall = 64;
}  // namespace

uint8_t* DatagramBatch::Reserve() {
  const size_t offset = arena_.size();
  arena_.resize(offset + kMaxDatagram);
  return arena_.data() + offset;
}

void DatagramBatch::Commit(int fd, const sockaddr_in& to, size_t size, uint32_t owner) {
  // The reserved block is always the last kMaxDatagram bytes of the arena.
  const size_t offset = arena_.size() - kMaxDatagram;
  if (size == 0 || size > kMaxDatagram) {
    arena_.resize(offset);
    return;
  }
  arena_.resize(offset + size);
  entries_.push_back(Entry{fd, to, offset, size, owner});
}

void DatagramBatch::Flush(const std::function<void(uint32_t owner)>& on_failure) {
  // Entries of one socket keep their order; sockets are taken in turn.
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.fd < b.fd; });
  mmsghdr messages[kMaxPerCall];
  iovec vectors[kMaxPerCall];
  size_t i = 0;
  while (i < entries_.size()) {
    size_t count = 0;
    const int fd = entries_[i].fd;
    while (i + count < entries_.size() && entries_[i + count].fd == fd && count < kMaxPerCall) {
      Entry& entry = entries_[i + count];
      vectors[count].iov_base = arena_.data() + entry.offset;
      vectors[count].iov_len = entry.size;
      messages[count] = mmsghdr{};
      messages[count].msg_hdr.msg_name = &entry.to;
      messages[count].msg_hdr.msg_namelen = sizeof(entry.to);
      messages[count].msg_hdr.msg_iov = &vectors[count];
      messages[count].msg_hdr.msg_iovlen = 1;
      ++count;
    }
    size_t done = 0;
    while (done < count) {
      const int sent = ::sendmmsg(fd, messages + done, static_cast<unsigned>(count - done), 0);
      if (sent < 0) {
        if (errno == EINTR) continue;
        // The first datagram failed (buffer full, unreachable): drop it and go on.
        on_failure(entries_[i + done].owner);
        ++done;
        continue;
      }
      done += static_cast<size_t>(sent);
    }
    i += count;
  }
  entries_.clear();
  arena_.clear();
}

}  // namespace corvanetools
