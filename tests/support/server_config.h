// A builder for the servers' configuration files, for the tests that start a
// server in the test process or as a child process.
#ifndef TESTS_SUPPORT_SERVER_CONFIG_H_
#define TESTS_SUPPORT_SERVER_CONFIG_H_

#include <string>
#include <utility>
#include <vector>

#include "support/test_util.h"

namespace corvaneserver {
namespace testing_support {

// A server's configuration file, built key by key in the "key = value" lines
// the servers read; keys stay in the order they are set.
class ServerConfig {
 public:
  // Sets the log directory and a gateway address nobody answers (a free port).
  explicit ServerConfig(const std::string& log_dir)
      : ServerConfig(log_dir, "127.0.0.1:" + std::to_string(testutil::FreeTcpPort())) {}
  ServerConfig(const std::string& log_dir, const std::string& gateway_address) {
    Set("log_file_path", log_dir + "/");
    Set("gateway_address", gateway_address);
  }

  ServerConfig& Set(const std::string& key, const std::string& value) {
    lines_.emplace_back(key, value);
    return *this;
  }
  ServerConfig& Set(const std::string& key, int value) { return Set(key, std::to_string(value)); }
  // The usual media side: listens on 127.0.0.1:`port` with two receive and two
  // deliver workers.
  ServerConfig& Media(int port) {
    return Set("packet_listen_bgp_eth", "127.0.0.1")
        .Set("packet_listen_port", port)
        .Set("receiver_worker_numbers", 2)
        .Set("dispatcher_worker_numbers", 2);
  }

  std::string Text() const {
    std::string text;
    for (const auto& [key, value] : lines_) text += key + " = " + value + "\n";
    return text;
  }
  // Writes the file and returns its path.
  std::string WriteTo(const std::string& path) const {
    testutil::WriteFile(path, Text());
    return path;
  }

 private:
  std::vector<std::pair<std::string, std::string>> lines_;
};

}  // namespace testing_support
}  // namespace corvaneserver

#endif  // TESTS_SUPPORT_SERVER_CONFIG_H_
