// One listening UDP socket and what reading it takes: the recvmmsg slots,
// the callback its datagrams go to and the per-socket counts. Whichever
// receive thread reads the socket at the moment calls ReceiveBatch(); only one
// thread at a time does (see ReceiveGroup), inside its BatchSender::Scope.
//
// Every datagram carries the time it was read and, from the kernel's receive
// timestamp, how long it had waited in the socket buffer before, so that wait
// counts in its age. The socket's kernel drops (a full receive buffer) are
// counted too.
#ifndef PACKET_RECEIVE_SOCKET_H_
#define PACKET_RECEIVE_SOCKET_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <memory>

#include "packet/packet_callback.h"
#include "packet/packet_metrics.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class ReceiveSocket {
 public:
  // Datagrams taken from the kernel in one call, each its own UDPPacket.
  static constexpr unsigned int kBatchSize = 16;
  // Control bytes of one datagram: its timestamp and the socket's drop count.
  static constexpr size_t kControlSize = 64;
  // Period of the socket's rate line in the stat log.
  static constexpr int64_t kReportIntervalMs = 300000;

  // Takes ownership of the socket. Its datagrams name `send_socket` as the
  // one to answer them through: the first socket of the same address, so
  // that every member reached through that address shares one socket and a
  // fan-out leaves in one sendmmsg (any socket of the group sends from the
  // same address and port).
  ReceiveSocket(int socket, int send_socket, const PacketCallback& callback);
  ~ReceiveSocket();  // closes the socket
  ReceiveSocket(const ReceiveSocket&) = delete;
  ReceiveSocket& operator=(const ReceiveSocket&) = delete;

  // One recvmmsg (never blocking) and the hand-over of what it read: the
  // datagrams read (kBatchSize: probably more are waiting), or 0 on error.
  uint32_t ReceiveBatch();

  int socket() const { return socket_; }

 private:
  // Gives slot i a fresh datagram and points its message header at it.
  void ArmSlot(unsigned int i);
  // Counts one handed-on datagram and writes the rate line when due.
  void Count(unsigned int size, int64_t now_ms);
  // How long slot i's datagram waited in the socket buffer, from its kernel
  // timestamp (0 without one); also takes the socket's drop count.
  int64_t KernelWait(unsigned int i, const timespec& now_real);

  // Owned; closed by the destructor.
  const int socket_;
  const int send_socket_;
  const PacketCallback callback_;
  PacketMetrics& metrics_;

  // Used only by the thread reading the socket.
  int64_t last_report_time_;
  uint64_t packet_count_ = 0;
  uint64_t byte_count_ = 0;
  uint64_t period_bytes_ = 0;
  // The kernel's running count of datagrams this socket dropped.
  uint32_t kernel_drops_ = 0;
  std::array<std::shared_ptr<UDPPacket>, kBatchSize> packets_;
  std::array<std::array<char, kControlSize>, kBatchSize> controls_;
  std::array<sockaddr_in, kBatchSize> senders_;
  std::array<iovec, kBatchSize> buffers_;
  std::array<mmsghdr, kBatchSize> messages_;
};

}  // namespace corvaneserver

#endif  // PACKET_RECEIVE_SOCKET_H_
