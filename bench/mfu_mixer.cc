// The mixing server's scheduling, both designs side by side in one run: a pool
// of "mfu_mixer" threads against a thread per room.
//
//   mfu_mixer idle   [rooms] [seconds] [pool|thread|both]
//       rooms of two silent speakers
//   mfu_mixer loaded [rooms] [seconds] [pool|thread|both]
//       rooms of 4 speakers (one frame each per 20 ms) and 4 listeners
//
// Prints, per design: CPU of the process in % of one core, thread count,
// resident memory per room, and pass lateness (p50, p99, max bucket).
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/byte_io.h"
#include "base/logging.h"
#include "mfu/mfu_channel.h"
#include "mfu/mfu_room.h"
#include "mfu/mixer_pool.h"
#include "mfu/mixer_schedule.h"
#include "packet/fec_header.h"
#include "packet/udp_packet.h"

namespace {

using corvaneserver::MfuChannel;
using corvaneserver::MfuRoom;
using corvaneserver::MixerOptions;
using corvaneserver::MixerPool;
using corvaneserver::PassLateness;
using corvaneserver::UDPPacket;

long StatusField(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(key) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A FEC source datagram of `user` with a small media datagram inside.
std::shared_ptr<UDPPacket> Frame(uint64_t user, uint32_t seq, int socket,
                                 const rtc::SocketAddress& from) {
  uint8_t bytes[22 + 16 + 60] = {};
  bytes[1] = 0x50;
  rtc::SetBE64(bytes + corvaneserver::kFecUserIdOffset, user);
  rtc::SetBE32(bytes + corvaneserver::kFecSequenceOffset, seq);
  rtc::SetBE32(bytes + corvaneserver::kFecBlockStartOffset, seq);
  bytes[corvaneserver::kFecSourceCountOffset] = 1;
  uint8_t* media = bytes + 22;
  media[0] = 0xA0;
  media[1] = 0x20;
  rtc::SetBE32(media + 2, seq);
  rtc::SetBE64(media + 6, user);
  media[16] = static_cast<uint8_t>(seq * 7 + user);  // level
  auto packet = std::make_shared<UDPPacket>(bytes, sizeof(bytes));
  packet->SetSocket(socket, from);
  return packet;
}

struct Result {
  double cpu_percent = 0;
  long threads = 0;
  double rss_kib_per_room = 0;
  uint64_t passes = 0;
  int64_t p50_us = 0;
  int64_t p99_us = 0;
};

Result Run(bool pool_design, int room_count, int speakers, int listeners, bool feed, int seconds) {
  PassLateness lateness;
  std::unique_ptr<MixerPool> pool;
  MixerOptions options;
  options.frame_log = false;
  options.lateness = &lateness;
  if (pool_design) {
    pool = std::make_unique<MixerPool>(2, &lateness);
    options.mode = MixerOptions::Mode::kPool;
    options.pool = pool.get();
  }
  // Every member is "reached" at one sink socket that nobody reads: sends are
  // real system calls, the kernel drops what does not fit.
  const int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(sink, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  ::getsockname(sink, reinterpret_cast<sockaddr*>(&addr), &len);
  rtc::SocketAddress member_address;
  member_address.FromSockAddr(addr);

  const long rss_before = StatusField("VmRSS");
  std::vector<std::shared_ptr<MfuRoom>> rooms;
  std::vector<std::shared_ptr<MfuChannel>> talkers;
  uint64_t user = 1;
  for (int r = 0; r < room_count; ++r) {
    auto room = std::make_shared<MfuRoom>(static_cast<uint64_t>(r + 1), options);
    for (int m = 0; m < speakers + listeners; ++m, ++user) {
      const bool speaker = m < speakers;
      auto channel = std::make_shared<MfuChannel>(
          room->Id(), user,
          speaker ? corvaneserver::kUserTypeSpeaker : corvaneserver::kUserTypeListener, "", false);
      // Admits the address (empty token): a plain datagram, not queued.
      uint8_t hello[16] = {0xA0, 0x20};
      rtc::SetBE64(hello + 6, user);
      auto packet = std::make_shared<UDPPacket>(hello, sizeof(hello));
      packet->SetSocket(sink, member_address);
      channel->OnPacketReceived(packet);
      if (speaker) talkers.push_back(channel);
      room->AddChannel(channel);
    }
    rooms.push_back(room);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long rss_after = StatusField("VmRSS");
  lateness.Reset();

  Result result;
  result.threads = StatusField("Threads");
  const double cpu_start = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  uint32_t seq = 1;
  auto next = start;
  while (std::chrono::steady_clock::now() < end) {
    if (feed) {
      for (const auto& channel : talkers)
        channel->OnPacketReceived(Frame(channel->Id(), seq, sink, member_address));
      ++seq;
    }
    next += std::chrono::milliseconds(corvaneserver::kMixerPeriodMs);
    std::this_thread::sleep_until(next);
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.cpu_percent = 100.0 * (CpuSeconds() - cpu_start) / elapsed;
  result.rss_kib_per_room = static_cast<double>(rss_after - rss_before) / room_count;
  result.passes = lateness.Count();
  result.p50_us = lateness.PercentileUs(0.5);
  result.p99_us = lateness.PercentileUs(0.99);
  rooms.clear();
  talkers.clear();
  pool.reset();
  ::close(sink);
  return result;
}

void Print(const char* design, const Result& r, int rooms, int seconds) {
  std::printf("| %s | %.2f | %ld | %.1f | %.1f | %.2f | %.2f |\n", design, r.cpu_percent, r.threads,
              r.rss_kib_per_room, static_cast<double>(r.passes) / (rooms * seconds),
              r.p50_us / 1000.0, r.p99_us / 1000.0);
}

}  // namespace

int main(int argc, char* argv[]) {
  rtc::LogMessage::SetLogToStderr(false);
  const std::string mode = argc > 1 ? argv[1] : "idle";
  const int rooms = argc > 2 ? std::atoi(argv[2]) : 1000;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 5;
  const bool loaded = mode == "loaded";
  const int speakers = loaded ? 4 : 2;
  const int listeners = loaded ? 4 : 0;
  const std::string designs = argc > 4 ? argv[4] : "both";
  std::printf("%s: %d rooms of %d speakers and %d listeners, %d s per design\n\n", mode.c_str(),
              rooms, speakers, listeners, seconds);
  std::printf(
      "| design | CPU %% of one core | threads | RSS KiB/room | passes/room/s | "
      "lateness p50 ms | lateness p99 ms |\n|---|---|---|---|---|---|---|\n");
  if (designs != "thread") {
    Print("pool of 2 mfu_mixer", Run(true, rooms, speakers, listeners, loaded, seconds), rooms,
          seconds);
  }
  if (designs != "pool") {
    Print("thread per room", Run(false, rooms, speakers, listeners, loaded, seconds), rooms,
          seconds);
  }
  return 0;
}
