// The server's UDP listeners: for each listened address several sockets bound
// to the same port with SO_REUSEPORT, read by the address's "ReceiveWorker"
// threads (a ReceiveGroup), which turn every datagram into a UDPPacket and
// hand it on. The kernel keeps each source address on one socket of a group,
// and one thread at a time reads a socket, so one source's datagrams are
// handed on in the order they arrived.
#ifndef PACKET_PACKET_RECEIVER_H_
#define PACKET_PACKET_RECEIVER_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "base/socket_address.h"
#include "packet/packet_callback.h"
#include "packet/receive_group.h"

namespace corvaneserver {

class PacketReceiver {
 public:
  // worker_numbers: sockets and threads per listened address; 0 is raised to 1
  // with a warning. socket_buffer_bytes: receive and send buffer asked of the
  // kernel for every socket (which may grant less); 0 keeps its defaults.
  // spread_percent: when an address's threads share its sockets (see
  // ReceiveLoad); 0, each thread always reads its own socket.
  explicit PacketReceiver(uint32_t worker_numbers, uint32_t socket_buffer_bytes = 0,
                          uint32_t spread_percent = 0);
  ~PacketReceiver();  // Shutdown(), then closes every socket
  PacketReceiver(const PacketReceiver&) = delete;
  PacketReceiver& operator=(const PacketReceiver&) = delete;

  // Opens worker_numbers_ sockets on the address and starts a thread for each.
  // An address this receiver already listens on (several configuration keys
  // naming one address on a single-address host) gets sockets that join the
  // same reuse group; only an address held by someone else is refused.
  // media_listener true: the server's public media sockets; false: the rec
  // (cascade) sockets that GetSocket() hands out. 0 on success; -1 when a
  // socket cannot be opened or bound (those opened before keep running).
  // Service thread only, before Shutdown().
  int Listen(const rtc::SocketAddress& address, const PacketCallback& callback,
             bool media_listener);
  // The same, each thread with the callback `make_callback` gives it.
  int Listen(const rtc::SocketAddress& address, const PacketCallbackFactory& make_callback,
             bool media_listener);
  // False (with an error line) when some other socket, of this process or
  // another, already holds the address.
  static bool AddressIsFree(const rtc::SocketAddress& address);
  // One non-blocking IPv4 UDP socket with SO_REUSEPORT, receive timestamps,
  // drop counts and the configured buffers, bound to the address; or -1.
  int StartListen(const rtc::SocketAddress& address);
  // Asks for the configured buffers; logs what the kernel granted (the first
  // socket of each address only).
  void SetBuffers(int socket, const rtc::SocketAddress& address, bool log);
  // setsockopt SO_REUSEPORT; its result (0 on success).
  int SetReusePort(int socket);
  // Exports the backlog() of each thread not exported yet as its
  // corvane_deliver_queue_depth, for when the receive threads handle what they
  // read (no deliver pool). Service thread, after Listen.
  void ExportBacklog();
  // Stops the media listeners' threads, then the rec listeners'; each joined.
  // Sockets stay open until destruction. Service thread only.
  void Shutdown();
  // The rec listeners' sockets in turn, or -1 when there is none.
  // Safe from any thread once Listen has returned.
  int GetSocket();

  uint32_t worker_numbers() const { return worker_numbers_; }

 private:
  const uint32_t worker_numbers_;
  const uint32_t socket_buffer_bytes_;
  const uint32_t spread_percent_;
  std::atomic<uint32_t> next_socket_{0};
  // Addresses Listen has bound, with the first socket of each; service
  // thread only.
  std::map<rtc::SocketAddress, int> listened_;
  std::vector<std::unique_ptr<ReceiveGroup>> receive_groups_;
  std::vector<std::unique_ptr<ReceiveGroup>> rec_groups_;
  // The rec listeners' sockets, handed out in turn by GetSocket().
  std::vector<int> rec_sockets_;
  // This receiver's entries in the metric registry, and whose they are.
  std::vector<int> metric_ids_;
  std::set<std::pair<const ReceiveGroup*, size_t>> exported_;
};

}  // namespace corvaneserver

#endif  // PACKET_PACKET_RECEIVER_H_
