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

PacketReceiver::PacketReceiver(uint32_t worker_numbers, uint32_t socket_buffer_bytes,
                               uint32_t spread_percent)
    : worker_numbers_(AtLeastOne(worker_numbers)),
      socket_buffer_bytes_(socket_buffer_bytes),
      spread_percent_(spread_percent) {}

PacketReceiver::~PacketReceiver() {
  // Before the threads go: no scrape may read them afterwards.
  for (int id : metric_ids_) rtc::MetricRegistry::Global().Remove(id);
  Shutdown();
}

void PacketReceiver::ExportBacklog() {
  rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
  for (const auto* groups : {&receive_groups_, &rec_groups_}) {
    for (const auto& group : *groups) {
      for (size_t i = 0; i < group->size(); ++i) {
        if (!exported_.emplace(group.get(), i).second) continue;
        const ReceiveGroup* const observed = group.get();
        metric_ids_.push_back(
            registry.AddGauge(kQueueDepthMetricName, kQueueDepthMetricHelp,
                              {{"worker", std::to_string(exported_.size() - 1)}},
                              [observed, i] { return static_cast<double>(observed->backlog(i)); }));
      }
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
  std::vector<std::unique_ptr<ReceiveSocket>> sockets;
  for (uint32_t i = 0; i < worker_numbers_; ++i) {
    const int socket = StartListen(address);
    if (socket < 0) {
      RTC_LOG(LS_ERROR) << "start listen in " << address.ToString() << " failed";
      break;
    }
    SetBuffers(socket, address, i == 0);
    if (first_socket < 0) {
      first_socket = socket;
      listened_.emplace(address, socket);
    }
    sockets.push_back(std::make_unique<ReceiveSocket>(socket, first_socket, make_callback()));
  }
  const bool complete = sockets.size() == worker_numbers_;
  if (sockets.empty()) return -1;
  // Those opened before a failure keep running.
  if (!media_listener) {
    for (const auto& socket : sockets) rec_sockets_.push_back(socket->socket());
  }
  auto group = std::make_unique<ReceiveGroup>(std::move(sockets), spread_percent_);
  group->Start();
  const ReceiveGroup* const observed = group.get();
  metric_ids_.push_back(rtc::MetricRegistry::Global().AddGauge(
      "corvane_receive_threads_reading",
      "Receive threads reading sockets now, per group of sockets of one address: one while the "
      "load is light.",
      {{"group", std::to_string(receive_groups_.size() + rec_groups_.size())}},
      [observed] { return static_cast<double>(observed->ReadingThreads()); }));
  (media_listener ? receive_groups_ : rec_groups_).push_back(std::move(group));
  return complete ? 0 : -1;
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
  for (auto& group : receive_groups_) group->Shutdown();
  for (auto& group : rec_groups_) group->Shutdown();
}

int PacketReceiver::GetSocket() {
  if (rec_sockets_.empty()) return -1;
  const uint32_t turn = next_socket_.fetch_add(1, std::memory_order_relaxed);
  return rec_sockets_[turn % rec_sockets_.size()];
}

}  // namespace corvaneserver
