// The ports that tests hand to servers they start: each one distinct within
// the program and across programs run at once, from the reserved range, and
// free to bind when handed out.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace {

// Binds a socket of `type` to 127.0.0.1:port, closes it, and says whether the
// bind succeeded.
bool Binds(int type, int port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

TEST(TestPortsTest, NoPortIsHandedOutTwiceAndEachIsBindable) {
  std::set<int> seen;
  for (int i = 0; i < 40; ++i) {
    const bool udp = i % 2 == 0;
    const int port = udp ? testutil::FreeUdpPort() : testutil::FreeTcpPort();
    ASSERT_NE(port, 0) << "ran out after " << i;
    // Below the kernel's ephemeral range, so no port-0 socket can take it.
    EXPECT_GE(port, 20000);
    EXPECT_LT(port, 32768);
    EXPECT_TRUE(seen.insert(port).second) << "port " << port << " handed out twice";
    EXPECT_TRUE(Binds(udp ? SOCK_DGRAM : SOCK_STREAM, port)) << "port " << port;
  }
}

TEST(TestPortsTest, ThreadsAskingAtOnceGetDistinctPorts) {
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  std::mutex lock;
  std::vector<int> ports;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        const int port = testutil::FreeUdpPort();
        std::lock_guard<std::mutex> hold(lock);
        ports.push_back(port);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(ports.size(), static_cast<size_t>(kThreads * kEach));
  const std::set<int> distinct(ports.begin(), ports.end());
  EXPECT_EQ(distinct.size(), ports.size());
  EXPECT_EQ(distinct.count(0), 0u);
}

TEST(TestPortsTest, AnotherProcessNeverGetsAPortThisOneWasHandedOrTheOtherWay) {
  // A forked child starts where this process's allocator stands: without a
  // reservation both would hand out the same ports in the same order.
  int up[2];
  int down[2];
  ASSERT_EQ(::pipe(up), 0);
  ASSERT_EQ(::pipe(down), 0);
  constexpr int kEach = 20;
  ASSERT_NE(testutil::FreeUdpPort(), 0);  // the allocator has its starting point now
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int ports[kEach];
    for (int& port : ports) port = testutil::FreeUdpPort();
    const bool sent = ::write(up[1], ports, sizeof(ports)) == static_cast<ssize_t>(sizeof(ports));
    char done;
    // Holds its reservations until the parent has taken its own ports.
    const bool told = ::read(down[0], &done, 1) == 1;
    ::_exit(sent && told ? 0 : 1);
  }
  int theirs[kEach];
  ASSERT_EQ(::read(up[0], theirs, sizeof(theirs)), static_cast<ssize_t>(sizeof(theirs)));
  std::set<int> ours;
  for (int i = 0; i < kEach; ++i) ours.insert(testutil::FreeUdpPort());
  ASSERT_EQ(::write(down[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int port : theirs) {
    EXPECT_NE(port, 0);
    EXPECT_EQ(ours.count(port), 0u) << "port " << port << " handed to both processes";
  }
  for (int fd : {up[0], up[1], down[0], down[1]}) ::close(fd);
}

}  // namespace
