// Runs the built programs: command line, start-up failures and signal-driven exit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_config.h"
#include "support/subprocess.h"
#include "support/test_util.h"

namespace {

using corvaneserver::testing_support::ServerConfig;
using testutil::Subprocess;

constexpr auto kExitDeadline = std::chrono::seconds(20);

class ProcessTest : public ::testing::Test {
 protected:
  std::string WriteConfig(const std::string& body) {
    const std::string path = dir_.File("server.conf");
    testutil::WriteFile(path, body);
    return path;
  }
  std::string LoopbackConfig() {
    return ServerConfig(dir_.path()).Media(testutil::FreeUdpPort()).Text();
  }
  // Media on `listen`:`port`, and a gateway address where nothing listens.
  std::string MediaConfig(const std::string& listen, int port) {
    return ServerConfig(dir_.path(), "127.0.0.1:9")
        .Set("packet_listen_bgp_eth", listen)
        .Set("packet_listen_port", port)
        .Text();
  }
  // The info log of the one process that wrote into the directory.
  std::string InfoLog(const std::string& program) {
    for (const std::string& name : dir_.List()) {
      if (name.rfind(program, 0) == 0 && name.find(".log.info") != std::string::npos) {
        return testutil::ReadFile(dir_.File(name));
      }
    }
    return "";
  }
  void RunUntilSignal(const std::string& program_path, const std::string& program, int signo,
                      const std::vector<std::string>& extra_args = {}) {
    std::vector<std::string> argv = {program_path};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    argv.push_back("-c");
    argv.push_back(WriteConfig(LoopbackConfig()));
    Subprocess child(argv, dir_.path());
    ASSERT_TRUE(testutil::WaitFor(
        [&] { return InfoLog(program).find("release time is ") != std::string::npos; },
        std::chrono::seconds(20)))
        << child.Stderr();
    ASSERT_TRUE(child.Signal(signo));
    int status = -1;
    ASSERT_TRUE(child.Wait(kExitDeadline, &status));
    EXPECT_EQ(status, 0) << child.Stderr();
    EXPECT_NE(InfoLog(program).find("+++ begin to exit corvane_rec_server +++"), std::string::npos)
        << InfoLog(program);
    stderr_text_ = child.Stderr();
  }

  testutil::TempDir dir_;
  std::string stderr_text_;
};

TEST_F(ProcessTest, ListenFailureStopsStartupWith255) {
  // 192.0.2.1 (a documentation address) is not on this machine: bind fails.
  const std::string conf = WriteConfig(MediaConfig("192.0.2.1", 8000));
  Subprocess child({CORVANE_SFU_SERVER, "-c", conf}, dir_.path());
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 255);
  EXPECT_NE(InfoLog("corvane-sfu-server").find("packet listen in address 192.0.2.1:8000 failed"),
            std::string::npos)
      << InfoLog("corvane-sfu-server");
}

TEST_F(ProcessTest, RunningServerEchoesDetectDatagrams) {
  const int port = testutil::FreeUdpPort();
  const std::string conf = WriteConfig(MediaConfig("127.0.0.1", port));
  Subprocess child({CORVANE_SFU_SERVER, "-c", conf}, dir_.path());
  ASSERT_TRUE(testutil::WaitFor(
      [&] {
        return InfoLog("corvane-sfu-server").find("listen in 127.0.0.1") != std::string::npos;
      },
      std::chrono::seconds(20)))
      << child.Stderr();

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const uint8_t detect[12] = {'C', 'O', 'r', 1, 2, 3, 4, 5, 6, 7, 8, 9};
  // The log line can come before the sockets are bound: repeat the detect
  // every 100 ms, as clients do, until the echo arrives.
  ssize_t got = -1;
  uint8_t echo[64];
  for (int attempt = 0; attempt < 100 && got < 0; ++attempt) {
    ASSERT_EQ(sendto(fd, detect, sizeof(detect), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)),
              12);
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) == 1) got = recv(fd, echo, sizeof(echo), 0);
  }
  ASSERT_EQ(got, 12);
  EXPECT_EQ(std::string(echo, echo + 12), std::string(detect, detect + 12));
  close(fd);

  ASSERT_TRUE(child.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 0);
}

// Sends a detect datagram to 127.0.0.1:port every 100 ms until it comes back;
// true when it did within the attempts.
bool DetectEchoes(int port, int attempts = 100) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const uint8_t detect[12] = {'C', 'O', 'r', 9, 8, 7, 6, 5, 4, 3, 2, 1};
  bool echoed = false;
  for (int attempt = 0; attempt < attempts && !echoed; ++attempt) {
    sendto(fd, detect, sizeof(detect), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    // Junk after the detect: each makes the server write a line (rate-limited).
    const uint8_t junk[3] = {0, 'a', 0};
    sendto(fd, junk, sizeof(junk), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    pollfd p = {fd, POLLIN, 0};
    uint8_t echo[64];
    if (poll(&p, 1, 100) == 1 && recv(fd, echo, sizeof(echo), 0) == 12) echoed = true;
  }
  close(fd);
  return echoed;
}

// A server whose stderr is `stderr_fd` answers detects while lines are logged
// and still ends on SIGTERM with status 0.
void ExpectServesAndStops(const std::string& program, const std::string& conf, int port,
                          int stderr_fd, const std::string& dir) {
  Subprocess child({program, "-c", conf}, dir, "", false, stderr_fd);
  EXPECT_TRUE(DetectEchoes(port)) << program;
  EXPECT_TRUE(DetectEchoes(port)) << program << ": still answering after the junk";
  ASSERT_TRUE(child.Signal(SIGTERM));
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status)) << program << " did not end on SIGTERM";
  EXPECT_EQ(status, 0) << program;
}

TEST_F(ProcessTest, StderrPipeWithoutReaderNeitherKillsNorStopsTheServer) {
  for (const char* program : {CORVANE_SFU_SERVER, CORVANE_MFU_SERVER}) {
    const int port = testutil::FreeUdpPort();
    const std::string conf = WriteConfig(MediaConfig("127.0.0.1", port));
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    close(fds[0]);  // the reader is gone before the first line
    ExpectServesAndStops(program, conf, port, fds[1], dir_.path());
    close(fds[1]);
  }
}

TEST_F(ProcessTest, FullStderrPipeNeitherStallsNorKeepsTheServerFromStopping) {
  for (const char* program : {CORVANE_SFU_SERVER, CORVANE_MFU_SERVER}) {
    const int port = testutil::FreeUdpPort();
    const std::string conf = WriteConfig(MediaConfig("127.0.0.1", port));
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    // A stalled reader: the pipe is full before the server writes its first line.
    const std::string fill(4096, 'f');
    while (write(fds[1], fill.data(), fill.size()) > 0) {
    }
    fcntl(fds[1], F_SETFL, 0);  // the server's stderr blocks, as a terminal's does
    ExpectServesAndStops(program, conf, port, fds[1], dir_.path());
    close(fds[0]);
    close(fds[1]);
  }
}

// A socket bound to 127.0.0.1 on a free port (listening when TCP), without
// SO_REUSEPORT, so that a server cannot take the port; *port is set.
int HoldPort(int type, int* port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(at);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 ||
      (type == SOCK_STREAM && listen(fd, 4) != 0) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0) {
    return -1;
  }
  *port = ntohs(at.sin_port);
  return fd;
}

TEST_F(ProcessTest, QuietStartupFailuresStillSayWhyOnStderr) {
  int udp_port = 0;
  int tcp_port = 0;
  const int udp = HoldPort(SOCK_DGRAM, &udp_port);
  const int tcp = HoldPort(SOCK_STREAM, &tcp_port);
  ASSERT_GE(udp, 0);
  ASSERT_GE(tcp, 0);
  const std::string base =
      ServerConfig(dir_.path(), "127.0.0.1:9").Set("packet_listen_bgp_eth", "127.0.0.1").Text();
  struct Case {
    std::string config;
    std::string reason;
  };
  const Case cases[] = {
      {base + "packet_listen_port = " + std::to_string(udp_port) + "\n",
       "packet listen in address 127.0.0.1:" + std::to_string(udp_port) + " failed"},
      {base + "packet_listen_port = " + std::to_string(testutil::FreeUdpPort()) + "\n" +
           "metrics_listen_address = 127.0.0.1:" + std::to_string(tcp_port) + "\n",
       "metrics listen in 127.0.0.1:" + std::to_string(tcp_port) + " failed"},
  };
  for (const Case& c : cases) {
    for (const char* program : {CORVANE_SFU_SERVER, CORVANE_MFU_SERVER}) {
      Subprocess child({program, "-q", "-c", WriteConfig(c.config)}, dir_.path());
      int status = -1;
      ASSERT_TRUE(child.Wait(kExitDeadline, &status));
      EXPECT_EQ(status, 255) << program;
      EXPECT_NE(child.Stderr().find(c.reason), std::string::npos)
          << program << " stderr: " << child.Stderr();
      EXPECT_EQ(child.Stderr().find("release time is"), std::string::npos)
          << "-q copies only why start-up failed: " << child.Stderr();
    }
  }
  close(udp);
  close(tcp);
}

TEST_F(ProcessTest, NoConfigOptionFailsWith255) {
  for (const char* program : {CORVANE_SFU_SERVER, CORVANE_MFU_SERVER}) {
    Subprocess child({program}, dir_.path());
    int status = -1;
    ASSERT_TRUE(child.Wait(kExitDeadline, &status));
    EXPECT_EQ(status, 255);
    EXPECT_EQ(child.Stderr(), "configure file  is not exist\n");
  }
}

TEST_F(ProcessTest, UnreadableConfigFailsWith255) {
  const std::string missing = dir_.File("nope.conf");
  Subprocess child({CORVANE_SFU_SERVER, "-c", missing}, dir_.path());
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 255);
  EXPECT_EQ(child.Stderr(), "configure file " + missing + " is not exist\n");
}

TEST_F(ProcessTest, MissingLogPathFailsWith255) {
  const std::string conf = WriteConfig("gateway_address = 127.0.0.1:9\n");
  Subprocess child({CORVANE_MFU_SERVER, "-c", conf}, dir_.path());
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 255);
  EXPECT_EQ(child.Stderr(), "configure file have not set log file path\n");
}

TEST_F(ProcessTest, MissingGatewayAddressFailsWith255AfterLoggingReleaseTime) {
  const std::string conf = WriteConfig("log_file_path = " + dir_.path() + "/\n");
  Subprocess child({CORVANE_SFU_SERVER, "-c", conf}, dir_.path());
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 255);
  EXPECT_NE(child.Stderr().find("gateway address is not exist in configure file\n"),
            std::string::npos)
      << child.Stderr();
  EXPECT_NE(InfoLog("corvane-sfu-server").find("release time is "), std::string::npos);
}

TEST_F(ProcessTest, VersionOptionPrintsBuildTimeAndExits) {
  Subprocess child({CORVANE_SFU_SERVER, "-v", "-c", "/nonexistent"}, dir_.path());
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 0);
  const std::string err = child.Stderr();
  EXPECT_EQ(err.rfind("release version is ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
  EXPECT_NE(err.find(":"), std::string::npos);  // hh:mm:ss of the build
}

TEST_F(ProcessTest, DaemonThenVersionStillPrintsAndExitsZero) {
  Subprocess child({CORVANE_SFU_SERVER, "-d", "-v"}, dir_.path());
  int status = -1;
  ASSERT_TRUE(child.Wait(kExitDeadline, &status));
  EXPECT_EQ(status, 0);  // the daemon's parent
  // The daemonised child keeps our stderr and prints the version there.
  EXPECT_TRUE(testutil::WaitFor(
      [&] { return child.Stderr().find("release version is ") != std::string::npos; }));
}

TEST_F(ProcessTest, MixingProgramRejectsVersionOptionAndStartsNormally) {
  RunUntilSignal(CORVANE_MFU_SERVER, "corvane-mfu-server", SIGTERM, {"-v"});
  EXPECT_NE(stderr_text_.find("invalid option -- 'v'"), std::string::npos) << stderr_text_;
  EXPECT_EQ(stderr_text_.find("release version is"), std::string::npos);
}

TEST_F(ProcessTest, ForwardingServerStopsOnSigterm) {
  RunUntilSignal(CORVANE_SFU_SERVER, "corvane-sfu-server", SIGTERM);
  // Without -d every log line is copied to stderr, without the time prefix.
  EXPECT_NE(stderr_text_.find("(service.cc:"), std::string::npos) << stderr_text_;
}

TEST_F(ProcessTest, QuietOptionKeepsTheForegroundButNotTheStderrCopy) {
  RunUntilSignal(CORVANE_MFU_SERVER, "corvane-mfu-server", SIGTERM, {"-q"});
  EXPECT_EQ(stderr_text_.find("(service.cc:"), std::string::npos) << stderr_text_;
}

TEST_F(ProcessTest, ForwardingServerStopsOnSigint) {
  RunUntilSignal(CORVANE_SFU_SERVER, "corvane-sfu-server", SIGINT);
}

TEST_F(ProcessTest, MixingServerStopsOnSigterm) {
  RunUntilSignal(CORVANE_MFU_SERVER, "corvane-mfu-server", SIGTERM);
}

TEST_F(ProcessTest, MixingServerStopsOnSigquit) {
  RunUntilSignal(CORVANE_MFU_SERVER, "corvane-mfu-server", SIGQUIT);
}

}  // namespace
