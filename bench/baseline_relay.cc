// baseline_relay: the least a forwarder can do on this kernel, the yardstick
// the forwarding benchmark (scripts/bench) measures corvane-sfu-server against.
//
// One thread, one UDP socket with large buffers (--buffer-bytes, 4 MiB as the
// server asks by default). Datagrams are read with recvmmsg in batches of 64;
// every datagram of a batch is sent on, unchanged, straight out of its receive
// buffer, and the whole batch's fan-out leaves in as few sendmmsg calls as the
// kernel takes (up to 1024 datagrams each). No admission, no rooms, no locks,
// no allocation after start-up.
//
// How it learns its destinations, so that the same corvane-client load runs
// against it as against the server:
//   - The roster file that corvane-gateway loads into the server (--users) says
//     which users share a room and which of them are unmuted speakers. From it
//     the relay builds, once, one destination list per room.
//   - A user's address is learned from its own datagrams: the id in a detect
//     datagram (bytes 4-11) or in a media header (bytes 6-13) names the user,
//     the source address is where it is reached. No token is checked.
//   - It answers what the client waits for during its handshake, the way the
//     server does: a 12-byte detect datagram "COr..." is echoed, and a datagram
//     with the acknowledgement bit (0x10 in byte 0) is acknowledged with the
//     server's 22-byte acknowledgement.
//   - A datagram of an unmuted speaker goes to every other member of its room
//     whose address is known; datagrams of anybody else go nowhere.
// So a client sees the same answers and the same forwarded datagrams from both.
//
// It stops by itself after --max-seconds (default 900), or on SIGINT/SIGTERM,
// and prints one line of counters on standard output.
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "learning_relay.h"

namespace {

constexpr size_t kBatch = 64;     // datagrams per recvmmsg
constexpr size_t kMaxOut = 1024;  // datagrams per sendmmsg

class Relay {
 public:
  explicit Relay(relay::LearningRelay* rooms) : rooms_(*rooms) {}
  void Open(int fd);
  void Run(double max_seconds);

 private:
  void Queue(const void* data, size_t size, const sockaddr_in* to);
  void Flush();

  relay::LearningRelay& rooms_;
  relay::Counters& counters_ = rooms_.counters();
  int fd_ = -1;

  std::array<std::array<uint8_t, relay::kBufferSize>, kBatch> buffers_{};
  std::array<sockaddr_in, kBatch> sources_{};
  std::array<iovec, kBatch> in_vectors_{};
  std::array<mmsghdr, kBatch> in_messages_{};

  // Answers are built here, one slot per received datagram; they live until the next Flush.
  std::array<std::array<uint8_t, relay::kAckSize>, kBatch> answers_{};
  std::array<iovec, kMaxOut> out_vectors_{};
  std::array<mmsghdr, kMaxOut> out_messages_{};
  size_t out_count_ = 0;
};

void Relay::Open(int fd) {
  fd_ = fd;
  for (size_t i = 0; i < kBatch; ++i) {
    in_vectors_[i].iov_base = buffers_[i].data();
    in_vectors_[i].iov_len = relay::kBufferSize;
    in_messages_[i].msg_hdr.msg_iov = &in_vectors_[i];
    in_messages_[i].msg_hdr.msg_iovlen = 1;
    in_messages_[i].msg_hdr.msg_name = &sources_[i];
  }
}

void Relay::Queue(const void* data, size_t size, const sockaddr_in* to) {
  if (out_count_ == kMaxOut) Flush();
  iovec& vector = out_vectors_[out_count_];
  vector.iov_base = const_cast<void*>(data);
  vector.iov_len = size;
  mmsghdr& message = out_messages_[out_count_];
  message.msg_hdr.msg_name = const_cast<sockaddr_in*>(to);
  message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
  message.msg_hdr.msg_iov = &vector;
  message.msg_hdr.msg_iovlen = 1;
  ++out_count_;
}

void Relay::Flush() {
  size_t done = 0;
  while (done < out_count_) {
    const int sent =
        ::sendmmsg(fd_, out_messages_.data() + done, static_cast<unsigned>(out_count_ - done), 0);
    if (sent < 0) {
      if (errno == EINTR) continue;
      ++counters_.dropped;  // the first one failed: drop it, as a forwarder does
      ++done;
      continue;
    }
    done += static_cast<size_t>(sent);
  }
  out_count_ = 0;
}

void Relay::Run(double max_seconds) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  auto queue = [this](const void* data, size_t size, const sockaddr_in* to) {
    Queue(data, size, to);
  };
  while (relay::g_stop == 0) {
    for (size_t i = 0; i < kBatch; ++i) in_messages_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    const int received = ::recvmmsg(fd_, in_messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (received <= 0) {
      // Idle: block in the kernel, looking at the clock and the stop flag every 10 ms.
      pollfd ready{fd_, POLLIN, 0};
      ::poll(&ready, 1, 10);
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      if (static_cast<double>(now.tv_sec - start.tv_sec) > max_seconds) break;
      continue;
    }
    counters_.received += static_cast<uint64_t>(received);
    for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
      rooms_.Handle(buffers_[i].data(), in_messages_[i].msg_len, sources_[i], answers_[i].data(),
                    queue);
    }
    // Everything queued points into this batch's buffers: send before reading again.
    Flush();
  }
}

void Usage() {
  std::fputs(
      "Usage: baseline_relay --listen IP:PORT --users ROSTER [--max-seconds S]\n"
      "                      [--buffer-bytes N (4194304; 0: the kernel's defaults)]\n"
      "A single-threaded recvmmsg/sendmmsg relay for the rooms of a corvane-client roster;\n"
      "see the top of bench/baseline_relay.cc.\n",
      stderr);
}

}  // namespace

int main(int argc, char** argv) {
  relay::Options options;
  relay::LearningRelay rooms;
  int fd = -1;
  const int status = relay::Start("baseline_relay", argc, argv, Usage, &options, &rooms, &fd);
  if (status >= 0) return status;
  Relay relay_loop(&rooms);
  relay_loop.Open(fd);
  relay::CatchStopSignals();
  std::fprintf(stderr, "baseline_relay: %zu members, listening on %s\n", rooms.member_count(),
               options.listen.c_str());
  relay_loop.Run(options.max_seconds);
  relay::PrintCounters(rooms.counters());
  ::close(fd);
  return 0;
}
