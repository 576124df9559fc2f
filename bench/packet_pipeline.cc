// The media receive path on loopback: client sockets send voice-sized
// datagrams to the real receive threads, which hand them to the real deliver
// pool, whose workers admit them and call a trivial handler.
//
// Reports datagrams per second and the latency from just before sendto() to
// the handler (so it includes the kernel's loopback hop, and bounds the
// arrival-to-handler time from above), p50 and p99, for 1 and 2 workers:
//   BM_PipelineThroughput: as fast as a window of 128 datagrams in flight allows;
//   BM_PipelineLatency:    one datagram at a time, nothing queued.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/byte_io.h"
#include "base/logging.h"
#include "base/socket_address.h"
#include "base/time_utils.h"
#include "packet/packet_deliver.h"
#include "packet/packet_receiver.h"
#include "packet/udp_packet.h"

namespace corvaneserver {
namespace {

constexpr int kClients = 8;                // sources, spread over workers and sockets
constexpr int kReceiveThreads = 2;         // receiver_worker_numbers default
constexpr size_t kDatagramSize = 120;      // header, token and a 20 ms voice frame
constexpr unsigned int kStampOffset = 24;  // payload bytes holding the send time (us)
constexpr int64_t kDrainDeadlineUs = 5000000;

class Client {
 public:
  Client() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Send(const sockaddr_in& to, const uint8_t* data, size_t size) const {
    return ::sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(size);
  }
  // Sends the probe that makes the client known and waits for its echo.
  bool Detect(const sockaddr_in& to) const {
    const uint8_t probe[kDetectPktSize] = {0x43, 0x4F, 0x72};
    if (!Send(to, probe, sizeof(probe))) return false;
    timeval timeout{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    uint8_t echo[64];
    return ::recv(fd_, echo, sizeof(echo), 0) == static_cast<ssize_t>(kDetectPktSize);
  }

 private:
  int fd_ = -1;
};

// The handler: takes the latency of each datagram and counts it.
struct Sink {
  explicit Sink(size_t capacity) : latencies_us(capacity) {}

  int OnPacket(const std::shared_ptr<UDPPacket>& packet) {
    const int64_t now = rtc::TimeMicros();
    if (packet->size() < kStampOffset + 8) return -1;
    const auto sent = static_cast<int64_t>(rtc::GetBE64(packet->data() + kStampOffset));
    const size_t slot = next.fetch_add(1, std::memory_order_relaxed);
    if (slot < latencies_us.size()) latencies_us[slot] = now - sent;
    delivered.fetch_add(1, std::memory_order_release);
    return 0;
  }

  std::vector<int64_t> latencies_us;
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> delivered{0};
};

class Pipeline {
 public:
  Pipeline(unsigned int workers, Sink* sink) {
    deliver_ = std::make_unique<PacketDeliver>(
        workers, 300000,
        [sink](std::shared_ptr<UDPPacket> packet) { return sink->OnPacket(packet); });
    receiver_ = std::make_unique<PacketReceiver>(kReceiveThreads);
    // A free port: bind, read it back, let it go.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(probe);
    server_ = addr;
    rtc::SocketAddress listen;
    listen.FromSockAddr(addr);
    PacketDeliver* deliver = deliver_.get();
    ok_ = receiver_->Listen(
              listen,
              [deliver](std::shared_ptr<UDPPacket> packet) {
                return deliver->OnPacketDelivered(std::move(packet));
              },
              true) == 0;
    for (int i = 0; i < kClients && ok_; ++i) {
      clients_.push_back(std::make_unique<Client>());
      ok_ = clients_.back()->Detect(server_);
    }
  }
  ~Pipeline() {
    receiver_->Shutdown();
    deliver_->Shutdown();
  }

  bool ok() const { return ok_; }
  bool Send(uint64_t n) {
    uint8_t datagram[kDatagramSize] = {};
    datagram[0] = 0xA0;
    datagram[1] = 0x66;
    rtc::SetBE32(datagram + 2, static_cast<uint32_t>(n));
    rtc::SetBE64(datagram + 6, n % kClients);
    rtc::SetBE16(datagram + 14, 0x0808);  // an 8-byte token
    rtc::SetBE64(datagram + kStampOffset, static_cast<uint64_t>(rtc::TimeMicros()));
    return clients_[n % kClients]->Send(server_, datagram, sizeof(datagram));
  }

 private:
  std::unique_ptr<PacketDeliver> deliver_;
  std::unique_ptr<PacketReceiver> receiver_;
  std::vector<std::unique_ptr<Client>> clients_;
  sockaddr_in server_{};
  bool ok_ = false;
};

// Waits until `count` datagrams were handled; false after the deadline (lost).
bool WaitDelivered(const Sink& sink, uint64_t count) {
  const int64_t deadline = rtc::TimeMicros() + kDrainDeadlineUs;
  while (sink.delivered.load(std::memory_order_acquire) < count) {
    if (rtc::TimeMicros() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

void ReportLatency(benchmark::State& state, Sink& sink, uint64_t sent) {
  const size_t recorded = std::min(sink.next.load(), sink.latencies_us.size());
  std::vector<int64_t> latencies(sink.latencies_us.begin(), sink.latencies_us.begin() + recorded);
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) {
    if (latencies.empty()) return 0.0;
    return static_cast<double>(latencies[static_cast<size_t>(p * (latencies.size() - 1))]);
  };
  state.counters["p50_us"] = percentile(0.50);
  state.counters["p99_us"] = percentile(0.99);
  state.counters["lost"] = static_cast<double>(sent - sink.delivered.load());
  state.counters["datagrams_per_s"] =
      benchmark::Counter(static_cast<double>(sink.delivered.load()), benchmark::Counter::kIsRate);
}

void BM_PipelineThroughput(benchmark::State& state) {
  constexpr uint64_t kWindow = 128;
  Sink sink(static_cast<size_t>(state.max_iterations));
  Pipeline pipeline(static_cast<unsigned int>(state.range(0)), &sink);
  if (!pipeline.ok()) {
    state.SkipWithError("pipeline did not start");
    return;
  }
  uint64_t sent = 0;
  for (auto _ : state) {
    while (sent - sink.delivered.load(std::memory_order_acquire) >= kWindow) {
      std::this_thread::yield();
    }
    pipeline.Send(sent++);
  }
  WaitDelivered(sink, sent);
  ReportLatency(state, sink, sent);
}

void BM_PipelineLatency(benchmark::State& state) {
  Sink sink(static_cast<size_t>(state.max_iterations));
  Pipeline pipeline(static_cast<unsigned int>(state.range(0)), &sink);
  if (!pipeline.ok()) {
    state.SkipWithError("pipeline did not start");
    return;
  }
  uint64_t sent = 0;
  for (auto _ : state) {
    pipeline.Send(sent++);
    if (!WaitDelivered(sink, sent)) break;
  }
  ReportLatency(state, sink, sent);
}

BENCHMARK(BM_PipelineThroughput)
    ->ArgName("workers")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(200000)
    ->UseRealTime();
BENCHMARK(BM_PipelineLatency)->ArgName("workers")->Arg(1)->Arg(2)->Iterations(20000)->UseRealTime();

}  // namespace
}  // namespace corvaneserver

int main(int argc, char** argv) {
  rtc::LogMessage::SetLogToStderr(false);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
