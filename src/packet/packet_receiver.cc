#include "packet/packet_receiver.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "base/logging.h"
#include "base/metrics.h"
#include "base/time_utils.h"
#include "packet/packet_metrics.h"

namespace corvaneserver {

namespace {

uint32_t AtLeastOne(uint32_t worker_numbers) {
  if (worker_numbers != 0) return worker_numbers;
  RTC_LOG(LS_WARNING) << "receiver worker thread numbers is 0, use 1 instead";
  return 1;
}

}  // namespace

PacketReceiver::ReceiveThread::ReceiveThread(int socket, int send_socket,
                                             const PacketCallback& callback)
    : socket_(socket),
      send_socket_(send_socket),
      callback_(callback),
      last_report_time_(rtc::TimeMillis()),
      metrics_(PacketMetrics::Get()),
      thread_(&ReceiveThread::ThreadEntry, this, "ReceiveWorker") {
  for (unsigned int i = 0; i < kBatchSize; ++i) ArmSlot(i);
}

PacketReceiver::ReceiveThread::~ReceiveThread() {
  Shutdown();
  ::close(socket_);
}

void PacketReceiver::ReceiveThread::Start() { thread_.Start(); }

void PacketReceiver::ReceiveThread::Shutdown() { thread_.Stop(); }

bool PacketReceiver::ReceiveThread::ThreadEntry(void* receiver) {
  static_cast<ReceiveThread*>(receiver)->Run();
  return true;
}

void PacketReceiver::ReceiveThread::ArmSlot(unsigned int i) {
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

void PacketReceiver::ReceiveThread::Run() {
  // Block in the kernel rather than sleep: a datagram is taken the moment it
  // arrives, and a stop is still noticed within rtc::kMaxEntryBlockMs.
  pollfd ready{socket_, POLLIN, 0};
  const int events = ::poll(&ready, 1, rtc::kMaxEntryBlockMs);
  if (events <= 0) {
    backlog_.store(0, std::memory_order_relaxed);
    return;
  }
  if ((ready.revents & POLLNVAL) != 0) {
    // Not a socket any more; never spin on it.
    ::poll(nullptr, 0, rtc::kMaxEntryBlockMs);
    return;
  }

  // A full batch means more are probably waiting: read again at once instead
  // of asking poll, a bounded number of times so that a stop is still noticed.
  uint32_t found = 0;
  for (int round = 0; round < kMaxRoundsPerWake; ++round) {
    const int received = ReceiveBatch();
    if (received > 0) found += static_cast<uint32_t>(received);
    if (received < static_cast<int>(kBatchSize)) break;
  }
  backlog_.store(found, std::memory_order_relaxed);
}

int PacketReceiver::ReceiveThread::ReceiveBatch() {
  for (unsigned int i = 0; i < kBatchSize; ++i) {
    messages_[i].msg_hdr.msg_namelen = sizeof(senders_[i]);
    messages_[i].msg_hdr.msg_controllen = kControlSize;
    messages_[i].msg_hdr.msg_flags = 0;
  }
  // Errors (EAGAIN among them) are not logged: the next attempt follows.
  const int received = ::recvmmsg(socket_, messages_.data(), kBatchSize, MSG_DONTWAIT, nullptr);
  if (received <= 0) return received;
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
  return received;
}

int64_t PacketReceiver::ReceiveThread::KernelWait(unsigned int i, const timespec& now_real) {
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

void PacketReceiver::ReceiveThread::Count(unsigned int size, int64_t now_ms) {
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

PacketReceiver::PacketReceiver(uint32_t worker_numbers, uint32_t socket_buffer_bytes)
    : worker_numbers_(AtLeastOne(worker_numbers)), socket_buffer_bytes_(socket_buffer_bytes) {}

PacketReceiver::~PacketReceiver() {
  // Before the threads go: no scrape may read them afterwards.
  for (int id : metric_ids_) rtc::MetricRegistry::Global().Remove(id);
  Shutdown();
}

void PacketReceiver::ExportBacklog() {
  rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
  for (const auto* threads : {&receive_threads_, &rec_threads_}) {
    for (const auto& thread : *threads) {
      if (!exported_.insert(thread.get()).second) continue;
      const ReceiveThread* const observed = thread.get();
      metric_ids_.push_back(
          registry.AddGauge(kQueueDepthMetricName, kQueueDepthMetricHelp,
                            {{"worker", std::to_string(exported_.size() - 1)}},
                            [observed] { return static_cast<double>(observed->backlog()); }));
    }
  }
}

int PacketReceiver::Listen(const rtc::SocketAddress& address, const PacketCallback& callback,
                           bool media_listener) {
  return Listen(
      address, [callback] { return callback; }, media_listener);
}

int PacketReceiver::Listen(const rtc::SocketAddress& address,
                           const PacketCallbackFactory& make_callback, bool media_listener) {
  RTC_LOG(LS_INFO) << "receiver worker thread numbers is " << worker_numbers_ << ", and listen in "
                   << address.ToString();
  const auto known = listened_.find(address);
  if (known != listened_.end()) {
    RTC_LOG(LS_INFO) << "address " << address.ToString()
                     << " is listened already, its new sockets join the same group";
  } else if (!AddressIsFree(address)) {
    RTC_LOG(LS_ERROR) << "start listen in " << address.ToString() << " failed";
    return -1;
  }
  int first_socket = known != listened_.end() ? known->second : -1;
  for (uint32_t i = 0; i < worker_numbers_; ++i) {
    const int socket = StartListen(address);
    if (socket < 0) {
      RTC_LOG(LS_ERROR) << "start listen in " << address.ToString() << " failed";
      return -1;
    }
    SetBuffers(socket, address, i == 0);
    if (first_socket < 0) {
      first_socket = socket;
      listened_.emplace(address, socket);
    }
    auto thread = std::make_unique<ReceiveThread>(socket, first_socket, make_callback());
    thread->Start();
    (media_listener ? receive_threads_ : rec_threads_).push_back(std::move(thread));
  }
  return 0;
}

bool PacketReceiver::AddressIsFree(const rtc::SocketAddress& address) {
  // With SO_REUSEPORT a second process of the same user would bind the same
  // port without error and silently take a share of every member's datagrams.
  // A plain socket cannot bind an address that anybody holds, so it tells.
  sockaddr_in addr;
  if (address.ToSockAddr(&addr) == 0) return true;  // StartListen reports it
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;
  const bool in_use = ::bind(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 &&
                      errno == EADDRINUSE;
  ::close(probe);
  if (in_use) {
    RTC_LOG(LS_ERROR) << "address " << address.ToString()
                      << " is already in use by another socket, not listening there";
  }
  return !in_use;
}

int PacketReceiver::StartListen(const rtc::SocketAddress& address) {
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    RTC_LOG(LS_ERROR) << "socket init failed";
    return -1;
  }
  SetReusePort(socket);
  // Arrival times and kernel drop counts come with each datagram; without
  // them datagrams are still received, only their age starts at the read.
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0 ||
      ::setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on)) != 0) {
    RTC_LOG(LS_WARNING) << "socket " << socket
                        << ": no receive timestamps or drop counts: " << std::strerror(errno);
  }
  sockaddr_in addr;
  int error = 0;
  if (address.ToSockAddr(&addr) == 0) {
    error = EAFNOSUPPORT;  // not an IPv4 address
  } else if (::bind(socket, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    error = errno;
  }
  if (error != 0) {
    RTC_LOG(LS_ERROR) << "bind socket to " << address.ToString()
                      << " failed: " << std::strerror(error);
    ::close(socket);
    return -1;
  }
  return socket;
}

void PacketReceiver::SetBuffers(int socket, const rtc::SocketAddress& address, bool log) {
  if (socket_buffer_bytes_ == 0) return;
  const int asked = static_cast<int>(socket_buffer_bytes_);
  ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &asked, sizeof(asked));
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &asked, sizeof(asked));
  if (!log) return;
  // Linux reports twice what it grants for data: the rest is its bookkeeping.
  int receive = 0;
  int send = 0;
  socklen_t length = sizeof(receive);
  ::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &receive, &length);
  length = sizeof(send);
  ::getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &send, &length);
  RTC_LOG(LS_INFO) << "sockets of " << address.ToString() << " asked for " << asked
                   << " bytes of buffer, granted receive " << receive / 2 << " and send "
                   << send / 2 << " bytes";
  if (receive / 2 < asked || send / 2 < asked) {
    RTC_LOG(LS_WARNING) << "the kernel granted less socket buffer than packet_socket_buffer_bytes "
                        << asked << " on " << address.ToString()
                        << "; raise net.core.rmem_max and net.core.wmem_max to give it all";
  }
}

int PacketReceiver::SetReusePort(int socket) {
  const int on = 1;
  const int result = ::setsockopt(socket, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
  if (result != 0) RTC_LOG(LS_WARNING) << "set socket " << socket << " SO_REUSEPORT failed";
  return result;
}

void PacketReceiver::Shutdown() {
  for (auto& thread : receive_threads_) thread->Shutdown();
  for (auto& thread : rec_threads_) thread->Shutdown();
}

int PacketReceiver::GetSocket() {
  if (rec_threads_.empty()) return -1;
  const uint32_t turn = next_socket_.fetch_add(1, std::memory_order_relaxed);
  return rec_threads_[turn % rec_threads_.size()]->GetSocket();
}

}  // namespace corvaneserver
