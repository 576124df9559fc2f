// Both servers against gateways that misbehave: killed and restarted, stuck
// without reading, or sending bytes that are not the control protocol. A
// server must keep serving, keep its output bounded, and register again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "control/control_header.h"
#include "control/control_messages.h"

#include "e2e/e2e_harness.h"
#include "support/subprocess.h"
#include "support/test_util.h"

namespace e2e {
namespace {

using Bytes = std::vector<uint8_t>;
using corvaneserver::kMsgIdAllowSpeaker;
using corvaneserver::kMsgIdRegister;

// Reconnects happen at the heartbeat pass, every 10 s.
constexpr auto kReconnectDeadline = std::chrono::seconds(25);

// A gateway played by the test on raw TCP: it holds its listening port from
// the start, so no other test can take it.
class FakeGateway {
 public:
  explicit FakeGateway(int receive_buffer = 0) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
      // Inherited by accepted connections: a stuck gateway fills up quickly.
      ::setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::listen(listen_fd_, 8) == 0 &&
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      port_ = ntohs(addr.sin_port);
    }
  }
  ~FakeGateway() {
    for (int fd : connections_) ::close(fd);
    ::close(listen_fd_);
  }

  int port() const { return port_; }

  // The next connection, or -1 after the deadline.
  int Accept(std::chrono::milliseconds deadline = kReconnectDeadline) {
    if (!Readable(listen_fd_, deadline)) return -1;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) connections_.push_back(fd);
    return fd;
  }

  // One whole frame (3-byte length first), or nothing when the connection
  // closed or nothing came in time.
  static std::optional<Bytes> ReadFrame(
      int fd, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    Bytes frame(3);
    if (!ReadExactly(fd, frame.data(), 3, deadline)) return std::nullopt;
    const uint32_t length = (frame[0] << 16) | (frame[1] << 8) | frame[2];
    if (length < 3) return std::nullopt;
    frame.resize(length);
    if (!ReadExactly(fd, frame.data() + 3, length - 3, deadline)) return std::nullopt;
    return frame;
  }

  // True when the peer closed the connection within the deadline (what it
  // sent before is read and dropped).
  static bool WaitForClose(int fd, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    uint8_t sink[4096];
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
      if (!Readable(fd, std::chrono::milliseconds(100))) continue;
      const ssize_t n = ::recv(fd, sink, sizeof(sink), 0);
      if (n <= 0) return true;
    }
    return false;
  }

  static bool WriteAll(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  static bool Readable(int fd, std::chrono::milliseconds deadline) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, static_cast<int>(deadline.count())) > 0;
  }
  static bool ReadExactly(int fd, uint8_t* out, size_t size, std::chrono::milliseconds deadline) {
    size_t done = 0;
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (done < size) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !Readable(fd, left)) return false;
      const ssize_t n = ::recv(fd, out + done, size - done, 0);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::vector<int> connections_;
};

uint16_t MessageIdOf(const Bytes& frame) {
  return frame.size() >= 6 ? rtc::GetBE16(frame.data() + 4) : 0;
}

// A server program with media on 127.0.0.1 and the given gateway list.
class ServerProcess {
 public:
  ServerProcess(const testutil::TempDir& dir, const std::string& program,
                const std::string& gateways)
      : log_dir_(dir.File(std::filesystem::path(program).filename().string())) {
    std::error_code ec;
    std::filesystem::create_directories(log_dir_, ec);
    const std::string config =
        "log_file_path = " + log_dir_ + "/\n" + "gateway_address = " + gateways + "\n" +
        "packet_listen_bgp_eth = 127.0.0.1\n" +
        "packet_listen_port = " + std::to_string(testutil::FreeUdpPort()) + "\n";
    const std::string path = log_dir_ + "/server.conf";
    testutil::WriteFile(path, config);
    process_ = std::make_unique<testutil::Subprocess>(std::vector<std::string>{program, "-c", path},
                                                      log_dir_);
  }
  ~ServerProcess() {
    int status = 0;
    if (process_->Running() && process_->Signal(SIGTERM)) process_->Wait(kExitDeadline, &status);
  }

  bool Running() { return process_->Running(); }
  std::string Stderr() const { return process_->Stderr(); }
  pid_t pid() const { return process_->pid(); }

 private:
  std::string log_dir_;
  std::unique_ptr<testutil::Subprocess> process_;
};

class GatewayFaultTest : public ::testing::TestWithParam<const char*> {
 protected:
  testutil::TempDir dir_;
};

TEST_P(GatewayFaultTest, KilledGatewayIsReplacedAndTheServerRegistersAgain) {
  auto gateway = std::make_unique<Gateway>(dir_, testutil::FreeTcpPort());
  const int port = gateway->port();
  ServerProcess server(dir_, GetParam(), "127.0.0.1:" + std::to_string(port));
  ASSERT_TRUE(gateway->WaitForOutput("registered:", 1)) << gateway->Output() << server.Stderr();
  ASSERT_TRUE(gateway->Signal(SIGKILL));
  gateway.reset();
  gateway = std::make_unique<Gateway>(dir_, port);
  ASSERT_TRUE(gateway->WaitForOutput("registered:", 1, kReconnectDeadline))
      << gateway->Output() << server.Stderr();
  int result = 0;
  ASSERT_TRUE(gateway->Request("allow 1 77", &result));
  EXPECT_EQ(result, -1);  // nobody by that id, but answered
  EXPECT_TRUE(server.Running());
}

TEST_P(GatewayFaultTest, GatewayThatNeverReadsDoesNotHoldUpTheServer) {
  FakeGateway stuck(/*receive_buffer=*/4096);
  Gateway healthy(dir_, testutil::FreeTcpPort());
  ServerProcess server(
      dir_, GetParam(),
      "127.0.0.1:" + std::to_string(stuck.port()) + "|127.0.0.1:" + std::to_string(healthy.port()));
  ASSERT_TRUE(healthy.WaitForOutput("registered:", 1)) << healthy.Output() << server.Stderr();
  const int link = stuck.Accept();
  ASSERT_GE(link, 0);
  const long resident_before = ResidentKib(server.pid());

  // Requests whose answers the stuck gateway never reads: far more than the
  // socket buffers on both sides hold.
  corvaneserver::AllowSpeakerReq allow;
  allow.room_id = 1;
  allow.user_id = 77;
  allow.allow = true;
  const Bytes request = corvaneserver::BuildControlMessage(kMsgIdAllowSpeaker, 1, allow);
  Bytes burst;
  for (int i = 0; i < 1000; ++i) burst.insert(burst.end(), request.begin(), request.end());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(FakeGateway::WriteAll(link, burst));

  // The service thread still answers the other gateway at once.
  for (int i = 0; i < 3; ++i) {
    int result = 0;
    ASSERT_TRUE(healthy.Request("allow 1 77", &result)) << healthy.Output();
    EXPECT_EQ(result, -1);
  }
  const long resident_after = ResidentKib(server.pid());
  ASSERT_GT(resident_before, 0);
  if (kResidentMemoryIsMeaningful) {
    EXPECT_LT(resident_after - resident_before, 16 * 1024)
        << "resident KiB " << resident_before << " -> " << resident_after;
  }
  EXPECT_TRUE(server.Running());
}

TEST_P(GatewayFaultTest, GarbageFromTheGatewayClosesTheLinkAndTheServerRegistersAgain) {
  FakeGateway gateway;
  ServerProcess server(dir_, GetParam(), "127.0.0.1:" + std::to_string(gateway.port()));
  int link = gateway.Accept();
  ASSERT_GE(link, 0) << server.Stderr();
  auto registration = FakeGateway::ReadFrame(link);
  ASSERT_TRUE(registration);
  EXPECT_EQ(MessageIdOf(*registration), kMsgIdRegister);

  // Well-framed nonsense: an unknown id, and a known id whose body does not decode.
  Bytes unknown = {0x00, 0x00, 0x10, 0x00, 0x27, 0x0F, 0, 0, 0, 9, 1, 2, 3, 4, 5, 6};
  Bytes undecodable = {0x00, 0x00, 0x10, 0x00, 0x2E, 0xE2, 0, 0, 0, 10};
  for (int i = 0; i < 6; ++i) undecodable.push_back(0xFF);
  ASSERT_TRUE(FakeGateway::WriteAll(link, unknown));
  ASSERT_TRUE(FakeGateway::WriteAll(link, undecodable));
  // A zero length cannot be a frame: the stream has lost its framing.
  ASSERT_TRUE(FakeGateway::WriteAll(link, Bytes{0x00, 0x00, 0x00, 0x55, 0x55}));
  EXPECT_TRUE(FakeGateway::WaitForClose(link)) << "the server kept a link without framing";

  link = gateway.Accept();
  ASSERT_GE(link, 0) << "no second connection";
  registration = FakeGateway::ReadFrame(link);
  ASSERT_TRUE(registration);
  EXPECT_EQ(MessageIdOf(*registration), kMsgIdRegister);

  // A length beyond what the link takes.
  ASSERT_TRUE(FakeGateway::WriteAll(link, Bytes{0xFF, 0xFF, 0xFF, 0x00, 0x2E, 0xE1}));
  EXPECT_TRUE(FakeGateway::WaitForClose(link));
  link = gateway.Accept();
  ASSERT_GE(link, 0) << "no third connection";
  registration = FakeGateway::ReadFrame(link);
  ASSERT_TRUE(registration);
  EXPECT_EQ(MessageIdOf(*registration), kMsgIdRegister);
  EXPECT_TRUE(server.Running());
}

INSTANTIATE_TEST_SUITE_P(BothServers, GatewayFaultTest,
                         ::testing::Values(CORVANE_SFU_SERVER, CORVANE_MFU_SERVER),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           return std::string(param.index == 0 ? "Forwarding" : "Mixing");
                         });

}  // namespace
}  // namespace e2e
