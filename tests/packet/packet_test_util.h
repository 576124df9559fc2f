// Stand-ins for the packet tests: a recording packet handler and a count of
// this process's threads by name. Sockets, datagram builders and the log sink
// shared with the other tests are in tests/support.
#ifndef TESTS_PACKET_PACKET_TEST_UTIL_H_
#define TESTS_PACKET_PACKET_TEST_UTIL_H_

#include <dirent.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "packet/packet_callback.h"
#include "packet/udp_packet.h"

#include "support/log_capture.h"

namespace corvaneserver {
namespace test {

constexpr std::chrono::milliseconds kDeadline(5000);

// The server's packet handler played by a recorder: keeps every datagram it
// is given and the thread that gave it.
class PacketRecorder {
 public:
  struct Entry {
    std::shared_ptr<UDPPacket> packet;
    std::thread::id thread;
  };

  PacketCallback callback() {
    return [this](std::shared_ptr<UDPPacket> packet) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        entries_.push_back({std::move(packet), std::this_thread::get_id()});
      }
      changed_.notify_all();
      return 0;
    };
  }

  // Waits (up to the deadline) until at least `count` datagrams came.
  bool WaitForCount(size_t count, std::chrono::milliseconds deadline = kDeadline) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, deadline, [&] { return entries_.size() >= count; });
  }

  std::vector<Entry> entries() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_;
  }
  size_t count() const {
    std::lock_guard<std::mutex> hold(lock_);
    return entries_.size();
  }
  // The bytes of datagram i.
  std::vector<uint8_t> bytes(size_t i) const {
    std::lock_guard<std::mutex> hold(lock_);
    const auto& packet = entries_.at(i).packet;
    return std::vector<uint8_t>(packet->data(), packet->data() + packet->size());
  }

 private:
  mutable std::mutex lock_;  // guards entries_
  std::condition_variable changed_;
  std::vector<Entry> entries_;
};

// Threads of this process whose name is `name`.
inline int CountThreadsNamed(const std::string& name) {
  int count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string thread_name;
    std::getline(comm, thread_name);
    count += thread_name == name;
  }
  ::closedir(tasks);
  return count;
}

}  // namespace test
}  // namespace corvaneserver

#endif  // TESTS_PACKET_PACKET_TEST_UTIL_H_
