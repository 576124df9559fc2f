// The server's UDP listeners: for each listened address several sockets bound
// to the same port with SO_REUSEPORT, each read by its own "ReceiveWorker"
// thread that turns every datagram into a UDPPacket and hands it on. The
// kernel keeps each source address on one socket of a group, so one source's
// datagrams reach one thread, in the order they arrived.
//
// Every datagram carries the time it was read and, from the kernel's receive
// timestamp, how long it had waited in the socket buffer before, so that wait
// counts in its age. The sockets' kernel drops (a full receive buffer) are
// counted too.
#ifndef PACKET_PACKET_RECEIVER_H_
#define PACKET_PACKET_RECEIVER_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "base/platform_thread.h"
#include "base/socket_address.h"
#include "packet/packet_callback.h"
#include "packet/packet_metrics.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class PacketReceiver {
 public:
  // Period of each socket's rate line in the stat log.
  static constexpr int64_t kReportIntervalMs = 300000;

  // One bound socket and the thread that reads it.
  class ReceiveThread {
   public:
    // Datagrams taken from the kernel in one call, each its own UDPPacket.
    static constexpr unsigned int kBatchSize = 16;
    // Most recvmmsg calls in a row, while each fills the batch, before the
    // thread looks at its stop flag again.
    static constexpr int kMaxRoundsPerWake = 8;

    // Control bytes of one datagram: its timestamp and the socket's drop count.
    static constexpr size_t kControlSize = 64;

    // Takes ownership of the socket. Its datagrams name `send_socket` as the
    // one to answer them through: the first socket of the same address, so
    // that every member reached through that address shares one socket and a
    // fan-out leaves in one sendmmsg (any socket of the group sends from the
    // same address and port). The thread is created, not started.
    ReceiveThread(int socket, int send_socket, const PacketCallback& callback);
    ~ReceiveThread();  // Shutdown(), then closes the socket
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

    void Start();
    // Stops the thread and joins it; the socket stays open.
    void Shutdown();
    static bool ThreadEntry(void* receiver);
    // One receive attempt on the thread: blocks up to rtc::kMaxEntryBlockMs for the
    // socket to become readable, then hands on what it reads.
    void Run();
    int GetSocket() const { return socket_; }
    // Datagrams found waiting at the thread's last wake-up (up to
    // kBatchSize * kMaxRoundsPerWake); 0 after an idle wait. Any thread.
    uint32_t backlog() const { return backlog_.load(std::memory_order_relaxed); }

   private:
    // One recvmmsg and the hand-over of what it read; its result.
    int ReceiveBatch();
    // Gives slot i a fresh datagram and points its message header at it.
    void ArmSlot(unsigned int i);
    // Counts one handed-on datagram and writes the rate line when due.
    void Count(unsigned int size, int64_t now_ms);
    // How long slot i's datagram waited in the socket buffer, from its kernel
    // timestamp (0 without one); also takes the socket's drop count.
    int64_t KernelWait(unsigned int i, const timespec& now_real);

    // Owned; closed by the destructor.
    const int socket_;
    // Owned by the thread of the group's first socket.
    const int send_socket_;
    const PacketCallback callback_;

    // Used only on the receive thread.
    int64_t last_report_time_;
    PacketMetrics& metrics_;
    uint64_t packet_count_ = 0;
    uint64_t byte_count_ = 0;
    uint64_t period_bytes_ = 0;
    // The kernel's running count of datagrams this socket dropped.
    uint32_t kernel_drops_ = 0;
    std::atomic<uint32_t> backlog_{0};
    std::array<std::shared_ptr<UDPPacket>, kBatchSize> packets_;
    std::array<std::array<char, kControlSize>, kBatchSize> controls_;
    std::array<sockaddr_in, kBatchSize> senders_;
    std::array<iovec, kBatchSize> buffers_;
    std::array<mmsghdr, kBatchSize> messages_;

    // Last member: stops before anything it uses is destroyed.
    rtc::PlatformThread thread_;
  };

  // worker_numbers: sockets and threads per listened address; 0 is raised to 1
  // with a warning. socket_buffer_bytes: receive and send buffer asked of the
  // kernel for every socket (which may grant less); 0 keeps its defaults.
  explicit PacketReceiver(uint32_t worker_numbers, uint32_t socket_buffer_bytes = 0);
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
  std::atomic<uint32_t> next_socket_{0};
  // Addresses Listen has bound, with the first socket of each; service
  // thread only.
  std::map<rtc::SocketAddress, int> listened_;
  std::vector<std::unique_ptr<ReceiveThread>> receive_threads_;
  std::vector<std::unique_ptr<ReceiveThread>> rec_threads_;
  // This receiver's entries in the metric registry, and whose they are.
  std::vector<int> metric_ids_;
  std::set<const ReceiveThread*> exported_;
};

}  // namespace corvaneserver

#endif  // PACKET_PACKET_RECEIVER_H_
