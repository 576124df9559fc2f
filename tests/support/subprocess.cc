#include "support/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/test_util.h"

namespace testutil {
namespace {

std::atomic<int> g_counter{0};

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, const std::string& stdio_dir,
                       const std::string& cwd, bool pipe_stdin, int stderr_fd) {
  const int n = g_counter.fetch_add(1);
  stdout_path_ = stdio_dir + "/child" + std::to_string(n) + ".stdout";
  stderr_path_ = stdio_dir + "/child" + std::to_string(n) + ".stderr";
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int input[2] = {-1, -1};
  if (pipe_stdin && pipe2(input, O_CLOEXEC) != 0) input[0] = input[1] = -1;
  pid_ = fork();
  if (pid_ == 0) {
    const int out = open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err =
        stderr_fd >= 0 ? stderr_fd : open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    const int in = input[0] >= 0 ? input[0] : open("/dev/null", O_RDONLY);
    dup2(in, STDIN_FILENO);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  if (input[0] >= 0) close(input[0]);
  stdin_fd_ = input[1];
}

bool Subprocess::WriteStdin(const std::string& text) {
  if (stdin_fd_ < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(stdin_fd_, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Subprocess::CloseStdin() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

Subprocess::~Subprocess() {
  CloseStdin();
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
}

bool Subprocess::Signal(int signo) { return pid_ > 0 && !reaped_ && kill(pid_, signo) == 0; }

bool Subprocess::Running() {
  if (pid_ <= 0 || reaped_) return false;
  const pid_t r = waitpid(pid_, &status_, WNOHANG);
  if (r == pid_) reaped_ = true;
  return !reaped_;
}

bool Subprocess::Wait(std::chrono::milliseconds deadline, int* exit_status) {
  const bool ended = WaitFor([this] { return !Running(); }, deadline);
  if (!ended) return false;
  if (exit_status) {
    *exit_status = WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }
  return true;
}

std::string Subprocess::Stdout() const { return ReadFile(stdout_path_); }
std::string Subprocess::Stderr() const { return ReadFile(stderr_path_); }

}  // namespace testutil
