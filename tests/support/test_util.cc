#include "support/test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace testutil {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/corvane-test-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const { return path_ + "/" + name; }

std::vector<std::string> TempDir::List() const {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

namespace {

// Ports for servers under test come from below the kernel's ephemeral range
// (32768 and up by default), so no socket bound to port 0 - a test peer, a
// client, another test program's connection - can take one between the moment
// it is handed out and the moment the server binds it. Each test program
// starts at its own offset in the range, and one program never hands out a
// port twice, so test programs run in parallel do not pick the same port.
constexpr int kFirstTestPort = 20000;
constexpr int kTestPortCount = 12000;

bool CanBind(int type, int port) {
  const int fd = socket(AF_INET, type, 0);
  if (fd < 0) return false;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

int FreePort(int type) {
  static std::mutex lock;
  static int next = static_cast<int>(getpid() % 120) * 100;
  std::lock_guard<std::mutex> hold(lock);
  for (int tries = 0; tries < kTestPortCount; ++tries) {
    const int port = kFirstTestPort + next;
    next = (next + 1) % kTestPortCount;
    // Free for both kinds, so a UDP and a TCP server never share a number.
    if (CanBind(SOCK_DGRAM, port) && CanBind(SOCK_STREAM, port) && CanBind(type, port)) {
      return port;
    }
  }
  return 0;
}

}  // namespace

int FreeUdpPort() { return FreePort(SOCK_DGRAM); }
int FreeTcpPort() { return FreePort(SOCK_STREAM); }

}  // namespace testutil
