// Real processes on loopback for end-to-end tests: the bundled gateway fed
// commands on its standard input, forwarding servers with their own
// configuration, and client simulator runs with a JSON summary.
#ifndef TESTS_E2E_E2E_HARNESS_H_
#define TESTS_E2E_E2E_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/subprocess.h"
#include "support/test_util.h"

namespace e2e {

constexpr auto kStartDeadline = std::chrono::seconds(20);
constexpr auto kExitDeadline = std::chrono::seconds(20);

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_E2E_UNDER_ASAN 1
#endif
#endif
// AddressSanitizer keeps freed memory in quarantine, so a process's resident
// size grows with what it allocated, freed or not: memory bounds are checked
// in the other builds only.
#if defined(CORVANE_E2E_UNDER_ASAN)
constexpr bool kResidentMemoryIsMeaningful = false;
#else
constexpr bool kResidentMemoryIsMeaningful = true;
#endif

// Resident memory of a process in KiB, from /proc; -1 when unreadable.
long ResidentKib(pid_t pid);

// The number after "key": in a JSON text, searched from the first occurrence of
// `anchor` (empty: from the start); -1 when absent.
double JsonNumber(const std::string& json, const std::string& key, const std::string& anchor = "");
// The JSON object of one user in the client's summary, or "".
std::string JsonUser(const std::string& json, uint64_t user_id);
// Occurrences of `piece` in `text`.
size_t CountOf(const std::string& text, const std::string& piece);

// The bundled gateway, reading commands from its standard input.
class Gateway {
 public:
  Gateway(const testutil::TempDir& dir, int port);
  ~Gateway();

  int port() const { return port_; }
  // Sends one command and waits until the output shows `marker` one more time.
  bool Command(const std::string& line, const std::string& marker,
               std::chrono::milliseconds deadline = std::chrono::seconds(15));
  // A request command; true when its response line shows up, with *result set.
  bool Request(const std::string& line, int* result);
  bool WaitForOutput(const std::string& piece, size_t count,
                     std::chrono::milliseconds deadline = kStartDeadline);
  std::string Output() const { return process_->Stdout(); }
  // Ends the input and waits for the gateway to exit; its status.
  int Finish();
  bool Signal(int signo) { return process_->Signal(signo); }

 private:
  int port_;
  std::unique_ptr<testutil::Subprocess> process_;
};

// One server with media on media_ip:port (and cascade sockets on rec_ip): the
// forwarding server unless `program` names another; `extra_config` lines are
// added to its configuration.
class Server {
 public:
  Server(const testutil::TempDir& dir, const std::string& name, int gateway_port,
         const std::string& media_ip, int port, const std::string& rec_ip = "",
         const std::string& program = CORVANE_SFU_SERVER, const std::string& extra_config = "");
  ~Server();

  std::string media_address() const { return media_ip_ + ":" + std::to_string(port_); }
  std::string InfoLog() const;
  bool Signal(int signo) { return process_->Signal(signo); }
  bool Wait(int* status) { return process_->Wait(kExitDeadline, status); }
  std::string Stderr() const { return process_->Stderr(); }
  pid_t pid() const { return process_->pid(); }
  const std::string& log_dir() const { return log_dir_; }

 private:
  std::string log_dir_;
  std::string media_ip_;
  int port_;
  std::unique_ptr<testutil::Subprocess> process_;
};

// A gateway, servers started against it and client runs, each test in its own
// directory with its own ports.
class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Starts a server and waits until it has registered with the gateway.
  std::unique_ptr<Server> StartServer(const std::string& name, const std::string& ip,
                                      const std::string& rec_ip = "",
                                      const std::string& program = CORVANE_SFU_SERVER,
                                      const std::string& extra_config = "");
  std::string Roster(const std::string& name, const std::string& lines);
  // Loads a roster through the gateway; `responses` is the number of requests it makes.
  void Load(const std::string& roster, size_t responses);
  int Request(const std::string& line);

  testutil::TempDir dir_;
  std::unique_ptr<Gateway> gateway_;
};

struct ClientRun {
  int status = -1;
  std::string json;
  std::string stderr_text;
};

// Runs the client simulator to the end (bounded); arguments after the program name.
ClientRun RunClient(const testutil::TempDir& dir, const std::vector<std::string>& args);
// Starts the client without waiting for it.
std::unique_ptr<testutil::Subprocess> StartClient(const testutil::TempDir& dir,
                                                  const std::vector<std::string>& args);

}  // namespace e2e

#endif  // TESTS_E2E_E2E_HARNESS_H_
