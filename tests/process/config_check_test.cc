// The configuration check (-t) of both programs, run as an operator runs it.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/subprocess.h"
#include "support/test_util.h"

namespace {

using testutil::Subprocess;

constexpr auto kExitDeadline = std::chrono::seconds(20);

class ConfigCheckTest : public ::testing::Test {
 protected:
  // Runs `program -t [extra] -c <body written to a file>`; returns the exit status.
  int Check(const char* program, const std::string& body,
            const std::vector<std::string>& extra = {}) {
    const std::string path = dir_.File("server.conf");
    testutil::WriteFile(path, body);
    std::vector<std::string> argv = {program, "-t"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("-c");
    argv.push_back(path);
    Subprocess child(argv, dir_.path());
    int status = -1;
    EXPECT_TRUE(child.Wait(kExitDeadline, &status));
    out_ = child.Stdout();
    err_ = child.Stderr();
    return status;
  }
  std::string Base() {
    return "log_file_path = " + dir_.path() + "/\n" +
           "gateway_address = 127.0.0.1:" + std::to_string(testutil::FreeTcpPort()) + "\n" +
           "packet_listen_bgp_eth = 127.0.0.1\n" +
           "packet_listen_port = " + std::to_string(testutil::FreeUdpPort()) + "\n";
  }
  bool Wrote(const std::string& suffix) {
    for (const std::string& name : dir_.List()) {
      if (name.find(suffix) != std::string::npos) return true;
    }
    return false;
  }

  testutil::TempDir dir_;
  std::string out_;
  std::string err_;
};

TEST_F(ConfigCheckTest, GoodConfigurationPrintsEveryKeyAndExitsZeroWithoutStarting) {
  EXPECT_EQ(Check(CORVANE_SFU_SERVER, Base()), 0) << err_;
  EXPECT_NE(out_.find("log_file_path = " + dir_.path() + "/\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("packet_listen_bgp_eth = 127.0.0.1  # udp 127.0.0.1:"), std::string::npos)
      << out_;
  // Defaults are shown too, and marked.
  EXPECT_NE(out_.find("receiver_worker_numbers = 2  # default\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("packet_deliver_mode = inline  # default\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("nack_enabled = 0  # default\n"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("mixer_worker_numbers"), std::string::npos) << out_;
  EXPECT_EQ(err_.find("warning:"), std::string::npos) << err_;
  EXPECT_NE(err_.find("test is successful"), std::string::npos) << err_;
  // No server ran: it would have written its info log.
  EXPECT_FALSE(Wrote(".log.info"));
}

TEST_F(ConfigCheckTest, AddressThatCannotBeListenedOnFailsWith255) {
  // 192.0.2.1 (a documentation address) is not on this machine.
  const std::string body = "log_file_path = " + dir_.path() + "/\n" +
                           "gateway_address = 127.0.0.1:9\n"
                           "packet_listen_bgp_eth = 192.0.2.1\n"
                           "packet_listen_port = " +
                           std::to_string(testutil::FreeUdpPort()) + "\n";
  EXPECT_EQ(Check(CORVANE_SFU_SERVER, body), 255);
  EXPECT_NE(err_.find("error: [packet_listen_bgp_eth] cannot listen on udp 192.0.2.1:"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("test failed"), std::string::npos) << err_;
}

TEST_F(ConfigCheckTest, MetricsAddressInUseFailsWith255) {
  const int port = testutil::FreeTcpPort();
  const std::string address = "127.0.0.1:" + std::to_string(port);
  // A foreign listener on the port, without SO_REUSEADDR.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in saddr = {};
  saddr.sin_family = AF_INET;
  saddr.sin_port = htons(static_cast<uint16_t>(port));
  saddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&saddr), sizeof(saddr)), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  EXPECT_EQ(Check(CORVANE_MFU_SERVER, Base() + "metrics_listen_address = " + address + "\n"), 255);
  EXPECT_NE(err_.find("error: [metrics_listen_address] cannot listen on tcp " + address),
            std::string::npos)
      << err_;
  ::close(holder);
}

TEST_F(ConfigCheckTest, UnknownKeysAndReplacedValuesAreWarned) {
  EXPECT_EQ(Check(CORVANE_MFU_SERVER, Base() + "mixer_workers = 4\n"
                                               "receiver_worker_numbers = 500\n"
                                               "packet_deliver_mode = fast\n"
                                               "packet_max_delay_ms = 0x10\n"
                                               "mixer_worker_numbers = 3\n"),
            0)
      << err_;
  EXPECT_NE(err_.find("warning: unknown key [mixer_workers] is ignored"), std::string::npos)
      << err_;
  EXPECT_NE(err_.find("warning: [receiver_worker_numbers] is 500, above 64; using 64"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("warning: [packet_deliver_mode] is \"fast\", not one of inline|pool; "
                      "using inline"),
            std::string::npos)
      << err_;
  EXPECT_NE(
      err_.find("warning: [packet_max_delay_ms] is \"0x10\", not a decimal number; read as 0"),
      std::string::npos)
      << err_;
  // The effective values, as the server applies them.
  EXPECT_NE(out_.find("receiver_worker_numbers = 64\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("packet_deliver_mode = inline\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("mixer_worker_numbers = 3\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("mixer_frame_log = 1  # default\n"), std::string::npos) << out_;
}

TEST_F(ConfigCheckTest, QuietCheckPrintsOnlyWarningsAndErrors) {
  EXPECT_EQ(Check(CORVANE_SFU_SERVER, Base() + "colour = blue\n", {"-q"}), 0) << err_;
  EXPECT_EQ(out_, "");
  EXPECT_EQ(err_, "warning: unknown key [colour] is ignored\n");
}

TEST_F(ConfigCheckTest, MissingRequiredKeyFailsWith255) {
  EXPECT_EQ(Check(CORVANE_SFU_SERVER, "log_file_path = " + dir_.path() + "/\n"), 255);
  EXPECT_NE(err_.find("error: [gateway_address] is not set"), std::string::npos) << err_;
}

}  // namespace
