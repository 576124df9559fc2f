#include "packet/packet_deliver.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "base/logging.h"
#include "packet/packet_metrics.h"

namespace corvaneserver {

PacketDeliver::DeliverWorker::DeliverWorker(unsigned int statistics_interval_ms,
                                            const PacketCallback& deliver, int64_t max_delay_ms)
    : admission_(statistics_interval_ms, max_delay_ms, deliver),
      thread_(&DeliverWorker::EntryFuction, this, "DeliverWorker") {}

PacketDeliver::DeliverWorker::~DeliverWorker() { Shutdown(); }

void PacketDeliver::DeliverWorker::Start() { thread_.Start(); }

void PacketDeliver::DeliverWorker::Shutdown() {
  {
    rtc::MutexLock hold(&lock_);
    stopping_ = true;
  }
  // Cut a worker's idle wait short so the join does not wait for it.
  queue_ready_.SignalAll();
  thread_.Stop();
}

int PacketDeliver::DeliverWorker::OnPacketDelivered(std::shared_ptr<UDPPacket> packet) {
  {
    rtc::MutexLock hold(&lock_);
    if (queue_.size() < kMaxQueuedPackets) {
      queue_.push_back(std::move(packet));
      packet = nullptr;
    }
  }
  if (packet != nullptr) {
    PacketMetrics::Get().dropped_queue_full.Add();
    dropped_.Add();
    RTC_LOG_LIMITED(LS_WARNING, queue_full_log_)
        << "deliver queue full, drop packet from [" << packet->FromAddress().ToString() << "]";
    return -1;
  }
  queue_ready_.Signal();
  return 0;
}

size_t PacketDeliver::DeliverWorker::WaitPopBatch() {
  rtc::MutexLock hold(&lock_);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(rtc::kMaxEntryBlockMs);
  while (queue_.empty() && !stopping_) {
    if (!queue_ready_.WaitUntil(&lock_, deadline)) break;
  }
  const size_t count = std::min(queue_.size(), kHandleBatch);
  for (size_t i = 0; i < count; ++i) {
    in_hand_[i] = std::move(queue_.front());
    queue_.pop_front();
  }
  return count;
}

size_t PacketDeliver::DeliverWorker::queue_size() const {
  rtc::MutexLock hold(&lock_);
  return queue_.size();
}

bool PacketDeliver::DeliverWorker::EntryFuction(void* worker) {
  static_cast<DeliverWorker*>(worker)->Run();
  return true;
}

void PacketDeliver::DeliverWorker::Run() {
  const size_t count = WaitPopBatch();
  if (count == 0) return;
  // Everything the batch causes leaves in one flush when the scope ends.
  BatchSender::Scope sends(&batch_);
  for (size_t i = 0; i < count; ++i) admission_.Handle(std::move(in_hand_[i]));
}

PacketDeliver::PacketDeliver(unsigned int worker_numbers, unsigned int statistics_interval_ms,
                             const PacketCallback& deliver, int64_t max_delay_ms) {
  RTC_LOG(LS_INFO) << "deliver worker thread numbers is " << worker_numbers;
  if (worker_numbers == 0) {
    RTC_LOG(LS_WARNING) << "deliver worker thread numbers is 0, use 1 instead";
    worker_numbers = 1;
  }
  PacketAdmission::LogSettings(statistics_interval_ms);
  workers_.reserve(worker_numbers);
  rtc::MetricRegistry& registry = rtc::MetricRegistry::Global();
  for (unsigned int i = 0; i < worker_numbers; ++i) {
    auto worker = std::make_unique<DeliverWorker>(statistics_interval_ms, deliver, max_delay_ms);
    worker->Start();
    const rtc::MetricLabels labels = {{"worker", std::to_string(i)}};
    DeliverWorker* const observed = worker.get();
    metric_ids_.push_back(
        registry.AddGauge(kQueueDepthMetricName, kQueueDepthMetricHelp, labels,
                          [observed] { return static_cast<double>(observed->queue_size()); }));
    metric_ids_.push_back(registry.AddCounter("corvane_deliver_queue_dropped_total",
                                              "Datagrams a deliver worker's full queue dropped.",
                                              labels, &worker->dropped()));
    workers_.push_back(std::move(worker));
  }
}

PacketDeliver::~PacketDeliver() {
  // Before the workers go: no scrape may read them afterwards.
  for (int id : metric_ids_) rtc::MetricRegistry::Global().Remove(id);
  Shutdown();
}

int PacketDeliver::OnPacketDelivered(std::shared_ptr<UDPPacket> packet) {
  const unsigned int index = GetIndex(packet);
  return workers_[index]->OnPacketDelivered(std::move(packet));
}

unsigned int PacketDeliver::GetIndex(const std::shared_ptr<UDPPacket>& packet) const {
  const rtc::SocketAddress from = packet->FromAddress();
  const uint64_t key = from.IsComplete() ? static_cast<uint64_t>(from.Hash()) : packet->UserId();
  return static_cast<unsigned int>(key % workers_.size());
}

void PacketDeliver::Shutdown() {
  for (auto& worker : workers_) worker->Shutdown();
}

}  // namespace corvaneserver
