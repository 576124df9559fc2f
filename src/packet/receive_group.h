// The receive threads of one listened address: its sockets (one SO_REUSEPORT
// group, the kernel keeping each source on one socket) and a "ReceiveWorker"
// thread for each.
//
// Socket i belongs either to thread i or, while the load is light, to the
// first thread, which then reads every socket handed to it (ReceiveLoad
// decides). Exactly one thread reads a socket at any time, and a socket only
// changes hands between two reads, by its current reader: one source's
// datagrams are still handled in the order they arrived, one at a time.
//   - The first thread hands socket i back by clearing shared_[i] and waking
//     thread i.
//   - Thread i gives its socket to the first thread, when asked to, by setting
//     shared_[i] and writing to the first thread's eventfd, so that a datagram
//     arriving right then does not wait for its next look.
#ifndef PACKET_RECEIVE_GROUP_H_
#define PACKET_RECEIVE_GROUP_H_

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/mutex.h"
#include "base/platform_thread.h"
#include "base/thread_annotations.h"
#include "packet/batch_sender.h"
#include "packet/receive_load.h"
#include "packet/receive_socket.h"

namespace corvaneserver {

class ReceiveGroup {
 public:
  // Most recvmmsg rounds in a row, while a socket fills each, before the
  // thread looks at its stop flag (and the first thread at the load) again.
  static constexpr int kMaxRoundsPerWake = 8;

  // Takes the sockets (at least one); spread_percent: see ReceiveLoad. The
  // threads are created, not started.
  ReceiveGroup(std::vector<std::unique_ptr<ReceiveSocket>> sockets, uint32_t spread_percent);
  ~ReceiveGroup();  // Shutdown(), then closes the sockets
  ReceiveGroup(const ReceiveGroup&) = delete;
  ReceiveGroup& operator=(const ReceiveGroup&) = delete;

  void Start();
  // Stops every thread and joins it; the sockets stay open.
  void Shutdown();

  size_t size() const { return workers_.size(); }
  int socket(size_t i) const { return sockets_[i]->socket(); }
  // Datagrams thread i found waiting at its last wake-up (up to
  // ReceiveSocket::kBatchSize * kMaxRoundsPerWake per socket it reads); 0
  // after an idle wait. Any thread.
  uint32_t backlog(size_t i) const;
  // Sockets the first thread reads now (1 when each thread reads its own).
  // Any thread.
  size_t SharedSockets() const;
  // Threads reading a socket now: 1 while the first reads them all. Any thread.
  size_t ReadingThreads() const { return size() - (SharedSockets() - 1); }

 private:
  struct Worker {
    Worker(ReceiveGroup* owner, size_t position);

    ReceiveGroup* const group;
    const size_t index;
    std::atomic<uint32_t> backlog{0};
    // The thread's CPU-time clock once it runs (such clock ids are negative:
    // kNoClock before); the first thread reads every thread's CPU time
    // through it.
    static constexpr int64_t kNoClock = INT64_MAX;
    std::atomic<int64_t> cpu_clock{kNoClock};
    // What handling one round of received batches sends, flushed after it.
    // Used only on the worker's thread.
    BatchSender batch;
    // Last member: stops before anything it uses is destroyed.
    rtc::PlatformThread thread;
  };

  static bool ThreadEntry(void* worker);
  // One step of the first thread: waits for any socket it holds (or a
  // hand-over), reads, and now and then weighs the load.
  void RunFirst(Worker* worker);
  // One step of thread i > 0: reads its socket, or hands it over when asked,
  // or sleeps while the first thread holds it.
  void RunOther(Worker* worker);
  // Reads the sockets (indexes into sockets_) on `worker`: a recvmmsg on each
  // in turn, again while one fills the batch (at most kMaxRoundsPerWake), with
  // one flush of the worker's batch per round. The datagrams read.
  uint32_t ReadReady(Worker* worker, size_t* sockets, size_t count);
  // On the first thread, once a window: asks ReceiveLoad and acts on it.
  void WeighLoad();
  // CPU microseconds all threads have used so far (those not started yet: 0).
  int64_t CpuUs() const;

  const std::vector<std::unique_ptr<ReceiveSocket>> sockets_;
  // shared_[i]: socket i is read by the first thread (index 0 unused).
  const std::unique_ptr<std::atomic<bool>[]> shared_;
  // Set by the first thread to ask the others for their sockets.
  std::atomic<bool> share_asked_{false};
  // Written by a thread that handed its socket to the first one.
  const int handed_fd_;

  // Used only on the first thread.
  ReceiveLoad load_;
  int64_t window_start_us_ = 0;
  int64_t window_cpu_us_ = 0;
  // What it polls on each step, kept to spare an allocation per wake-up.
  std::vector<pollfd> first_ready_;
  std::vector<size_t> first_held_;
  std::vector<size_t> first_readable_;

  // Wakes a thread whose socket the first thread handed back.
  rtc::Mutex lock_;
  rtc::CondVar handed_back_;

  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace corvaneserver

#endif  // PACKET_RECEIVE_GROUP_H_
