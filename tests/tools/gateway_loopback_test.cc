// The gateway engine on a real loopback TCP port, driven by fake servers
// that register, read the requests and answer them the way a server does.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "base/byte_io.h"
#include "control/control_header.h"
#include "control/control_messages.h"

#include "gateway/gateway.h"
#include "support/subprocess.h"
#include "support/test_util.h"

namespace corvanetools {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// A server's end of the control link, blocking with deadlines.
class FakeServer {
 public:
  explicit FakeServer(const rtc::SocketAddress& gateway) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    gateway.ToSockAddr(&addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  ~FakeServer() { Close(); }

  bool connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Register(const std::string& bgp_ip, uint32_t port, int32_t type = 1) {
    corvaneserver::RegisterReq request;
    request.server_type = type;
    request.bgp_ip = bgp_ip;
    request.port = port;
    return Write(corvaneserver::BuildRegisterMessage(request));
  }

  bool Write(const Bytes& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // The next whole message, or nothing by the deadline (or at end of stream).
  std::optional<Bytes> ReadMessage(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
      if (buffer_.size() >= 3) {
        const size_t length = (size_t{buffer_[0]} << 16) | (size_t{buffer_[1]} << 8) | buffer_[2];
        if (length >= 10 && buffer_.size() >= length) {
          Bytes message(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
          buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
          return message;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      uint8_t chunk[4096];
      const ssize_t count = ::recv(fd_, chunk, sizeof(chunk), 0);
      if (count <= 0) return std::nullopt;
      buffer_.insert(buffer_.end(), chunk, chunk + count);
    }
  }

  // The next message that is not a heartbeat.
  std::optional<Bytes> ReadRequest() {
    while (true) {
      std::optional<Bytes> message = ReadMessage();
      if (!message) return message;
      if (MessageId(*message) == corvaneserver::kMsgIdHeartbeat) {
        ++heartbeats;
        continue;
      }
      return message;
    }
  }

  bool Respond(const Bytes& request, int result) {
    const auto frame = corvaneserver::BuildResponseFrame(rtc::GetBE32(request.data() + 6), result);
    return Write(Bytes(frame.begin(), frame.end()));
  }

  static uint16_t MessageId(const Bytes& message) { return rtc::GetBE16(message.data() + 4); }

  int heartbeats = 0;

 private:
  int fd_ = -1;
  bool connected_ = false;
  Bytes buffer_;
};

// The gateway on its own thread, collecting what it prints.
class GatewayRunner {
 public:
  explicit GatewayRunner(std::vector<std::string> lines, int timeout_ms = 2000,
                         int heartbeat_ms = 10000) {
    GatewayOptions options;
    ParseIpPort("127.0.0.1:1", &options.listen);
    options.listen.SetPort(0);
    options.exec_lines = std::move(lines);
    options.read_stdin = false;
    options.timeout_ms = timeout_ms;
    options.heartbeat_ms = heartbeat_ms;
    gateway_ = std::make_unique<Gateway>(options, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      output_ += line + "\n";
    });
    std::string error;
    started_ = gateway_->Start(&error);
    EXPECT_TRUE(started_) << error;
    if (started_) thread_ = std::thread([this] { status_ = gateway_->Run(); });
  }
  ~GatewayRunner() {
    gateway_->RequestStop();
    if (thread_.joinable()) thread_.join();
  }

  const rtc::SocketAddress& address() const { return gateway_->listen_address(); }

  // The exit status once Run returned by itself within the deadline.
  std::optional<int> WaitForExit(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    if (!testutil::WaitFor([this] { return status_.load() >= 0; }, deadline)) return std::nullopt;
    thread_.join();
    return status_.load();
  }

  std::string output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  bool Printed(const std::string& text) { return output().find(text) != std::string::npos; }

 private:
  std::unique_ptr<Gateway> gateway_;
  bool started_ = false;
  std::thread thread_;
  std::atomic<int> status_{-1};
  std::mutex mutex_;  // guards output_
  std::string output_;
};

TEST(GatewayLoopbackTest, RegistersAnswersAndRunsTheScript) {
  GatewayRunner gateway(
      {"wait-servers 1 5000", "join 1 2 speaker tok expect=0", "close-room 1 expect=0"}, 2000,
      /*heartbeat_ms=*/20);
  FakeServer server(gateway.address());
  ASSERT_TRUE(server.connected());
  ASSERT_TRUE(server.Register("127.0.0.1", 8000));

  // The registration answer: id 12000, a MessageRsp of result 0 (an empty body).
  std::optional<Bytes> answer = server.ReadRequest();
  ASSERT_TRUE(answer);
  EXPECT_EQ(FakeServer::MessageId(*answer), corvaneserver::kMsgIdRegister);
  EXPECT_EQ(*answer, (Bytes{0, 0, 10, 0, 0x2E, 0xE0, 0, 0, 0, 0}));
  corvaneserver::MessageRsp rsp;
  ASSERT_EQ(rsp.Unmarshal(answer->data() + 10, answer->size() - 10), 0);
  EXPECT_EQ(rsp.result, 0u);

  std::optional<Bytes> join = server.ReadRequest();
  ASSERT_TRUE(join);
  ASSERT_EQ(FakeServer::MessageId(*join), corvaneserver::kMsgIdJoinRoom);
  corvaneserver::JoinRoomReq request;
  ASSERT_EQ(request.Unmarshal(join->data() + 10, join->size() - 10), 0);
  EXPECT_EQ(request.room_id, 1u);
  EXPECT_EQ(request.user_id, 2u);
  EXPECT_EQ(request.user_type, 2);
  EXPECT_EQ(request.token, "tok");
  ASSERT_TRUE(server.Respond(*join, 0));

  std::optional<Bytes> close = server.ReadRequest();
  ASSERT_TRUE(close);
  EXPECT_EQ(FakeServer::MessageId(*close), 12011);
  ASSERT_TRUE(server.Respond(*close, 0));

  EXPECT_EQ(gateway.WaitForExit(), 0) << gateway.output();
  EXPECT_TRUE(
      gateway.Printed("server 1 registered: forwarding server, bgp 127.0.0.1 tel nil port 8000"))
      << gateway.output();
  EXPECT_TRUE(gateway.Printed("result 0 (join room 1 user 2 type 2)")) << gateway.output();
  EXPECT_TRUE(gateway.Printed("done: OK, 2 requests, 2 responses, 0 failures"));
}

TEST(GatewayLoopbackTest, SendsHeartbeatsToRegisteredServers) {
  GatewayRunner gateway({"wait-servers 1 5000", "sleep 10000"}, 2000, /*heartbeat_ms=*/20);
  FakeServer server(gateway.address());
  ASSERT_TRUE(server.Register("127.0.0.1", 8000));
  int heartbeats = 0;
  while (heartbeats < 3) {
    std::optional<Bytes> message = server.ReadMessage();
    ASSERT_TRUE(message) << "heartbeat missing";
    if (FakeServer::MessageId(*message) == corvaneserver::kMsgIdHeartbeat) {
      EXPECT_EQ(*message, (Bytes{0, 0, 10, 0, 0x2E, 0xE1, 0, 0, 0, 0}));
      ++heartbeats;
    }
  }
}

TEST(GatewayLoopbackTest, WrongResultAndMissingResponseFail) {
  GatewayRunner gateway({"wait-servers 1 5000", "mute 1 2 expect=0", "unmute 1 2"},
                        /*timeout_ms=*/200);
  FakeServer server(gateway.address());
  ASSERT_TRUE(server.Register("127.0.0.1", 8000));
  server.ReadRequest();  // registration answer
  std::optional<Bytes> mute = server.ReadRequest();
  ASSERT_TRUE(mute);
  ASSERT_TRUE(server.Respond(*mute, -1));
  std::optional<Bytes> unmute = server.ReadRequest();
  ASSERT_TRUE(unmute);  // left unanswered
  EXPECT_EQ(gateway.WaitForExit(), 1);
  EXPECT_TRUE(gateway.Printed("result -1 (mute room 1 user 2) in")) << gateway.output();
  EXPECT_TRUE(gateway.Printed("expected 0: FAILED")) << gateway.output();
  EXPECT_TRUE(gateway.Printed("no response (unmute room 1 user 2): FAILED")) << gateway.output();
}

TEST(GatewayLoopbackTest, WaitServersTimesOutAndStopsTheScript) {
  GatewayRunner gateway({"wait-servers 1 50", "close-room 1"});
  EXPECT_EQ(gateway.WaitForExit(), 1);
  EXPECT_TRUE(gateway.Printed("0 of 1 servers registered in time")) << gateway.output();
  EXPECT_FALSE(gateway.Printed("close room")) << gateway.output();
}

TEST(GatewayLoopbackTest, ARequestLostWithItsConnectionFailsAndTheServerComesBack) {
  GatewayRunner gateway({"wait-servers 1 5000", "join 1 2 speaker tok", "wait-servers 1 5000",
                         "@1 close-room 1 expect=0"});
  {
    FakeServer first(gateway.address());
    ASSERT_TRUE(first.Register("127.0.0.1", 8000));
    first.ReadRequest();               // registration answer
    ASSERT_TRUE(first.ReadRequest());  // the join, never answered
  }
  ASSERT_TRUE(testutil::WaitFor([&] { return gateway.Printed("lost with the connection"); }))
      << gateway.output();
  FakeServer second(gateway.address());
  ASSERT_TRUE(second.Register("127.0.0.1", 8000));
  second.ReadRequest();  // registration answer
  std::optional<Bytes> close = second.ReadRequest();
  ASSERT_TRUE(close);
  EXPECT_EQ(FakeServer::MessageId(*close), 12011);
  second.Respond(*close, 0);
  EXPECT_EQ(gateway.WaitForExit(), 1);  // the lost join
  EXPECT_TRUE(gateway.Printed("server 1 registered again")) << gateway.output();
  EXPECT_TRUE(gateway.Printed("disconnected")) << gateway.output();
  EXPECT_TRUE(gateway.Printed("server 1 session 2 result 0 (close room 1)")) << gateway.output();
}

TEST(GatewayLoopbackTest, TargetsByNumberAddressAndAll) {
  GatewayRunner gateway({"wait-servers 2 5000", "@127.0.0.9:7000 close-room 1", "@2 close-room 2",
                         "@all close-room 3", "@3 close-room 4"});
  FakeServer one(gateway.address());
  ASSERT_TRUE(one.Register("127.0.0.1", 8000));
  one.ReadRequest();
  // The second registers only once the first is in, so the numbers are known.
  ASSERT_TRUE(testutil::WaitFor([&] { return gateway.Printed("server 1 registered"); }));
  FakeServer two(gateway.address());
  ASSERT_TRUE(two.Register("127.0.0.9", 7000));
  two.ReadRequest();

  auto expect_close = [](FakeServer& server, uint64_t room) {
    std::optional<Bytes> message = server.ReadRequest();
    ASSERT_TRUE(message);
    corvaneserver::CloseRoomReq close;
    ASSERT_EQ(close.Unmarshal(message->data() + 10, message->size() - 10), 0);
    EXPECT_EQ(close.room_id, room);
    server.Respond(*message, 0);
  };
  expect_close(two, 1);  // by address
  expect_close(two, 2);  // by number
  expect_close(one, 3);  // @all, in registration order
  expect_close(two, 3);
  EXPECT_EQ(gateway.WaitForExit(), 1);  // @3 names nobody
  EXPECT_TRUE(gateway.Printed("no connected server '3' for close room 4")) << gateway.output();
}

TEST(GatewayLoopbackTest, LoadsARosterFile) {
  testutil::TempDir dir;
  testutil::WriteFile(dir.File("room.txt"),
                      "room 5 user 1 speaker a\nroom 5 user 2 muted b\n"
                      "cascade 5 id 90 address 127.0.0.3:8000\n");
  GatewayRunner gateway({"wait-servers 1 5000", "load " + dir.File("room.txt")});
  FakeServer server(gateway.address());
  ASSERT_TRUE(server.Register("127.0.0.1", 8000));
  server.ReadRequest();
  std::vector<uint16_t> ids;
  for (int i = 0; i < 3; ++i) {
    std::optional<Bytes> message = server.ReadRequest();
    ASSERT_TRUE(message);
    ids.push_back(FakeServer::MessageId(*message));
    server.Respond(*message, 0);
  }
  EXPECT_EQ(ids, (std::vector<uint16_t>{12007, 12005, 12008}));
  EXPECT_EQ(gateway.WaitForExit(), 0) << gateway.output();
}

TEST(GatewayLoopbackTest, ScriptErrorsAreReportedAndCounted) {
  GatewayRunner gateway({"frobnicate", "load /nonexistent/room.txt", "sleep 1"});
  EXPECT_EQ(gateway.WaitForExit(), 1);
  EXPECT_TRUE(gateway.Printed("line 1: error: unknown command")) << gateway.output();
  EXPECT_TRUE(gateway.Printed("line 2: error: cannot read")) << gateway.output();
}

TEST(GatewayProgramTest, HelpAndJsonFromTheProgram) {
  testutil::TempDir dir;
  {
    testutil::Subprocess help({CORVANE_GATEWAY, "--help"}, dir.path());
    int status = -1;
    ASSERT_TRUE(help.Wait(std::chrono::seconds(10), &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.Stdout().find("add-cascade ROOM ID IP:PORT"), std::string::npos);
  }
  testutil::Subprocess run(
      {CORVANE_GATEWAY, "--listen", "127.0.0.1:0", "--json", "-e", "servers", "-e", "quit"},
      dir.path());
  int status = -1;
  ASSERT_TRUE(run.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 0) << run.Stderr();
  EXPECT_NE(run.Stdout().find("{\"event\":\"listening\",\"address\":\"127.0.0.1:"),
            std::string::npos)
      << run.Stdout();
  EXPECT_NE(run.Stdout().find("{\"event\":\"servers\",\"servers\":[]}"), std::string::npos);
  EXPECT_NE(run.Stdout().find("{\"event\":\"done\",\"ok\":true"), std::string::npos);
}

TEST(GatewayProgramTest, ServeEndsCleanlyOnSigterm) {
  testutil::TempDir dir;
  testutil::Subprocess run({CORVANE_GATEWAY, "--listen", "127.0.0.1:0", "--json", "-e", "serve"},
                           dir.path());
  ASSERT_TRUE(testutil::WaitFor([&] {
    return run.Stdout().find("\"text\":\"serve\"") != std::string::npos;
  })) << run.Stdout();
  ASSERT_TRUE(run.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(run.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 0);
  EXPECT_NE(run.Stdout().find("{\"event\":\"done\",\"ok\":true"), std::string::npos);
}

TEST(GatewayProgramTest, ASigtermBeforeTheScriptEndsIsAFailure) {
  testutil::TempDir dir;
  testutil::Subprocess run(
      {CORVANE_GATEWAY, "--listen", "127.0.0.1:0", "-e", "sleep 60000", "-e", "servers"},
      dir.path());
  ASSERT_TRUE(testutil::WaitFor([&] { return run.Stdout().find("> sleep") != std::string::npos; }));
  ASSERT_TRUE(run.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(run.Wait(std::chrono::seconds(10), &status));
  EXPECT_EQ(status, 1);
  EXPECT_NE(run.Stdout().find("interrupted before the script ended"), std::string::npos);
}

}  // namespace
}  // namespace corvanetools
