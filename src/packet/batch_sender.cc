#include "packet/batch_sender.h"

#include <cerrno>
#include <cstring>

#include "base/logging.h"
#include "packet/packet_metrics.h"

namespace corvaneserver {

namespace {

thread_local BatchSender* this_thread_batch = nullptr;

}  // namespace

BatchSender::Scope::Scope(BatchSender* batch) : batch_(batch), previous_(this_thread_batch) {
  this_thread_batch = batch;
}

BatchSender::Scope::~Scope() {
  batch_->Flush();
  this_thread_batch = previous_;
}

BatchSender* BatchSender::OfThisThread() { return this_thread_batch; }

ThreadBatch::ThreadBatch() : batch_(BatchSender::OfThisThread()) {
  if (batch_ == nullptr) batch_ = &own_.emplace();
}

bool BatchSender::Reserve(int socket, const rtc::SocketAddress& to) {
  if (!to.IsComplete() || socket < 0) return false;
  if (count_ == kCapacity) Flush();
  if (to.ToSockAddr(&slots_[count_].address) == 0) return false;  // not IPv4
  slots_[count_].socket = socket;
  return true;
}

bool BatchSender::Add(int socket, const rtc::SocketAddress& to,
                      const std::shared_ptr<UDPPacket>& packet, Kind kind) {
  if (!Add(socket, to, packet->data(), packet->size(), kind)) return false;
  // Reserve may have flushed, emptying held_; the packet is then held anew.
  if (held_count_ == 0 || held_[held_count_ - 1] != packet) held_[held_count_++] = packet;
  return true;
}

bool BatchSender::Add(int socket, const rtc::SocketAddress& to, const uint8_t* data, size_t size,
                      Kind kind) {
  if (!Reserve(socket, to)) return NotQueued(kind);
  Slot& slot = slots_[count_];
  slot.kind = kind;
  slot.vector.iov_base = const_cast<uint8_t*>(data);
  slot.vector.iov_len = size;
  ++count_;
  return true;
}

bool BatchSender::AddCopy(int socket, const rtc::SocketAddress& to, const uint8_t* data,
                          size_t size, Kind kind) {
  if (size > kMaxCopySize || !Reserve(socket, to)) return NotQueued(kind);
  Slot& slot = slots_[count_];
  slot.kind = kind;
  std::memcpy(slot.copy.data(), data, size);
  slot.vector.iov_base = slot.copy.data();
  slot.vector.iov_len = size;
  ++count_;
  return true;
}

size_t BatchSender::Flush() {
  size_t sent = 0;
  // Datagrams go out through one or a few sockets (one per listened address
  // their destinations talk to); gather each socket's datagrams, in queue
  // order, and send them with as few calls as the kernel allows.
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
  for (size_t i = 0; i < held_count_; ++i) held_[i].reset();
  held_count_ = 0;
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
  uint64_t forwarded = 0;
  PacketMetrics& metrics = PacketMetrics::Get();
  while (done < count) {
    ++calls_;
    metrics.send_calls.Add();
    // Never blocks, whatever the socket's mode: a full send buffer drops.
    const int result = ::sendmmsg(socket, messages.data() + done,
                                  static_cast<unsigned int>(count - done), MSG_DONTWAIT);
    // sendmmsg stops at the first datagram the kernel refuses: it returns how
    // many went before it, or -1 when it was the first. That datagram is
    // dropped, as a single sendto would have dropped it, and the rest go on.
    const size_t accepted = result > 0 ? static_cast<size_t>(result) : 0;
    for (size_t k = done; k < done + accepted; ++k) {
      forwarded += slots_[order[k]].kind == Kind::kForwarded;
    }
    sent += accepted;
    done += accepted;
    if (done < count) {
      Refused(order[done]);
      ++done;
    }
  }
  sent_ += sent;
  forwarded_sent_ += forwarded;
  // What the kernel took, not what was meant: a destination without an
  // address or a refused send is not a forwarded datagram.
  if (forwarded != 0) metrics.forwarded.Add(forwarded);
  return sent;
}

void BatchSender::LogFailedAck() {
  // The line a single sendto of the acknowledgement wrote, with its result.
  RTC_LOG(LS_ERROR) << "send ack packet failed,  have only deliver -1 length";
}

bool BatchSender::NotQueued(Kind kind) {
  if (kind == Kind::kAck) LogFailedAck();
  return false;
}

void BatchSender::Refused(size_t i) {
  ++failed_;
  PacketMetrics::Get().send_failed.Add();
  if (slots_[i].kind == Kind::kAck) LogFailedAck();
}

}  // namespace corvaneserver
