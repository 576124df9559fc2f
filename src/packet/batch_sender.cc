#include "packet/batch_sender.h"

#include <cerrno>
#include <cstring>

#include "packet/packet_metrics.h"

namespace corvaneserver {

bool BatchSender::Reserve(int socket, const rtc::SocketAddress& to) {
  if (!to.IsComplete() || socket < 0) return false;
  if (count_ == kCapacity) Flush();
  if (to.ToSockAddr(&slots_[count_].address) == 0) return false;  // not IPv4
  slots_[count_].socket = socket;
  return true;
}

bool BatchSender::Add(int socket, const rtc::SocketAddress& to, const uint8_t* data, size_t size,
                      bool forwarded) {
  if (!Reserve(socket, to)) return false;
  Slot& slot = slots_[count_];
  slot.forwarded = forwarded;
  slot.vector.iov_base = const_cast<uint8_t*>(data);
  slot.vector.iov_len = size;
  ++count_;
  return true;
}

bool BatchSender::AddCopy(int socket, const rtc::SocketAddress& to, const uint8_t* data,
                          size_t size) {
  if (size > kMaxCopySize || !Reserve(socket, to)) return false;
  Slot& slot = slots_[count_];
  slot.forwarded = false;
  std::memcpy(slot.copy.data(), data, size);
  slot.vector.iov_base = slot.copy.data();
  slot.vector.iov_len = size;
  ++count_;
  return true;
}

size_t BatchSender::Flush() {
  size_t sent = 0;
  // A fan-out reaches members through one or two sockets (one per receive
  // thread of the address they talk to); gather each socket's datagrams, in
  // queue order, and send them with as few calls as the kernel allows.
  std::array<bool, kCapacity> taken{};
  std::array<size_t, kCapacity> order;
  for (size_t first = 0; first < count_; ++first) {
    if (taken[first]) continue;
    const int socket = slots_[first].socket;
    size_t run = 0;
    for (size_t i = first; i < count_; ++i) {
      if (taken[i] || slots_[i].socket != socket) continue;
      taken[i] = true;
      order[run++] = i;
    }
    sent += SendRun(socket, order.data(), run);
  }
  count_ = 0;
  return sent;
}

size_t BatchSender::SendRun(int socket, const size_t* order, size_t count) {
  std::array<mmsghdr, kCapacity> messages;
  for (size_t k = 0; k < count; ++k) {
    Slot& slot = slots_[order[k]];
    msghdr& header = messages[k].msg_hdr;
    std::memset(&header, 0, sizeof(header));
    header.msg_name = &slot.address;
    header.msg_namelen = sizeof(sockaddr_in);
    header.msg_iov = &slot.vector;
    header.msg_iovlen = 1;
    messages[k].msg_len = 0;
  }
  size_t done = 0;
  size_t sent = 0;
  while (done < count) {
    ++calls_;
    const int result =
        ::sendmmsg(socket, messages.data() + done, static_cast<unsigned int>(count - done), 0);
    // sendmmsg stops at the first datagram the kernel refuses: it returns how
    // many went before it, or -1 when it was the first. That datagram is
    // dropped, as a single sendto would have dropped it, and the rest go on.
    const size_t accepted = result > 0 ? static_cast<size_t>(result) : 0;
    for (size_t k = done; k < done + accepted; ++k) forwarded_sent_ += slots_[order[k]].forwarded;
    sent += accepted;
    done += accepted;
    if (done < count) {
      ++failed_;
      PacketMetrics::Get().send_failed.Add();
      ++done;
    }
  }
  sent_ += sent;
  return sent;
}

}  // namespace corvaneserver
