// The deliver pool between the UDP receive threads and the server (the
// "pool" handling mode): each datagram is queued to one of N workers chosen by
// its source address, so one source's datagrams are admitted and handled by
// one thread, in arrival order.
#ifndef PACKET_PACKET_DELIVER_H_
#define PACKET_PACKET_DELIVER_H_

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "base/log_rate_limiter.h"
#include "base/metrics.h"
#include "base/mutex.h"
#include "base/platform_thread.h"
#include "base/thread_annotations.h"
#include "packet/batch_sender.h"
#include "packet/packet_admission.h"
#include "packet/packet_callback.h"
#include "packet/udp_packet.h"

namespace corvaneserver {

class PacketDeliver {
 public:
  // Datagrams a worker may hold before new ones are dropped: a flood the
  // handlers cannot keep up with costs packets, not unbounded memory. With a
  // delay limit the queue stays near the limit's worth of datagrams: those
  // that waited past it cost the worker only their drop.
  static constexpr size_t kMaxQueuedPackets = 16384;
  // Datagrams a worker takes off its queue under one acquisition of its lock.
  // They are handled in queue order before the next acquisition; the queue
  // bound above does not count them.
  static constexpr size_t kHandleBatch = 32;

  // One worker: a queue, its thread "DeliverWorker" and its own statistics.
  class DeliverWorker {
   public:
    // max_delay_ms: see PacketAdmission; 0 for no limit.
    DeliverWorker(unsigned int statistics_interval_ms, const PacketCallback& deliver,
                  int64_t max_delay_ms = 0);
    ~DeliverWorker();  // Shutdown(); datagrams still queued are dropped
    DeliverWorker(const DeliverWorker&) = delete;
    DeliverWorker& operator=(const DeliverWorker&) = delete;

    void Start();
    // Stops the thread and waits for it to end; harmless when not running.
    // Not from the worker thread itself.
    void Shutdown() EXCLUDES(lock_);
    // Queues the datagram and wakes the worker. Returns 0, or -1 when the
    // queue is full and the datagram is dropped. Safe from any thread.
    int OnPacketDelivered(std::shared_ptr<UDPPacket> packet) EXCLUDES(lock_);
    // Thread entry: one Run() per call, again and again until stopped.
    static bool EntryFuction(void* worker);
    // One pass on the worker thread: waits up to rtc::kMaxEntryBlockMs for datagrams
    // and handles at most kHandleBatch of them, oldest first.
    void Run();

    size_t queue_size() const EXCLUDES(lock_);
    const rtc::Counter& dropped() const { return dropped_; }

   private:
    // Waits up to rtc::kMaxEntryBlockMs for the queue to fill, then moves up to
    // kHandleBatch datagrams from its front into in_hand_. Their number.
    size_t WaitPopBatch() EXCLUDES(lock_);
    // Used only on the worker thread.
    PacketAdmission admission_;
    std::array<std::shared_ptr<UDPPacket>, kHandleBatch> in_hand_;
    // What handling one batch sends, flushed after it.
    BatchSender batch_;

    // Any thread.
    rtc::LogRateLimiter queue_full_log_;
    rtc::Counter dropped_;  // by the full queue

    mutable rtc::Mutex lock_;
    rtc::CondVar queue_ready_;
    std::deque<std::shared_ptr<UDPPacket>> queue_ GUARDED_BY(lock_);
    bool stopping_ GUARDED_BY(lock_) = false;

    // Last member: the thread stops before anything it uses is destroyed.
    rtc::PlatformThread thread_;
  };

  // worker_numbers 0 is raised to 1 (with a warning); statistics_interval_ms 0
  // turns the per-source reports off (with a warning). max_delay_ms: see
  // PacketAdmission, 0 for no limit. Workers run at once.
  PacketDeliver(unsigned int worker_numbers, unsigned int statistics_interval_ms,
                const PacketCallback& deliver, int64_t max_delay_ms = 0);
  ~PacketDeliver();  // Shutdown()
  PacketDeliver(const PacketDeliver&) = delete;
  PacketDeliver& operator=(const PacketDeliver&) = delete;

  // Queues the datagram to its worker. Called by the receive threads; safe
  // from any thread. Returns the worker's result.
  int OnPacketDelivered(std::shared_ptr<UDPPacket> packet);
  // Worker of a datagram: the source address's hash modulo the worker count,
  // or the datagram's user id when the address is not complete.
  unsigned int GetIndex(const std::shared_ptr<UDPPacket>& packet) const;
  // Stops every worker in order, each joined before the next. Call after the
  // receivers have stopped; datagrams queued later are never handled.
  void Shutdown();

  size_t worker_numbers() const { return workers_.size(); }

 private:
  // Filled by the constructor, never changed afterwards: read without a lock.
  std::vector<std::unique_ptr<DeliverWorker>> workers_;
  // This pool's entries in the metric registry.
  std::vector<int> metric_ids_;
};

}  // namespace corvaneserver

#endif  // PACKET_PACKET_DELIVER_H_
