#include "e2e/e2e_harness.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

namespace e2e {

double JsonNumber(const std::string& json, const std::string& key, const std::string& anchor) {
  size_t from = 0;
  if (!anchor.empty()) {
    from = json.find(anchor);
    if (from == std::string::npos) return -1;
  }
  const std::string quoted = "\"" + key + "\":";
  const size_t at = json.find(quoted, from);
  if (at == std::string::npos) return -1;
  return std::strtod(json.c_str() + at + quoted.size(), nullptr);
}

std::string JsonUser(const std::string& json, uint64_t user_id) {
  const std::string needle = "\"user\":" + std::to_string(user_id) + ",";
  const size_t at = json.find(needle);
  if (at == std::string::npos) return "";
  const size_t start = json.rfind('{', at);
  const size_t end = json.find('}', json.find("\"problem\"", at));
  if (start == std::string::npos || end == std::string::npos) return "";
  return json.substr(start, end - start + 1);
}

long ResidentKib(pid_t pid) {
  const std::string status = testutil::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

size_t CountOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

Gateway::Gateway(const testutil::TempDir& dir, int port) : port_(port) {
  process_ = std::make_unique<testutil::Subprocess>(
      std::vector<std::string>{CORVANE_GATEWAY, "--listen", "127.0.0.1:" + std::to_string(port),
                               "--script", "-", "--timeout-ms", "5000"},
      dir.path(), "", /*pipe_stdin=*/true);
  EXPECT_TRUE(WaitForOutput("listening on", 1)) << Output() << process_->Stderr();
}

Gateway::~Gateway() {
  process_->CloseStdin();
  int status = 0;
  if (!process_->Wait(kExitDeadline, &status)) process_->Signal(SIGKILL);
}

bool Gateway::WaitForOutput(const std::string& piece, size_t count,
                            std::chrono::milliseconds deadline) {
  return testutil::WaitFor([&] { return CountOf(Output(), piece) >= count; }, deadline);
}

bool Gateway::Command(const std::string& line, const std::string& marker,
                      std::chrono::milliseconds deadline) {
  const size_t before = CountOf(Output(), marker);
  if (!process_->WriteStdin(line + "\n")) return false;
  return WaitForOutput(marker, before + 1, deadline);
}

bool Gateway::Request(const std::string& line, int* result) {
  const size_t before = CountOf(Output(), " result ");
  if (!Command(line, " result ")) return false;
  // The response line after `before` others: "server N session S result R (...)".
  const std::string out = Output();
  size_t at = 0;
  for (size_t i = 0; i <= before; ++i) at = out.find(" result ", at) + 1;
  *result = std::atoi(out.c_str() + at + 7);
  return true;
}

int Gateway::Finish() {
  process_->CloseStdin();
  int status = -1;
  if (!process_->Wait(kExitDeadline, &status)) return -1;
  return status;
}

Server::Server(const testutil::TempDir& dir, const std::string& name, int gateway_port,
               const std::string& media_ip, int port, const std::string& rec_ip,
               const std::string& program, const std::string& extra_config)
    : log_dir_(dir.File(name)), media_ip_(media_ip), port_(port) {
  std::error_code ec;
  std::filesystem::create_directories(log_dir_, ec);
  std::string config = "log_file_path = " + log_dir_ + "/\n" +
                       "gateway_address = 127.0.0.1:" + std::to_string(gateway_port) + "\n" +
                       "packet_listen_bgp_eth = " + media_ip + "\n" +
                       "packet_listen_port = " + std::to_string(port) + "\n" +
                       "receiver_worker_numbers = 2\n"
                       "dispatcher_worker_numbers = 2\n"
                       // These tests check what is forwarded, under sanitizers on a
                       // shared machine where a server thread may stall for longer
                       // than the 50 ms age limit: load shedding is not theirs to test
                       // (the admission tests and the benchmark's overload step are).
                       "packet_max_delay_ms = 0\n";
  if (!rec_ip.empty()) config += "packet_listen_rec_eth = " + rec_ip + "\n";
  config += extra_config;
  const std::string path = log_dir_ + "/server.conf";
  testutil::WriteFile(path, config);
  process_ = std::make_unique<testutil::Subprocess>(std::vector<std::string>{program, "-c", path},
                                                    log_dir_);
}

Server::~Server() {
  int status = 0;
  if (process_->Running() && process_->Signal(SIGTERM)) process_->Wait(kExitDeadline, &status);
}

std::string Server::InfoLog() const {
  std::string text;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(log_dir_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".log.info") != std::string::npos) text += testutil::ReadFile(entry.path());
  }
  return text;
}

void E2eTest::SetUp() { gateway_ = std::make_unique<Gateway>(dir_, testutil::FreeTcpPort()); }

std::unique_ptr<Server> E2eTest::StartServer(const std::string& name, const std::string& ip,
                                             const std::string& rec_ip, const std::string& program,
                                             const std::string& extra_config) {
  const size_t registered = CountOf(gateway_->Output(), "registered:");
  auto server = std::make_unique<Server>(dir_, name, gateway_->port(), ip, testutil::FreeUdpPort(),
                                         rec_ip, program, extra_config);
  EXPECT_TRUE(gateway_->WaitForOutput("registered:", registered + 1))
      << gateway_->Output() << server->Stderr();
  return server;
}

std::string E2eTest::Roster(const std::string& name, const std::string& lines) {
  const std::string path = dir_.File(name);
  testutil::WriteFile(path, lines);
  return path;
}

void E2eTest::Load(const std::string& roster, size_t responses) {
  const size_t before = CountOf(gateway_->Output(), " result ");
  ASSERT_TRUE(gateway_->Command("load " + roster, " result "));
  ASSERT_TRUE(gateway_->WaitForOutput(" result ", before + responses)) << gateway_->Output();
  EXPECT_EQ(CountOf(gateway_->Output(), " result 0 "), CountOf(gateway_->Output(), " result "))
      << gateway_->Output();
}

int E2eTest::Request(const std::string& line) {
  int result = 12345;
  EXPECT_TRUE(gateway_->Request(line, &result)) << line << "\n" << gateway_->Output();
  return result;
}

ClientRun RunClient(const testutil::TempDir& dir, const std::vector<std::string>& args) {
  auto process = StartClient(dir, args);
  ClientRun run;
  if (!process->Wait(std::chrono::seconds(60), &run.status)) {
    process->Signal(SIGKILL);
    run.status = -1;
  }
  run.json = process->Stdout();
  run.stderr_text = process->Stderr();
  return run;
}

std::unique_ptr<testutil::Subprocess> StartClient(const testutil::TempDir& dir,
                                                  const std::vector<std::string>& args) {
  std::vector<std::string> argv = {CORVANE_CLIENT};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--json");
  argv.push_back("--quiet");
  return std::make_unique<testutil::Subprocess>(argv, dir.path());
}

}  // namespace e2e
