#include "support/test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// it is handed out and the moment the server binds it. A port handed out is
// reserved for the rest of the process's life: a lock (flock) on its file in
// kReservationDir, which other test processes run in parallel see and skip,
// and which the kernel lets go when the process ends, however it ends. Each
// process starts at its own offset in the range, so they seldom even meet.
constexpr int kFirstTestPort = 20000;
constexpr int kTestPortCount = 12000;
constexpr char kReservationDir[] = "/tmp/corvane-test-ports";

// Takes the port's reservation and keeps it (the descriptor stays open until
// the process ends); false when another process holds it.
bool Reserve(int port) {
  static const bool made = [] {
    ::mkdir(kReservationDir, 01777);
    return true;
  }();
  (void)made;
  const std::string path = std::string(kReservationDir) + "/" + std::to_string(port);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return true;  // no reservations on this host: the bind checks still hold
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  return true;
}

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
    if (Reserve(port) && CanBind(SOCK_DGRAM, port) && CanBind(SOCK_STREAM, port) &&
        CanBind(type, port)) {
      return port;
    }
  }
  return 0;
}

}  // namespace

int FreeUdpPort() { return FreePort(SOCK_DGRAM); }
int FreeTcpPort() { return FreePort(SOCK_STREAM); }

}  // namespace testutil
