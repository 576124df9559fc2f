#include "packet/receive_socket.h"

#include <unistd.h>

#include <cstring>
#include <utility>

#include "base/logging.h"
#include "base/time_utils.h"

namespace corvaneserver {

ReceiveSocket::ReceiveSocket(int socket, int send_socket, const PacketCallback& callback)
    : socket_(socket),
      send_socket_(send_socket),
      callback_(callback),
      metrics_(PacketMetrics::Get()),
      last_report_time_(rtc::TimeMillis()) {
  for (unsigned int i = 0; i < kBatchSize; ++i) ArmSlot(i);
}

ReceiveSocket::~ReceiveSocket() { ::close(socket_); }

void ReceiveSocket::ArmSlot(unsigned int i) {
  packets_[i] = std::make_shared<UDPPacket>(kMaxUdpPacketSize);
  buffers_[i].iov_base = packets_[i]->data();
  buffers_[i].iov_len = kMaxUdpPacketSize;
  std::memset(&messages_[i], 0, sizeof(messages_[i]));
  messages_[i].msg_hdr.msg_name = &senders_[i];
  messages_[i].msg_hdr.msg_namelen = sizeof(senders_[i]);
  messages_[i].msg_hdr.msg_iov = &buffers_[i];
  messages_[i].msg_hdr.msg_iovlen = 1;
  messages_[i].msg_hdr.msg_control = controls_[i].data();
  messages_[i].msg_hdr.msg_controllen = kControlSize;
}

uint32_t ReceiveSocket::ReceiveBatch() {
  for (unsigned int i = 0; i < kBatchSize; ++i) {
    messages_[i].msg_hdr.msg_namelen = sizeof(senders_[i]);
    messages_[i].msg_hdr.msg_controllen = kControlSize;
    messages_[i].msg_hdr.msg_flags = 0;
  }
  // Errors (EAGAIN among them) are not logged: the next attempt follows.
  const int received = ::recvmmsg(socket_, messages_.data(), kBatchSize, MSG_DONTWAIT, nullptr);
  if (received <= 0) return 0;
  // One reading of each clock for the whole batch.
  const int64_t now = rtc::TimeMillis();
  timespec now_real{};
  ::clock_gettime(CLOCK_REALTIME, &now_real);
  for (int i = 0; i < received; ++i) {
    const int64_t waited = KernelWait(static_cast<unsigned int>(i), now_real);
    // A datagram longer than the buffer arrives cut to kMaxUdpPacketSize.
    const unsigned int size = messages_[i].msg_len;
    if (size == 0) continue;  // empty datagram: the slot is reused
    std::shared_ptr<UDPPacket>& packet = packets_[i];
    packet->SetSize(size);
    packet->SetSocket(send_socket_, senders_[i], now, waited);
    metrics_.received.Add();
    metrics_.received_bytes.Add(size);
    callback_(std::move(packet));
    ArmSlot(static_cast<unsigned int>(i));
    Count(size, now);
  }
  return static_cast<uint32_t>(received);
}

int64_t ReceiveSocket::KernelWait(unsigned int i, const timespec& now_real) {
  int64_t waited_ms = 0;
  msghdr& header = messages_[i].msg_hdr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof(stamp));
      waited_ms =
          (now_real.tv_sec - stamp.tv_sec) * 1000 + (now_real.tv_nsec - stamp.tv_nsec) / 1000000;
    } else if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
      uint32_t drops;
      std::memcpy(&drops, CMSG_DATA(c), sizeof(drops));
      // A running count that wraps at 2^32: the difference is what is new.
      const uint32_t added = drops - kernel_drops_;
      kernel_drops_ = drops;
      if (added != 0) metrics_.dropped_socket_buffer.Add(added);
    }
  }
  // The wall clock may have been stepped back meanwhile.
  return waited_ms > 0 ? waited_ms : 0;
}

void ReceiveSocket::Count(unsigned int size, int64_t now_ms) {
  ++packet_count_;
  byte_count_ += size;
  period_bytes_ += size;
  if (now_ms < last_report_time_ + kReportIntervalMs) return;
  const int64_t elapsed_ms = now_ms - last_report_time_;
  last_report_time_ = now_ms;
  RTC_LOG(LS_NONE) << "receive socket [" << socket_ << "] received packet count [" << packet_count_
                   << "] and bytes [" << byte_count_ << "] and rate is ["
                   << period_bytes_ * 8 / static_cast<uint64_t>(elapsed_ms) << "kbps]";
  period_bytes_ = 0;
}

}  // namespace corvaneserver
